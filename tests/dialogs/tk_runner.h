// Runs generated dialog scripts in a real Tk: a private Xvfb display and a
// wish that plays the client (its variables and recording procedures), acts
// on the dialog, and prints what the dialog left behind.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace kestrun::test {

// An Xvfb server of our own on a free display number; stopped by the
// destructor.
class XDisplay {
 public:
  // nullptr when Xvfb is not installed or no display came up.
  static std::unique_ptr<XDisplay> Start();
  ~XDisplay();
  const std::string& name() const { return name_; }

 private:
  XDisplay(pid_t pid, std::string name) : pid_(pid), name_(std::move(name)) {}
  pid_t pid_;
  std::string name_;
};

bool HaveWish();

struct TkRun {
  int status = -1;  // exit status of wish, -1 when killed after the time-out
  std::string out;  // "key=value" lines, see RunDialog
  std::string err;
  // The value printed as "key=value", or "<missing>".
  std::string Value(const std::string& key) const;
};

// Runs `script` in wish on `display` after the client prelude. `actions` is
// Tcl run 100 ms after the dialog is up (it should end with pressing a
// button); when empty, OK is pressed. Prints, after the dialog returned:
// "error=..." for a Tcl error of the script, "button=", "NumFields=",
// "lbNumColumns=", for each field N "nameN=", "wnN=" and "classN=" (the Tk
// class of the widget named by wnN), "calls=" (the recorded client calls, one
// Tcl list), "rows=" (the list-box row ids in display order) and "result="
// (the result of `actions`).
TkRun RunDialog(const XDisplay& display, const std::string& script, const std::string& actions);

// Same, with a Tcl snippet run before `script` (e.g. to change `platform`).
TkRun RunDialog(const XDisplay& display, const std::string& before, const std::string& script,
                const std::string& actions);

}  // namespace kestrun::test
