#include "tools/kesclient/tcl_tk.h"

#include <dlfcn.h>
#include <tk.h>

#include <cstdlib>
#include <vector>

namespace kestrun::client {

namespace {

// Opens the first of `names` that loads. RTLD_NODELETE: the library stays
// mapped for the life of the process even when the handle is dropped.
void* OpenLibrary(std::initializer_list<const char*> names, std::string* failure) {
  for (const char* name : names) {
    if (void* handle = ::dlopen(name, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE)) return handle;
  }
  *failure = std::string("cannot load ") + *names.begin() + ": " + ::dlerror() +
             " (install Tcl/Tk 8.6: scripts/setup.sh)";
  return nullptr;
}

}  // namespace

bool Interpreter::Eval(const std::string& script, std::string* error) const {
  if (Tcl_EvalEx(get(), script.data(), static_cast<int>(script.size()), TCL_EVAL_GLOBAL) ==
      TCL_OK) {
    return true;
  }
  if (error) {
    const char* info = Tcl_GetVar(get(), "errorInfo", TCL_GLOBAL_ONLY);
    *error = info ? info : Tcl_GetStringResult(get());
  }
  return false;
}

bool Interpreter::Call(std::initializer_list<Tcl_Obj*> words, std::string* error) const {
  std::vector<Tcl_Obj*> objv(words);
  for (Tcl_Obj* w : objv) Tcl_IncrRefCount(w);
  const int rc = Tcl_EvalObjv(get(), static_cast<int>(objv.size()), objv.data(), TCL_EVAL_GLOBAL);
  for (Tcl_Obj* w : objv) Tcl_DecrRefCount(w);
  if (rc != TCL_OK && error) *error = Get("errorInfo", Tcl_GetStringResult(get()));
  return rc == TCL_OK;
}

std::string Interpreter::Get(const char* name, const std::string& fallback) const {
  const char* value = Tcl_GetVar(get(), name, TCL_GLOBAL_ONLY);
  return value ? value : fallback;
}

void Interpreter::Set(const char* name, const std::string& value) const {
  Tcl_SetVar(get(), name, value.c_str(), TCL_GLOBAL_ONLY);
}

Interpreter::Interpreter(Tcl_Interp* interp) : interp_(interp) {
  Tcl_Preserve(interp);
}

std::optional<Interpreter> Interpreter::Child(const std::string& name) const {
  Tcl_Interp* child = Tcl_GetSlave(get(), name.c_str());
  if (child == nullptr) return std::nullopt;
  return Interpreter(child);
}

void Interpreter::Deleter::operator()(Tcl_Interp* interp) const {
  Tcl_DeleteInterp(interp);
  Tcl_Release(interp);
}

std::optional<TclTk> TclTk::Load(std::string* failure, bool* noDisplay) {
  *noDisplay = false;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    *noDisplay = true;
    *failure = "DISPLAY is not set";
    return std::nullopt;
  }
  void* tcl = OpenLibrary({"libtcl8.6.so.0", "libtcl8.6.so"}, failure);
  if (!tcl) return std::nullopt;
  void* tk = OpenLibrary({"libtk8.6.so.0", "libtk8.6.so"}, failure);
  if (!tk) return std::nullopt;
  using FindExecutable = void (*)(const char*);
  using StaticPackage = void (*)(Tcl_Interp*, const char*, TkInit, TkInit);
  auto findExecutable = reinterpret_cast<FindExecutable>(::dlsym(tcl, "Tcl_FindExecutable"));
  auto staticPackage = reinterpret_cast<StaticPackage>(::dlsym(tcl, "Tcl_StaticPackage"));
  auto tkSafeInit = reinterpret_cast<TkInit>(::dlsym(tk, "Tk_SafeInit"));
  TclTk loaded;
  loaded.createInterp_ = reinterpret_cast<CreateInterp>(::dlsym(tcl, "Tcl_CreateInterp"));
  loaded.tkInit_ = reinterpret_cast<TkInit>(::dlsym(tk, "Tk_Init"));
  if (!findExecutable || !staticPackage || !tkSafeInit || !loaded.createInterp_ ||
      !loaded.tkInit_) {
    *failure = "the Tcl/Tk libraries lack their entry points";
    return std::nullopt;
  }
  findExecutable("kesclient");
  // Tk was opened here, not by Tcl's load command: registered as a package
  // already in the process, `load {} Tk` finds it for safe interpreters.
  staticPackage(nullptr, "Tk", loaded.tkInit_, tkSafeInit);
  return loaded;
}

std::optional<Interpreter> TclTk::NewInterpreter(std::string* failure) const {
  Tcl_Interp* created = createInterp_();
  // The stub tables come from the first interpreter; later calls only
  // check the version. Until they are set no Tcl call can be made, the
  // deletion of this interpreter included.
  if (Tcl_InitStubs(created, "8.6", 0) == nullptr) {
    *failure = "Tcl 8.6 is not available";
    return std::nullopt;
  }
  Interpreter interp(created);
  if (Tcl_Init(interp.get()) != TCL_OK) {
    *failure = std::string("cannot start Tcl: ") + Tcl_GetStringResult(interp.get());
    return std::nullopt;
  }
  if (tkInit_(interp.get()) != TCL_OK) {
    *failure = std::string("cannot start Tk: ") + Tcl_GetStringResult(interp.get());
    return std::nullopt;
  }
  if (Tk_InitStubs(interp.get(), "8.6", 0) == nullptr) {
    *failure = "Tk 8.6 is not available";
    return std::nullopt;
  }
  return interp;
}

}  // namespace kestrun::client
