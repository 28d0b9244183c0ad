#include "dialogs/dialog_layout.h"

#include "base/text.h"
#include "core/context.h"

namespace kestrun {

const char* LayoutFieldTypeName(LayoutFieldType type) {
  switch (type) {
    case LayoutFieldType::Entry:
      return "entry";
    case LayoutFieldType::Password:
      return "password";
    case LayoutFieldType::Combobox:
      return "combobox";
    case LayoutFieldType::Radio:
      return "radio";
    case LayoutFieldType::Check:
      return "check";
  }
  return "entry";
}

// Until the layout writer is in, every dialog is answered as one that gave
// no dialog.
std::variant<DialogLayout, DialogRefusal> OpenDialogLayout(ServerContext& /*server*/,
                                                           const DialogCaller& caller) {
  return DialogRefusal{DialogRefusalKind::NoScript,
                       "The dialog script of job " + UpperCase(caller.job) + " gave no dialog"};
}

}  // namespace kestrun
