#include <dlfcn.h>

#include <utility>

#include "platform/dynamic_library.h"

namespace kestrun {

// dlerror's text lives in a buffer the next loader call overwrites, so it is
// copied at once.
static std::string LoaderError() {
  const char* text = ::dlerror();
  return text ? text : "unknown loader error";
}

std::optional<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::string text = LoaderError();
    if (error) *error = std::move(text);
    return std::nullopt;
  }
  return DynamicLibrary(handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) ::dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) ::dlclose(handle_);
}

void* DynamicLibrary::Symbol(const std::string& name, std::string* error) const {
  ::dlerror();  // clear a stale message: a symbol may legitimately be null
  void* address = ::dlsym(handle_, name.c_str());
  if (!address) {
    std::string text = LoaderError();
    if (error) *error = std::move(text);
  }
  return address;
}

}  // namespace kestrun
