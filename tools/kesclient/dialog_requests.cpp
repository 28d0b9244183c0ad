#include "tools/kesclient/dialog_requests.h"

#include <type_traits>
#include <variant>

#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_scripts.h"
#include "tools/kesclient/requests.h"

namespace kestrun::client {

namespace {

std::string UnexpectedReply(const ServerAddress& server) {
  return "unexpected reply from " + server.host + ":" + std::to_string(server.port);
}

// The request's reply decoded by `decode`; nullopt with *failure set when the
// server cannot be reached or answers nonsense.
template <class Request, class Decode>
auto Ask(const ServerAddress& server, const Request& request, Decode decode, std::string* failure)
    -> std::optional<decltype(decode(std::declval<XDRWRAP&>()))> {
  XDRWRAP m;
  messages::EncodeRequest(m, request);
  std::optional<XDRWRAP> reply = Exchange(server, m, failure);
  if (!reply) return std::nullopt;
  try {
    return decode(*reply);
  } catch (const DecodeFailure&) {
    if (failure) *failure = UnexpectedReply(server);
    return std::nullopt;
  }
}

// A script request's answer: `Answer` from the family's own form, or not ok
// with the refusal's text; the failure text goes into `message` too when
// the server cannot be reached or answers nonsense.
template <class Answer, class Request, class Decode, class Fill>
Answer AskScript(const ServerAddress& server, const Request& request, Decode decode, Fill fill) {
  Answer answer;
  std::string failure;
  const auto reply = Ask(server, request, decode, &failure);
  if (!reply) {
    answer.message = failure;
    return answer;
  }
  if (const auto* refused = std::get_if<messages::ScriptRefused>(&*reply)) {
    answer.message = refused->message;
    return answer;
  }
  answer.ok = true;
  fill(std::get<0>(*reply), answer);
  return answer;
}

DialogData DialogDataOf(const messages::GetDialogDataReply& reply) {
  DialogData d;
  std::visit(
      [&](const auto& form) {
        using Form = std::decay_t<decltype(form)>;
        if constexpr (std::is_same_v<Form, messages::DialogScriptReply>) {
          d.ok = true;
          d.streams = form.streams;
          d.script = form.script;
        } else if constexpr (std::is_same_v<Form, messages::DialogJobNotFound>) {
          d.failure = static_cast<int32_t>(messages::DialogFailure::JobNotFound);
        } else if constexpr (std::is_same_v<Form, messages::DialogRefused>) {
          d.failure = static_cast<int32_t>(messages::DialogFailure::Refused);
          d.message = form.message;
        } else if constexpr (std::is_same_v<Form, messages::DialogPrevalidateRefused>) {
          d.failure = static_cast<int32_t>(messages::DialogFailure::PrevalidateRefused);
          d.streams = form.streams;
          d.message = form.message;
        } else {
          d.failure = static_cast<int32_t>(form.failure);
          d.streams = form.streams;
        }
      },
      reply);
  return d;
}

}  // namespace

std::optional<DialogData> GetDialogData(const ServerAddress& server, const DialogIdentity& who,
                                        bool noDialog, const DialogValues* passed,
                                        std::string* failure) {
  messages::GetDialogDataRequest request{who.job,  who.user, who.node,    who.processId,
                                         noDialog, who.args, std::nullopt};
  // The passed blocks of the dialog that opens this one are its own field
  // values and list-box selection.
  if (passed) request.passed = {passed->fields, messages::PassedListBoxBlock::Of(passed->listBox)};
  const auto reply = Ask(server, request, messages::DecodeGetDialogDataReply, failure);
  if (!reply) return std::nullopt;
  return DialogDataOf(*reply);
}

FieldScriptAnswer RunFieldScript(const ServerAddress& server, const DialogIdentity& who,
                                 const DialogValues& values, const std::string& changedField,
                                 int currentField) {
  const messages::RunFieldScriptRequest request{
      who.job,  who.user,      who.args,     values,
      who.node, who.processId, changedField, std::to_string(currentField)};
  return AskScript<FieldScriptAnswer>(server, request, messages::DecodeFieldScriptReply,
                                      [](const messages::FieldValues& v, FieldScriptAnswer& a) {
                                        a.lines = v.lines;
                                        a.failed = v.failed;
                                        a.message = v.error;
                                      });
}

ListBoxAnswer RunListBoxScript(const ServerAddress& server, const DialogIdentity& who,
                               const DialogValues& values, const std::string& reason,
                               const std::string& changedField) {
  const messages::RunListBoxScriptRequest request{who.job,  who.user,      who.args, values,
                                                  who.node, who.processId, reason,   changedField};
  return AskScript<ListBoxAnswer>(server, request, messages::DecodeListBoxScriptReply,
                                  [](const messages::ListBoxFilled& f, ListBoxAnswer& a) {
                                    a.updateFields = f.updateFields;
                                    a.separator = f.separator;
                                    a.noColumnNames = f.noColumnNames;
                                    a.contextColumn = f.contextColumn;
                                    a.icons = f.icons;
                                    a.widths = f.widths;
                                    a.lines = f.lines;
                                  });
}

std::optional<std::string> RunValidationScript(const ServerAddress& server,
                                               const DialogIdentity& who,
                                               const DialogValues& values) {
  const messages::RunValidationScriptRequest request{who.job,       who.user, who.node,
                                                     who.processId, values,   who.args};
  struct Answer {
    bool ok = false;  // the input is accepted
    std::string message;
  };
  const Answer a = AskScript<Answer>(server, request, messages::DecodeValidationScriptReply,
                                     [](const messages::ValidationAccepted&, Answer&) {});
  if (a.ok) return std::nullopt;
  return a.message;
}

bool CancelDialog(const ServerAddress& server, const DialogIdentity& who) {
  XDRWRAP m;
  messages::EncodeRequest(
      m, messages::CancelDialogRequest{who.job, who.user, who.node, who.processId});
  return Exchange(server, m).has_value();
}

}  // namespace kestrun::client
