#include "tools/kesclient/dialog.h"

#include <fcntl.h>
#include <tk.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "tools/kesclient/dialog_requests.h"
#include "tools/kesclient/dialog_streams.h"
#include "tools/kesclient/dialog_tcl.h"
#include "tools/kesclient/exit_status.h"
#include "tools/kesclient/tcl_tk.h"

namespace kestrun::client {

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "kesclient: %s\n", message.c_str());
  return kExitClientFailure;
}

std::string WithoutFinalLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string RefusalText(const DialogData& d, const std::string& job) {
  switch (d.failure) {
    case 0:
      return "job " + job + " does not exist or you may not use it";
    case 2:
      return "the dialog definition of job " + job + " cannot be read on the server";
    case 3:
      return "the server built no dialog for job " + job;
    case 6:
      if (d.message.empty()) return "job " + job + " was refused by its prevalidation";
      return WithoutFinalLineEnd(d.message);
    default:
      return d.message;
  }
}

// Cuts `line` at every occurrence of `separator`.
std::vector<std::string> Cells(const std::string& line, const std::string& separator) {
  std::vector<std::string> cells;
  if (separator.empty()) return {line};
  size_t from = 0;
  for (size_t at; (at = line.find(separator, from)) != std::string::npos;
       from = at + separator.size()) {
    cells.push_back(line.substr(from, at - from));
  }
  cells.push_back(line.substr(from));
  return cells;
}

Tcl_Obj* Text(const std::string& s) {
  return Tcl_NewStringObj(s.data(), static_cast<int>(s.size()));
}

Tcl_Obj* List(const std::vector<std::string>& items) {
  Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
  for (const std::string& item : items) Tcl_ListObjAppendElement(nullptr, list, Text(item));
  return list;
}

std::vector<std::string> SplitList(Tcl_Interp* interp, Tcl_Obj* list) {
  int count = 0;
  Tcl_Obj** items = nullptr;
  std::vector<std::string> out;
  if (Tcl_ListObjGetElements(interp, list, &count, &items) != TCL_OK) return out;
  for (int i = 0; i < count; ++i) out.emplace_back(Tcl_GetString(items[i]));
  return out;
}

class Session {
 public:
  Session(const ServerAddress& server, RunRequest request, const JobRunner& run,
          std::optional<TclTk>& tk, std::optional<DialogValues> passed)
      : server_(server),
        request_(std::move(request)),
        run_(run),
        tk_(tk),
        passed_(std::move(passed)) {}

  int Run(const DialogOptions& options);
  // The user cancelled this dialog (or the question about its streams).
  bool cancelled() const { return cancelled_; }

 private:
  DialogIdentity Who() const {
    return {request_.job, request_.user, request_.node, request_.processId, request_.args};
  }
  // The interpreter the dialog script runs in: the safe child, or the
  // client's own when the server is trusted.
  const Interpreter& Dialog() const { return safe_ ? *safe_ : *interp_; }
  bool OpenInterpreter(bool forDialog, std::string* failure, bool* noDisplay);
  void AddClientCommands();
  DialogValues Values() const;
  DialogValues PassedOnly() const;
  bool Call(std::initializer_list<Tcl_Obj*> words) const;
  void ShowMessage(const std::string& text) const;
  void FieldChanged(const std::string& changed, const std::vector<std::string>& targets);
  void RecomputeField(const std::string& changed, int field);
  void RefillListBox(const std::string& reason, const std::string& changed, int sortMode);
  void Cascade(const std::string& job);
  int RunJob(const StreamBlock& streams, DialogValues values);
  int Cancel() {
    CancelDialog(server_, Who());
    cancelled_ = true;
    return kExitClientFailure;
  }

  static int Command(ClientData data, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);

  const ServerAddress& server_;
  RunRequest request_;
  const JobRunner& run_;
  std::optional<TclTk>& tk_;  // loaded by the first dialog that needs it
  std::optional<DialogValues> passed_;
  bool trustServer_ = false;
  // The client's own interpreter (file choosers, output windows) and the
  // safe one the dialog script runs in, which goes first.
  std::optional<Interpreter> interp_;
  bool assumeYes_ = false;  // -y
  std::optional<Interpreter> safe_;
  bool cancelled_ = false;
};

// The server's dialog script runs in a safe interpreter unless the server
// is trusted; the client's own interpreter then only shows the client's
// windows, its main window staying hidden.
bool Session::OpenInterpreter(bool forDialog, std::string* failure, bool* noDisplay) {
  *noDisplay = false;
  if (!tk_) tk_ = TclTk::Load(failure, noDisplay);
  if (!tk_) return false;
  interp_ = tk_->NewInterpreter(failure);
  if (!interp_) {
    *noDisplay = true;  // Tk fails to start when the display cannot be opened
    return false;
  }
  std::string error;
  bool ready = interp_->Eval(kClientSupport, &error);
  if (ready && !(forDialog && trustServer_)) ready = interp_->Eval("wm withdraw .", &error);
  if (ready && forDialog && !trustServer_) {
    ready = interp_->Eval("::kes::dialogInterp", &error);
    if (ready) {
      safe_ = interp_->Child(Tcl_GetStringResult(interp_->get()));
      ready = safe_.has_value();
    }
  }
  if (ready && forDialog) ready = Dialog().Eval(kDialogSupport, &error);
  if (!ready) {
    *failure = "cannot prepare the dialog: " + error;
    safe_.reset();
    interp_.reset();
    return false;
  }
  if (forDialog) AddClientCommands();
  return true;
}

// The client procedures share one entry point; the command's name says
// which one was called.
int Session::Command(ClientData data, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
  auto* self = static_cast<Session*>(data);
  const std::string name = Tcl_GetString(objv[0]);
  std::vector<std::string> args;
  for (int i = 1; i < objc; ++i) args.emplace_back(Tcl_GetString(objv[i]));
  if (name == "cbc" || name == "ebc" || name == "bbc") {
    if (!args.empty()) {
      const std::string changed = args.front();
      args.erase(args.begin());
      self->FieldChanged(changed, args);
    }
  } else if (name == "apply") {
    self->RefillListBox("APPLY", "", 0);
  } else if (name == "autorefresh") {
    self->RefillListBox("AUTOREFRESH", "", 1);
  } else if (name == "dblclick") {
    self->Dialog().Eval("if {[winfo exists .bb.okbutton]} {.bb.okbutton invoke}");
  } else if (name == "cascade") {
    if (!args.empty()) self->Cascade(args.front());
  }
  return TCL_OK;
}

// The only commands of the client the dialog script can reach.
void Session::AddClientCommands() {
  for (const char* name : {"cbc", "ebc", "bbc", "apply", "autorefresh", "dblclick", "cascade"})
    Tcl_CreateObjCommand(Dialog().get(), name, &Session::Command, this, nullptr);
}

bool Session::Call(std::initializer_list<Tcl_Obj*> words) const {
  std::string error;
  if (Dialog().Call(words, &error)) return true;
  std::fprintf(stderr, "kesclient: %s\n", error.c_str());
  return false;
}

void Session::ShowMessage(const std::string& text) const {
  Call({Text("::kes::showMessage"), Text(WithoutFinalLineEnd(text))});
}

DialogValues Session::Values() const {
  DialogValues v;
  const Interpreter& dialog = Dialog();
  const int fields = std::atoi(dialog.Get("NumFields", "0").c_str());
  for (int i = 1; i <= fields; ++i)
    v.fields.values.push_back(dialog.Get(("name" + std::to_string(i)).c_str()));
  if (dialog.Eval("::kes::listBoxState")) {
    // {selected-count headings {name value ...}}
    Tcl_Interp* in = dialog.get();
    Tcl_Obj* state = Tcl_GetObjResult(in);
    Tcl_IncrRefCount(state);
    Tcl_Obj* parts[3] = {};
    for (int i = 0; i < 3; ++i) Tcl_ListObjIndex(in, state, i, &parts[i]);
    if (parts[2] != nullptr) {
      v.listBox.selections = std::atoi(Tcl_GetString(parts[0]));
      v.listBox.headings = SplitList(in, parts[1]);
      const std::vector<std::string> flat = SplitList(in, parts[2]);
      for (size_t i = 0; i + 1 < flat.size(); i += 2)
        v.listBox.variables.emplace_back(flat[i], flat[i + 1]);
    }
    Tcl_DecrRefCount(state);
  }
  v.passed = PassedOnly().passed;
  return v;
}

DialogValues Session::PassedOnly() const {
  DialogValues v;
  if (passed_) {
    v.passed.fields = passed_->fields;
    v.passed.listBox = messages::PassedListBoxBlock::Of(passed_->listBox);
  }
  return v;
}

void Session::FieldChanged(const std::string& changed, const std::vector<std::string>& targets) {
  for (const std::string& target : targets) {
    if (target == "LB" || target == "LISTBOX") {
      RefillListBox("FIELDCHANGE", changed, 0);
    } else if (const int field = std::atoi(target.c_str()); field > 0) {
      RecomputeField(changed, field);
    }
  }
}

void Session::RecomputeField(const std::string& changed, int field) {
  const FieldScriptAnswer a = RunFieldScript(server_, Who(), Values(), changed, field);
  if (!a.ok) {
    ShowMessage(a.message);
    return;
  }
  // No lines, a failure mark and no error text: the field has no script.
  if (a.lines.empty() && a.failed && a.message.empty()) return;
  Call({Text("::kes::setField"), Tcl_NewIntObj(field), List(a.lines), Tcl_NewIntObj(a.failed)});
  if (a.failed && !a.message.empty()) ShowMessage(a.message);
}

void Session::RefillListBox(const std::string& reason, const std::string& changed, int sortMode) {
  const ListBoxAnswer a = RunListBoxScript(server_, Who(), Values(), reason, changed);
  if (!a.ok) {
    ShowMessage(a.message);
    return;
  }
  std::vector<std::string> headings;
  Tcl_Obj* rows = Tcl_NewListObj(0, nullptr);
  for (size_t i = 0; i < a.lines.size(); ++i) {
    std::vector<std::string> cells = Cells(a.lines[i], a.separator);
    if (i == 0 && a.noColumnNames) {
      headings = std::move(cells);
      continue;
    }
    Tcl_ListObjAppendElement(nullptr, rows, List(cells));
  }
  Call({Text("::kes::fillListBox"), List(headings), List(a.widths), Tcl_NewIntObj(a.contextColumn),
        List(a.icons), rows});
  Call({Text("::kes::afterFill"), Tcl_NewIntObj(sortMode)});
}

void Session::Cascade(const std::string& job) {
  RunRequest child = request_;
  child.job = job;
  child.args.clear();
  child.values = {};
  DialogValues mine = Values();
  Session session(server_, std::move(child), run_, tk_, std::move(mine));
  DialogOptions options;
  options.trustServer = trustServer_;
  session.Run(options);
}

int Session::Run(const DialogOptions& options) {
  assumeYes_ = options.assumeYes;
  trustServer_ = options.trustServer;
  std::string failure;
  const std::optional<DialogData> data =
      GetDialogData(server_, Who(), options.noDialog, passed_ ? &*passed_ : nullptr, &failure);
  if (!data) return Fail(failure);
  if (!data->ok) {
    // A job without a dialog runs at once.
    if (data->failure == 1) return RunJob(data->streams, PassedOnly());
    return Fail(RefusalText(*data, request_.job));
  }
  bool noDisplay = false;
  if (!OpenInterpreter(true, &failure, &noDisplay)) {
    CancelDialog(server_, Who());
    if (noDisplay)
      failure = "the dialog of job " + request_.job + " needs an X display (" + failure + ")";
    return Fail(failure);
  }
  if (!options.eval.empty())
    Tcl_SetVar2(Dialog().get(), "::kes::eval", nullptr, options.eval.c_str(), TCL_GLOBAL_ONLY);
  std::string error;
  bool shown = Dialog().Eval(data->script, &error);
  DialogValues values;
  for (;;) {
    if (!shown) {
      CancelDialog(server_, Who());
      return Fail("the dialog of job " + request_.job + " failed: " + error);
    }
    if (Dialog().Get("button") != "ok") return Cancel();
    values = Values();
    const std::optional<std::string> refusal = RunValidationScript(server_, Who(), values);
    if (!refusal) break;
    ShowMessage(refusal->empty() ? "The input was refused." : *refusal);
    shown = Dialog().Eval("tkwait variable button", &error);
  }
  Dialog().Eval("catch {wm withdraw .}");
  return RunJob(data->streams, std::move(values));
}

bool NeedsDisplay(const StreamBlock& b) {
  const auto window = [](Disposition d) {
    return d == Disposition::Popup || d == Disposition::Report || d == Disposition::FileChooser;
  };
  return window(b.output) || window(b.error) || b.input == Disposition::FileChooser;
}

int Session::RunJob(const StreamBlock& block, DialogValues values) {
  if (!interp_ && NeedsDisplay(block)) {
    std::string failure;
    bool noDisplay = false;
    if (!OpenInterpreter(false, &failure, &noDisplay))
      std::fprintf(stderr, "kesclient: %s\n", failure.c_str());
  }
  JobStreams streams;
  std::string failure;
  switch (OpenStreams(block, interp_ ? &*interp_ : nullptr, {request_.job, assumeYes_}, &streams,
                      &failure)) {
    case StreamSetup::Cancelled:
      return Cancel();
    case StreamSetup::Refused:
    case StreamSetup::Failed:
      CancelDialog(server_, Who());
      return Fail(failure);
    case StreamSetup::Ready:
      break;
  }
  RunRequest r = request_;
  r.values = std::move(values);
  r.stdinFileName = streams.inputFileName;
  if (!streams.window) return run_(r, streams.input, streams.output, streams.error);
  return RunWithOutputWindow(*interp_, request_.job + " output", streams.live, [&](int fd) {
    return run_(r, streams.input, streams.output < 0 ? fd : streams.output,
                streams.error < 0 ? fd : streams.error);
  });
}

}  // namespace

int DialogCommand(const ServerAddress& server, const RunRequest& request,
                  const DialogOptions& options, const JobRunner& run) {
  std::optional<TclTk> tk;
  Session session(server, request, run, tk, std::nullopt);
  const int status = session.Run(options);
  if (session.cancelled()) Fail("the dialog of job " + request.job + " was cancelled");
  return status;
}

}  // namespace kestrun::client
