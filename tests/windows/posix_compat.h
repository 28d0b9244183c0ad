// Forced into the test sources shared with Linux when they are built for
// Windows: the few POSIX calls they use, on the Windows C runtime.
#pragma once

#include <stdio.h>

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

// open_memstream: a temporary file stands in for the growing buffer; the
// fclose below (fclose is redirected to it) copies the file's bytes into
// the caller's buffer and size, as closing a memory stream would.
#include <map>
#include <string>
struct KesMemoryStream {
  char** text;
  size_t* size;
};
inline std::map<FILE*, KesMemoryStream>& KesMemoryStreams() {
  static std::map<FILE*, KesMemoryStream> streams;
  return streams;
}
inline FILE* open_memstream(char** text, size_t* size) {
  FILE* f = tmpfile();
  if (f) KesMemoryStreams()[f] = {text, size};
  return f;
}
inline int kes_fclose(FILE* f) {
  const auto it = KesMemoryStreams().find(f);
  if (it != KesMemoryStreams().end()) {
    std::string bytes;
    fflush(f);
    rewind(f);
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    *it->second.text = static_cast<char*>(malloc(bytes.size() + 1));
    memcpy(*it->second.text, bytes.c_str(), bytes.size() + 1);
    *it->second.size = bytes.size();
    KesMemoryStreams().erase(it);
  }
  return fclose(f);
}
namespace std {
using ::kes_fclose;
}
#define fclose(f) kes_fclose(f)
#endif
