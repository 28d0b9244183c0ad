// Forced into the test sources shared with Linux when they are built for
// Windows: the few POSIX calls they use, on the Windows C runtime.
#pragma once

#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
// mkdtemp: the template's XXXXXX made unique, then the directory created.
inline char* mkdtemp(char* pattern) {
  if (_mktemp_s(pattern, strlen(pattern) + 1) != 0) return nullptr;
  return _mkdir(pattern) == 0 ? pattern : nullptr;
}
// setenv and unsetenv: _putenv_s changes the C runtime's copy and the
// process environment that the wide calls read.
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) {
  return _putenv_s(name, "") == 0 ? 0 : -1;
}
#endif
