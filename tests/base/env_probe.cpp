// Child program for the log tests: prints the values of the environment
// variables named on its command line, one "NAME=value" per line ("NAME"
// alone when unset).
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  for (int k = 1; k < argc; ++k) {
    const char* value = std::getenv(argv[k]);
    if (value != nullptr)
      std::printf("%s=%s\n", argv[k], value);
    else
      std::printf("%s\n", argv[k]);
  }
  return 0;
}
