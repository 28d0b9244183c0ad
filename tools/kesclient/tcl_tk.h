// Tcl/Tk for `kesclient dialog`, loaded only when a dialog is shown. The
// shared libraries are opened at run time and reached through their stub
// tables, so every other command starts without them (kesclient itself
// links only the C library dynamically).
#pragma once

#include <tcl.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace kestrun::client {

// One interpreter with Tcl and Tk initialised; deleted with its windows
// (and its child interpreters).
class Interpreter {
 public:
  Tcl_Interp* get() const { return interp_.get(); }

  // The child interpreter `name` of this one, owned from here on: deleted
  // when the returned object goes (an owner must go before its parent's).
  // nullopt when there is no such child.
  std::optional<Interpreter> Child(const std::string& name) const;

  // Evaluates `script` at global level; false on a Tcl error, whose text
  // (with the stack) is then in *error.
  bool Eval(const std::string& script, std::string* error = nullptr) const;
  // Calls the command made of `words` at global level, without parsing
  // them; the words are released after the call. Errors as for Eval.
  bool Call(std::initializer_list<Tcl_Obj*> words, std::string* error = nullptr) const;
  // The value of a global variable, or `fallback` when it is not set.
  std::string Get(const char* name, const std::string& fallback = "") const;
  void Set(const char* name, const std::string& value) const;

 private:
  friend class TclTk;
  struct Deleter {
    void operator()(Tcl_Interp* interp) const;
  };
  // Keeps the interpreter's memory until the owner goes, even when a script
  // deletes the interpreter itself (a safe interpreter's exit does).
  explicit Interpreter(Tcl_Interp* interp);
  std::unique_ptr<Tcl_Interp, Deleter> interp_;
};

// The loaded libraries. Kept loaded until the process ends: Tk keeps
// handlers registered with the C library and with X.
class TclTk {
 public:
  // Loads Tcl and Tk and checks that a display is named. On failure
  // *failure says why and *noDisplay tells whether the display is missing.
  static std::optional<TclTk> Load(std::string* failure, bool* noDisplay);
  // A new interpreter with its main window; nullopt (and *failure) when Tk
  // cannot open the display. Tk is also available to its safe child
  // interpreters (`load {} Tk CHILD`).
  std::optional<Interpreter> NewInterpreter(std::string* failure) const;

 private:
  using CreateInterp = Tcl_Interp* (*)();
  using TkInit = int (*)(Tcl_Interp*);
  CreateInterp createInterp_ = nullptr;
  TkInit tkInit_ = nullptr;
};

}  // namespace kestrun::client
