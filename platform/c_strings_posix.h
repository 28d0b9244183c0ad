// The argument and environment arrays that exec and posix_spawn take:
// pointers into `strings`, ended by a null pointer. Shared by the POSIX
// process files; `strings` must outlive the array.
#pragma once

#include <string>
#include <vector>

namespace kestrun {

inline std::vector<char*> CStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace kestrun
