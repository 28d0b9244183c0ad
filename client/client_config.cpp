#include "client/client_config.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace kestrun::client {

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// The reads of a line reader with a 1024-byte area (1023 bytes and the NUL).
constexpr size_t kLineRead = 1023;

std::vector<std::string> Reads(const std::string& text) {
  std::vector<std::string> reads;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const size_t n = std::min(end - at, kLineRead);
    std::string line = text.substr(at, n);
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
      line.erase(line.size() - 2, 1);
    reads.push_back(std::move(line));
    at += n;
  }
  return reads;
}

struct Stanza {
  std::string name;
  ServerAddress address;
  bool onlyServerDirectives = true;
};

}  // namespace

ClientConfig ParseClientConfig(const std::string& text) {
  ClientConfig config;
  std::optional<Stanza> stanza;
  auto close = [&] {
    if (stanza && stanza->onlyServerDirectives && !stanza->address.host.empty()) {
      config.servers[stanza->name] = stanza->address;
    }
    stanza.reset();
  };
  int number = 0;
  for (const std::string& read : Reads(text)) {
    ++number;
    const std::string line = read.substr(0, read.find('#'));
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      const std::string t = Trim(line);
      if (t.empty()) {
        close();
      } else if (t.back() == ':') {
        close();
        stanza = Stanza{Upper(Trim(t.substr(0, t.size() - 1))), {}, true};
      } else if (config.syntaxErrorLine == 0) {
        config.syntaxErrorLine = number;
      }
      continue;
    }
    const std::string key = Upper(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (!stanza) {
      if (key == "PORT") config.port = std::atoi(value.c_str());
    } else if (key == "SERVER") {
      stanza->address.host = value;
    } else if (key == "PORT") {
      stanza->address.port = std::atoi(value.c_str());
    } else {
      stanza->onlyServerDirectives = false;
    }
  }
  close();
  return config;
}

ClientConfig LoadClientConfig(const std::string& path) {
  // Plain C streams: a tool's start-up stays free of the C++ stream machinery.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"),
                                                             std::fclose);
  if (!file) return {};
  std::string text;
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file.get())) > 0) text.append(block, n);
  return ParseClientConfig(text);
}

ServerAddress ResolveServer(const ClientConfig& config, const std::string& serverOption,
                            int portOption) {
  ServerAddress out{"localhost", config.port};
  if (!serverOption.empty()) {
    auto it = config.servers.find(Upper(serverOption));
    if (it != config.servers.end()) {
      out = it->second;
      if (out.port == 0) out.port = config.port;
    } else {
      out.host = serverOption;
    }
  }
  if (portOption > 0) out.port = portOption;
  return out;
}

}  // namespace kestrun::client
