#include "web/json_requests.h"

#include <boost/json.hpp>
#include <charconv>

namespace kestrun::web {

namespace json = boost::json;

namespace {

// Parses `body` as one JSON value no deeper than kMaxJsonDepth.
std::optional<json::value> ParseBounded(std::string_view body) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::system::error_code error;
  json::value value =
      json::parse(json::string_view(body.data(), body.size()), error, json::storage_ptr(), options);
  if (error) return std::nullopt;
  return value;
}

// A NUL would cut an argument, an environment value or a password short
// where it reaches the system, so a text holding one is refused.
bool HasNul(const json::string& text) {
  return std::string_view(text.data(), text.size()).find('\0') != std::string_view::npos;
}

bool HasControl(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

// The string member `key` of `object` into `out` (absent: left as is).
std::optional<BadRequest> TakeString(const json::object& object, std::string_view key, size_t limit,
                                     std::string& out) {
  const json::value* v = object.if_contains(json::string_view(key.data(), key.size()));
  if (v == nullptr || v->is_null()) return std::nullopt;
  if (!v->is_string()) return BadRequest{std::string(key) + " must be a string"};
  const json::string& s = v->get_string();
  if (s.size() > limit)
    return BadRequest{std::string(key) + " is longer than " + std::to_string(limit) + " bytes"};
  if (HasNul(s)) return BadRequest{std::string(key) + " holds a NUL byte"};
  out.assign(s.data(), s.size());
  return std::nullopt;
}

std::optional<BadRequest> TakeStringList(const json::value& v, std::string_view what, size_t count,
                                         std::vector<std::string>& out) {
  if (!v.is_array()) return BadRequest{std::string(what) + " must be a list of strings"};
  const json::array& list = v.get_array();
  if (list.size() > count)
    return BadRequest{std::string(what) + " holds more than " + std::to_string(count) + " items"};
  for (const json::value& item : list) {
    if (!item.is_string()) return BadRequest{std::string(what) + " must be a list of strings"};
    if (item.get_string().size() > kMaxValueLength)
      return BadRequest{"a value of " + std::string(what) + " is longer than " +
                        std::to_string(kMaxValueLength) + " bytes"};
    if (HasNul(item.get_string()))
      return BadRequest{"a value of " + std::string(what) + " holds a NUL byte"};
    out.emplace_back(item.get_string().data(), item.get_string().size());
  }
  return std::nullopt;
}

std::optional<BadRequest> TakeFields(const json::value& v, std::vector<std::string>& out) {
  if (!v.is_object()) return BadRequest{"fields must be an object of field numbers"};
  for (const auto& [key, value] : v.get_object()) {
    int32_t number = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
    if (error != std::errc() || end != key.data() + key.size() || number < 1 ||
        number > kMaxFieldNumber)
      return BadRequest{"fields: \"" + std::string(key.data(), key.size()) +
                        "\" is not a field number from 1 to 999"};
    if (!value.is_string()) return BadRequest{"fields: values must be strings"};
    if (value.get_string().size() > kMaxValueLength)
      return BadRequest{"the value of field " + std::to_string(number) + " is longer than " +
                        std::to_string(kMaxValueLength) + " bytes"};
    if (HasNul(value.get_string()))
      return BadRequest{"the value of field " + std::to_string(number) + " holds a NUL byte"};
    if (out.size() < static_cast<size_t>(number)) out.resize(number);
    out[number - 1].assign(value.get_string().data(), value.get_string().size());
  }
  return std::nullopt;
}

std::optional<BadRequest> TakeListBox(const json::value& v, DialogValues& out) {
  if (!v.is_object()) return BadRequest{"listbox must be an object"};
  const json::object& box = v.get_object();
  if (const json::value* s = box.if_contains("selections")) {
    if (!s->is_int64() || s->get_int64() < 0 || s->get_int64() > INT32_MAX)
      return BadRequest{"listbox.selections must be a count"};
    out.selections = static_cast<int32_t>(s->get_int64());
  }
  if (const json::value* h = box.if_contains("headings"))
    if (auto bad = TakeStringList(*h, "listbox.headings", kMaxListBoxValues, out.headings))
      return bad;
  if (const json::value* values = box.if_contains("variables")) {
    if (!values->is_array()) return BadRequest{"listbox.variables must be a list of pairs"};
    if (values->get_array().size() > kMaxListBoxValues)
      return BadRequest{"listbox.variables holds more than " + std::to_string(kMaxListBoxValues) +
                        " items"};
    for (const json::value& pair : values->get_array()) {
      std::vector<std::string> two;
      if (auto bad = TakeStringList(pair, "listbox.variables", 2, two)) return bad;
      if (two.size() != 2) return BadRequest{"listbox.variables must be a list of pairs"};
      out.listBox.emplace_back(std::move(two[0]), std::move(two[1]));
    }
  }
  return std::nullopt;
}

}  // namespace

Parsed<LoginBody> ParseLogin(std::string_view body) {
  const std::optional<json::value> value = ParseBounded(body);
  if (!value || !value->is_object()) return BadRequest{"The body must be a JSON object"};
  LoginBody login;
  const json::object& o = value->get_object();
  if (auto bad = TakeString(o, "user", kMaxUserName, login.user)) return *bad;
  if (auto bad = TakeString(o, "password", kMaxPassword, login.password)) return *bad;
  if (login.user.empty() || HasControl(login.user)) return BadRequest{"user is missing or invalid"};
  return login;
}

Parsed<DialogValues> ParseDialogValues(std::string_view body) {
  const std::optional<json::value> value = ParseBounded(body.empty() ? "{}" : body);
  if (!value || !value->is_object()) return BadRequest{"The body must be a JSON object"};
  const json::object& o = value->get_object();
  DialogValues values;
  if (const json::value* a = o.if_contains("arguments"))
    if (auto bad = TakeStringList(*a, "arguments", kMaxArguments, values.arguments)) return *bad;
  if (const json::value* f = o.if_contains("fields"))
    if (auto bad = TakeFields(*f, values.fields)) return *bad;
  if (const json::value* l = o.if_contains("listbox"))
    if (auto bad = TakeListBox(*l, values)) return *bad;
  if (auto bad = TakeString(o, "changed", kMaxValueLength, values.changed)) return *bad;
  if (auto bad = TakeString(o, "current", kMaxValueLength, values.current)) return *bad;
  // The browser's dialog names the field to fill "field".
  if (auto bad = TakeString(o, "field", kMaxValueLength, values.current)) return *bad;
  if (auto bad = TakeString(o, "reason", kMaxValueLength, values.reason)) return *bad;
  return values;
}

Parsed<RunControl> ParseRunControl(std::string_view text) {
  const std::optional<json::value> value = ParseBounded(text);
  if (!value || !value->is_object()) return BadRequest{"A control message must be a JSON object"};
  std::string type;
  if (auto bad = TakeString(value->get_object(), "type", 16, type)) return *bad;
  if (type == "eof") return RunControl{RunControl::Kind::Eof};
  if (type == "stop") return RunControl{RunControl::Kind::Stop};
  return BadRequest{"Unknown control message type \"" + type + "\""};
}

std::optional<BadRequest> CheckJobName(std::string_view name) {
  if (name.empty()) return BadRequest{"The job name is empty"};
  if (name.size() > kMaxJobName)
    return BadRequest{"The job name is longer than " + std::to_string(kMaxJobName) + " bytes"};
  if (HasControl(name)) return BadRequest{"The job name holds control characters"};
  return std::nullopt;
}

}  // namespace kestrun::web
