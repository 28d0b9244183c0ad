#include "tools/kesclient/dialog_requests.h"

#include "protocol/request_types.h"
#include "tools/kesclient/requests.h"

namespace kestrun::client {

namespace {

void AddStrings(XDRWRAP& m, const std::vector<std::string>& values) {
  m.AddLong(static_cast<int32_t>(values.size()));
  for (const std::string& v : values) m.AddString(v);
}

void AddPairs(XDRWRAP& m, const std::vector<std::pair<std::string, std::string>>& pairs) {
  for (const auto& [name, value] : pairs) {
    m.AddString(name);
    m.AddString(value);
  }
}

// The passed-field block and the passed list-box block (without headings).
void AddPassedBlocks(XDRWRAP& m, const std::vector<std::string>& fields,
                     const ListBoxBlock& listBox) {
  AddStrings(m, fields);
  m.AddLong(listBox.selections);
  m.AddLong(static_cast<int32_t>(listBox.variables.size()));
  AddPairs(m, listBox.variables);
}

void AddWho(XDRWRAP& m, RequestType type, const DialogIdentity& who) {
  m.BeginEncode();
  m.AddEnum(type);
  m.AddString(who.job);
  m.AddString(who.user);
}

StreamBlock GetStreamBlock(XDRWRAP& r) {
  StreamBlock b;
  b.input = static_cast<Disposition>(r.GetEnum());
  b.error = static_cast<Disposition>(r.GetEnum());
  b.output = static_cast<Disposition>(r.GetEnum());
  b.inputFile = r.GetString();
  b.errorFile = r.GetString();
  b.outputFile = r.GetString();
  return b;
}

// Strings each announced by a char 1, ended by a char 0.
std::vector<std::string> GetLines(XDRWRAP& r) {
  std::vector<std::string> lines;
  while (r.GetLong() == 1) lines.push_back(r.GetString());
  return lines;
}

std::vector<std::string> GetCountedStrings(XDRWRAP& r) {
  const int32_t n = r.GetLong();
  std::vector<std::string> out;
  for (int32_t i = 0; i < n; ++i) out.push_back(r.GetString());
  return out;
}

// A script request's exchange. Every reply opens with char 1 (then what
// `decode` reads) or char 0 and the refusal's text; the failure text goes
// into `message` too when the server cannot be reached or answers nonsense.
template <typename Answer, typename Decode>
Answer Ask(const ServerAddress& server, XDRWRAP& request, Decode decode) {
  Answer answer;
  std::string failure;
  std::optional<XDRWRAP> reply = Exchange(server, request, &failure);
  if (!reply) {
    answer.message = failure;
    return answer;
  }
  try {
    answer.ok = reply->GetLong() == 1;
    if (answer.ok) {
      decode(*reply, answer);
    } else {
      answer.message = reply->GetString();
    }
  } catch (const DecodeFailure&) {
    answer = Answer{};
    answer.message = "unexpected reply from " + server.host + ":" + std::to_string(server.port);
  }
  return answer;
}

// RUN_FIELD_SCRIPT and RUN_LISTBOX_SCRIPT: job, user, parameters, blocks,
// node, process id, then two strings of their own.
void AddScriptRequest(XDRWRAP& m, RequestType type, const DialogIdentity& who,
                      const DialogValues& values, const std::string& first,
                      const std::string& second) {
  AddWho(m, type, who);
  AddStrings(m, who.args);
  AddDialogBlocks(m, values);
  m.AddString(who.node);
  m.AddLong(who.processId);
  m.AddString(first);
  m.AddString(second);
}

}  // namespace

void AddDialogBlocks(XDRWRAP& m, const DialogValues& v) {
  AddStrings(m, v.fields);
  m.AddLong(v.listBox.selections);
  m.AddLong(static_cast<int32_t>(v.listBox.variables.size()));
  AddStrings(m, v.listBox.headings);
  AddPairs(m, v.listBox.variables);
  AddPassedBlocks(m, v.passedFields, v.passedListBox);
}

std::optional<DialogData> GetDialogData(const ServerAddress& server, const DialogIdentity& who,
                                        bool noDialog, const DialogValues* passed,
                                        std::string* failure) {
  XDRWRAP m;
  AddWho(m, GET_DIALOG_DATA, who);
  m.AddString(who.node);
  m.AddLong(who.processId);
  m.AddLong(noDialog ? 1 : 0);
  AddStrings(m, who.args);
  m.AddLong(passed ? 1 : 0);
  // The passed blocks of the dialog that opens this one are its own field
  // values and list-box selection.
  if (passed) AddPassedBlocks(m, passed->fields, passed->listBox);
  std::optional<XDRWRAP> reply = Exchange(server, m, failure);
  if (!reply) return std::nullopt;
  DialogData d;
  try {
    d.ok = reply->GetEnum() == 1;
    if (d.ok) {
      d.streams = GetStreamBlock(*reply);
      d.script = reply->GetString();
      return d;
    }
    d.failure = reply->GetEnum();
    if (d.failure == 10) {
      d.message = reply->GetString();
    } else if (d.failure != 0) {
      d.streams = GetStreamBlock(*reply);
      if (d.failure == 6) d.message = reply->GetString();
    }
    return d;
  } catch (const DecodeFailure&) {
    if (failure)
      *failure = "unexpected reply from " + server.host + ":" + std::to_string(server.port);
    return std::nullopt;
  }
}

FieldScriptAnswer RunFieldScript(const ServerAddress& server, const DialogIdentity& who,
                                 const DialogValues& values, const std::string& changedField,
                                 int currentField) {
  XDRWRAP m;
  AddScriptRequest(m, RUN_FIELD_SCRIPT, who, values, changedField, std::to_string(currentField));
  return Ask<FieldScriptAnswer>(server, m, [](XDRWRAP& r, FieldScriptAnswer& a) {
    a.lines = GetLines(r);
    a.failed = r.GetLong() != 0;
    if (a.failed && r.GetLong() > 0) a.message = r.GetString();
  });
}

ListBoxAnswer RunListBoxScript(const ServerAddress& server, const DialogIdentity& who,
                               const DialogValues& values, const std::string& reason,
                               const std::string& changedField) {
  XDRWRAP m;
  AddScriptRequest(m, RUN_LISTBOX_SCRIPT, who, values, reason, changedField);
  return Ask<ListBoxAnswer>(server, m, [](XDRWRAP& r, ListBoxAnswer& a) {
    a.updateFields = GetCountedStrings(r);
    a.separator = r.GetString();
    a.noColumnNames = r.GetLong() == 1;
    a.contextColumn = r.GetLong();
    if (a.contextColumn > 0) a.icons = GetCountedStrings(r);
    if (a.noColumnNames) a.widths = GetCountedStrings(r);
    a.lines = GetLines(r);
  });
}

std::optional<std::string> RunValidationScript(const ServerAddress& server,
                                               const DialogIdentity& who,
                                               const DialogValues& values) {
  XDRWRAP m;
  AddWho(m, RUN_VALIDATION_SCRIPT, who);
  m.AddString(who.node);
  m.AddLong(who.processId);
  AddDialogBlocks(m, values);
  AddStrings(m, who.args);
  struct Answer {
    bool ok = false;  // the input is accepted
    std::string message;
  };
  const Answer a = Ask<Answer>(server, m, [](XDRWRAP&, Answer&) {});
  if (a.ok) return std::nullopt;
  return a.message;
}

bool CancelDialog(const ServerAddress& server, const DialogIdentity& who) {
  XDRWRAP m;
  AddWho(m, CANCEL_DIALOG, who);
  m.AddString(who.node);
  m.AddLong(who.processId);
  return Exchange(server, m).has_value();
}

}  // namespace kestrun::client
