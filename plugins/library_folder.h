// Where a plug-in library lies, and how its pointer file's paths are read.
#pragma once

#include <string>
#include <string_view>

namespace kesgp {

// The folder of the library (or program) that holds the code at `address`,
// without a trailing separator; "." when the system cannot tell. Implemented
// in library_folder_posix.cpp and library_folder_win32.cpp.
std::string LibraryFolder(const void* address);

// True when `path` does not count from the current or the library's folder:
// "/..." on POSIX systems; "C:\...", "C:/...", "\..." and "\\server\..." on
// Windows.
bool IsAbsolutePath(std::string_view path);

}  // namespace kesgp
