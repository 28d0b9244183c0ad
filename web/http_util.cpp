// The small HTTP helpers of the web console's connections.
#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/fields.hpp>

#include "base/text.h"
#include "web/console_impl.h"

namespace kestrun::web {

void AddSecurityHeaders(http::fields& f) {
  f.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  f.set("X-Content-Type-Options", "nosniff");
  f.set("X-Frame-Options", "DENY");
  f.set("Referrer-Policy", "no-referrer");
  f.set(http::field::cache_control, "no-store");
}

std::string ContentTypeOf(std::string_view path) {
  static const std::map<std::string, std::string, std::less<>> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".gif", "image/gif"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
      {".map", "application/json"},
      {".woff2", "font/woff2"},
      {".wasm", "application/wasm"}};
  const size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && path.find('/', dot) == std::string_view::npos) {
    const auto it = kTypes.find(LowerCase(path.substr(dot)));
    if (it != kTypes.end()) return it->second;
  }
  return "application/octet-stream";
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t semi = header.find(';');
    std::string_view item = header.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.size() > name.size() && item.substr(0, name.size()) == name &&
        item[name.size()] == '=')
      return std::string(item.substr(name.size() + 1));
    if (semi == std::string_view::npos) break;
    header.remove_prefix(semi + 1);
  }
  return std::nullopt;
}

std::map<std::string, std::string> QueryOf(std::string_view query) {
  std::map<std::string, std::string> values;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const size_t eq = item.find('=');
    auto key = PercentDecode(item.substr(0, eq), true);
    auto value = PercentDecode(eq == std::string_view::npos ? "" : item.substr(eq + 1), true);
    if (key && value) values[*key] = *value;
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return values;
}

uint32_t V4Of(const asio::ip::address& a) {
  if (a.is_v4()) return a.to_v4().to_uint();
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_uint();
  return 0;
}

}  // namespace kestrun::web
