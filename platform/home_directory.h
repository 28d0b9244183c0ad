// Where the running program lives: the server's home directory.
#pragma once

#include <string>

namespace kestrun {

// The directory of the running program's own file (symbolic links
// resolved), without a trailing "/": "/opt/kes" for /opt/kes/KestrunServer,
// "" for a program in "/". Empty as well when the path cannot be read.
std::string HomeDirectory();

// The directory part of `path`: everything before its last "/" (the whole
// text when it has none).
std::string DirectoryOf(const std::string& path);

}  // namespace kestrun
