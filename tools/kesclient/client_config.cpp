#include "tools/kesclient/client_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

struct Stanza {
  std::string name;
  ServerAddress address;
  bool onlyServerDirectives = true;
};

}  // namespace

ClientConfig ParseClientConfig(const std::string& text) {
  ClientConfig config;
  std::istringstream in(text);
  std::string line;
  std::optional<Stanza> stanza;
  auto close = [&] {
    if (stanza && stanza->onlyServerDirectives && !stanza->address.host.empty()) {
      config.servers[stanza->name] = stanza->address;
    }
    stanza.reset();
  };
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      const std::string t = Trim(line);
      if (t.empty()) {
        close();
      } else if (t.back() == ':') {
        close();
        stanza = Stanza{Upper(Trim(t.substr(0, t.size() - 1))), {}, true};
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
  std::ifstream in(path);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return ParseClientConfig(text.str());
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
