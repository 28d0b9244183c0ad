// The parts of the PostgreSQL layer that need no client library: query
// parameters and telling a connection string from a file path.
#include <string>
#include <utility>

#include "history/postgres.h"

namespace kestrun::pg {

Params& Params::Add(std::string_view text) {
  values_.emplace_back(std::string(text));
  return *this;
}

Params& Params::Add(int64_t value) {
  values_.emplace_back(std::to_string(value));
  return *this;
}

Params& Params::AddBytes(std::string_view bytes) {
  // bytea's hex input form: no byte needs escaping beyond it.
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "\\x";
  text.reserve(2 + bytes.size() * 2);
  for (const unsigned char c : bytes) {
    text.push_back(kHex[c >> 4]);
    text.push_back(kHex[c & 15]);
  }
  values_.emplace_back(std::move(text));
  return *this;
}

Params& Params::AddNull() {
  values_.emplace_back(std::nullopt);
  return *this;
}

bool IsConnectionString(const std::string& setting) {
  return setting.rfind("postgresql://", 0) == 0 || setting.rfind("postgres://", 0) == 0 ||
         setting.find('=') != std::string::npos;
}

}  // namespace kestrun::pg
