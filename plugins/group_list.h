// Group lists as the plug-ins hand them to the server: one malloc'd block
// holding the NULL-terminated pointer array followed by the texts, so that
// kesgp_delete_group_list is a single free() and a list can never be half
// released.
#pragma once

#include <string>
#include <vector>

namespace kesgp {

// A new list holding copies of `names` in order; nullptr when memory runs out.
char** MakeGroupList(const std::vector<std::string>& names);

// Releases a list made by MakeGroupList; nullptr is accepted.
void FreeGroupList(char** list);

}  // namespace kesgp
