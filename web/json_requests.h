// The JSON bodies the web console accepts, read into plain values. Every
// reader checks the limits of the native protocol (job names, field values,
// arguments) and the nesting depth before anything is used, and answers a
// body it refuses with the text of a 400 reply instead of a value.
//
// Plain functions of their input: any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrun::web {

inline constexpr size_t kMaxJsonDepth = 32;
inline constexpr size_t kMaxJobName = 255;
inline constexpr size_t kMaxValueLength = 4095;  // a field value, argument or list-box cell
inline constexpr size_t kMaxArguments = 1000;
inline constexpr int32_t kMaxFieldNumber = 999;
inline constexpr size_t kMaxListBoxValues = 1000;
inline constexpr size_t kMaxUserName = 255;
inline constexpr size_t kMaxPassword = 4096;

// A refused body: the text of the 400 reply.
struct BadRequest {
  std::string error;
};

template <class T>
using Parsed = std::variant<T, BadRequest>;

struct LoginBody {
  std::string user;
  std::string password;
};

// The dialog's current values: `{"arguments":[...],"fields":{"1":"..."},
// "listbox":{"selections":N,"headings":[...],"variables":[[NAME,VALUE],...]},
// "changed":"", "current" (or "field"):"", "reason":""}`; every member is
// optional and others are ignored.
struct DialogValues {
  std::vector<std::string> arguments;
  std::vector<std::string> fields;  // fields[k-1] is field k; missing ones are ""
  int32_t selections = 0;
  std::vector<std::string> headings;
  std::vector<std::pair<std::string, std::string>> listBox;
  std::string changed;  // the field that changed (field and list-box scripts)
  std::string current;  // the field to fill (field script)
  std::string reason;   // why the list box is filled (list-box script)
};

// What the browser sends on a run's WebSocket after the first message.
struct RunControl {
  enum class Kind { Eof, Stop };
  Kind kind = Kind::Eof;
};

Parsed<LoginBody> ParseLogin(std::string_view body);
Parsed<DialogValues> ParseDialogValues(std::string_view body);
Parsed<RunControl> ParseRunControl(std::string_view text);
// A job name taken from a path: refused when empty, too long or holding
// control characters.
std::optional<BadRequest> CheckJobName(std::string_view name);

}  // namespace kestrun::web
