// Fuzz target: the JSON readers of the web console's requests (login, dialog
// values, run control, job names) on arbitrary bytes. Each must answer with a
// value or a refusal, never crash, and a value must keep within the limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/json_requests.h"

using namespace kestrun::web;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ParseLogin(text);
  ParseRunControl(text);
  CheckJobName(text);
  Parsed<DialogValues> values = ParseDialogValues(text);
  if (const auto* v = std::get_if<DialogValues>(&values)) {
    if (v->arguments.size() > kMaxArguments) std::abort();
    if (v->fields.size() > static_cast<size_t>(kMaxFieldNumber)) std::abort();
    for (const auto& field : v->fields)
      if (field.size() > kMaxValueLength) std::abort();
    if (v->listBox.size() > kMaxListBoxValues) std::abort();
  }
  return 0;
}
