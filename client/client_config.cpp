#include "client/client_config.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
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

std::string ReadWholeFile(const std::string& path, bool* found) {
  // Plain C streams: a tool's start-up stays free of the C++ stream machinery.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"),
                                                             std::fclose);
  *found = file != nullptr;
  std::string text;
  if (!file) return text;
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file.get())) > 0) text.append(block, n);
  return text;
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
  bool found = false;
  const std::string text = ReadWholeFile(path, &found);
  return found ? ParseClientConfig(text) : ClientConfig{};
}

UserClientConfig ParseUserClientConfig(const std::string& text) {
  UserClientConfig config;
  ServerAddress* section = nullptr;  // the open [NAME] section
  for (size_t at = 0; at < text.size();) {
    const size_t newline = std::min(text.find('\n', at), text.size());
    std::string raw = text.substr(at, newline - at);
    const std::string line = Trim(raw.substr(0, raw.find('#')));
    at = newline + 1;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = &config.servers[Upper(Trim(line.substr(1, line.size() - 2)))];
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Upper(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    ServerAddress& address = section ? *section : config.server;
    if (key == "SERVER") {
      address.host = value;
    } else if (key == "PORT") {
      address.port = std::atoi(value.c_str());
    } else if (key == "USER" && !section) {
      config.user = value;
    } else if (key == "NODE" && !section) {
      config.node = value;
    }
  }
  return config;
}

UserClientConfig LoadUserClientConfig(const std::string& path) {
  bool found = false;
  const std::string text = ReadWholeFile(path, &found);
  return found ? ParseUserClientConfig(text) : UserClientConfig{};
}

std::string UserClientConfigPath() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::string(xdg) + "/kestrun/client.conf";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.config/kestrun/client.conf";
  return "";
}

std::optional<ServerAddress> ParseServerVariable(const std::string& value) {
  const std::string v = Trim(value);
  if (v.empty()) return std::nullopt;
  ServerAddress out{v, 0};
  // One colon separates the port; an IPv6 address (several colons) has none.
  const size_t colon = v.rfind(':');
  if (colon == std::string::npos || v.find(':') != colon) return out;
  const std::string port = v.substr(colon + 1);
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5)
    return std::nullopt;
  out.port = std::atoi(port.c_str());
  if (out.port < 1 || out.port > 65535 || colon == 0) return std::nullopt;
  out.host = v.substr(0, colon);
  return out;
}

namespace {

// A server name of client.conf, then of the kestrun.conf beside the program.
std::optional<ServerAddress> NamedServer(const ServerSources& s, const std::string& name) {
  if (auto it = s.user.servers.find(Upper(name));
      it != s.user.servers.end() && !it->second.host.empty())
    return it->second;
  if (auto it = s.beside.servers.find(Upper(name)); it != s.beside.servers.end()) return it->second;
  return std::nullopt;
}

}  // namespace

ServerAddress ResolveServer(const ServerSources& s) {
  ServerAddress out{"localhost", 0};
  if (!s.serverOption.empty()) {
    out = NamedServer(s, s.serverOption).value_or(ServerAddress{s.serverOption, 0});
  } else if (s.variable) {
    out = *s.variable;
  } else if (!s.user.server.host.empty()) {
    out = NamedServer(s, s.user.server.host).value_or(ServerAddress{s.user.server.host, 0});
  }
  if (s.portOption > 0) out.port = s.portOption;
  if (out.port <= 0) out.port = s.user.server.port;
  if (out.port <= 0) out.port = s.beside.port;
  return out;
}

ServerAddress ResolveServer(const ClientConfig& config, const std::string& serverOption,
                            int portOption) {
  ServerSources sources;
  sources.serverOption = serverOption;
  sources.portOption = portOption;
  sources.beside = config;
  return ResolveServer(sources);
}

}  // namespace kestrun::client
