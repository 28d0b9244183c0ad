// Loading a shared library by path and looking up its functions by name
// (the group-processor plug-in).
#pragma once

#include <optional>
#include <string>

namespace kestrun {

// Owns one loaded library; unloads it when destroyed. Movable.
class DynamicLibrary {
 public:
  // Loads the library at `path`. Empty on failure, with the loader's message
  // in *error when given.
  static std::optional<DynamicLibrary> Open(const std::string& path, std::string* error = nullptr);

  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  // The address of the exported symbol `name`, or nullptr with the loader's
  // message in *error when given.
  void* Symbol(const std::string& name, std::string* error = nullptr) const;

  // The typed form: Function<int(const char*)>("Name").
  template <class Signature>
  Signature* Function(const std::string& name, std::string* error = nullptr) const {
    return reinterpret_cast<Signature*>(Symbol(name, error));
  }

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

}  // namespace kestrun
