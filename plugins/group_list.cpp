#include "plugins/group_list.h"

#include <cstdlib>
#include <cstring>

namespace kesgp {

char** MakeGroupList(const std::vector<std::string>& names) {
  const size_t slots = names.size() + 1;
  size_t bytes = slots * sizeof(char*);
  for (const std::string& name : names) bytes += name.size() + 1;
  // The pointer array comes first, so the block's alignment suits it; the
  // texts follow byte-packed.
  void* block = std::malloc(bytes);
  if (block == nullptr) return nullptr;
  char** list = static_cast<char**>(block);
  char* text = reinterpret_cast<char*>(list + slots);
  for (size_t i = 0; i < names.size(); ++i) {
    std::memcpy(text, names[i].c_str(), names[i].size() + 1);
    list[i] = text;
    text += names[i].size() + 1;
  }
  list[names.size()] = nullptr;
  return list;
}

void FreeGroupList(char** list) {
  std::free(list);
}

}  // namespace kesgp
