// The layout writer: walks the definition as ReadDefinition (definition.h)
// read it, as the Tk writer does, and keeps what a page needs to place each
// label and field where the Tk window has it.
#include "dialogs/dialog_layout.h"

#include <map>

#include "base/log.h"
#include "config/server_config.h"
#include "core/context.h"
#include "dialogs/banner.h"
#include "dialogs/definition.h"
#include "dialogs/dialog_opening.h"
#include "dialogs/list_box.h"

namespace kestrun {

namespace {

using dialogs::DefButton;
using dialogs::DefField;
using dialogs::DefFrame;
using dialogs::DefItem;
using dialogs::DefLabel;
using dialogs::DefRow;
using dialogs::DefTab;

std::string Trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

std::vector<int32_t> UpdatesOf(const FieldDefinition* d) {
  std::vector<int32_t> targets;
  if (d == nullptr) return targets;
  for (const FieldUpdate& u : d->updates) targets.push_back(u.target < 1 ? 0 : u.target);
  return targets;
}

// What an entry or combobox starts with, as the Tk writer sets `name`N.
std::string InitialText(const DefField& f) {
  const FieldDefinition* d = f.definition;
  if (d == nullptr) return {};
  if (f.combobox) {
    for (const FieldDefinition& choice : d->values)
      if (choice.value == d->value) return d->value;
    return {};
  }
  if (d->values.empty()) return d->value;
  const std::string& choice = d->values[0].value;
  return d->value.empty() || d->value == choice ? choice : std::string();
}

class LayoutWriter {
 public:
  explicit LayoutWriter(DialogLayout& layout) : layout_(layout) {}

  void operator()(const DefTab& tab) { layout_.tabs.push_back(Trimmed(tab.title)); }
  void operator()(const DefFrame& frame);
  void operator()(const DefRow& row);
  // Every radio group shows one set button: the last that started set.
  void Finish();

 private:
  LayoutField& AddField(const DefRow& row, int32_t number, const FieldDefinition* d);

  DialogLayout& layout_;
  std::map<int32_t, int32_t> frames_;      // container number -> LayoutFrame::number
  std::map<int32_t, int32_t> setInGroup_;  // radio group -> the field set last
};

void LayoutWriter::operator()(const DefFrame& frame) {
  const int32_t number = static_cast<int32_t>(layout_.frames.size()) + 1;
  frames_[frame.container] = number;
  layout_.frames.push_back(
      {number, Trimmed(frame.title), frame.page, static_cast<int32_t>(layout_.rows.size())});
}

LayoutField& LayoutWriter::AddField(const DefRow& row, int32_t number, const FieldDefinition* d) {
  LayoutField& f = layout_.fields.emplace_back();
  f.number = number;
  f.tab = row.page;
  f.frame = row.frame == 0 ? 0 : frames_[row.frame];
  f.row = static_cast<int32_t>(layout_.rows.size());
  f.enabled = d == nullptr || d->enabled;
  f.updates = UpdatesOf(d);
  return f;
}

void LayoutWriter::operator()(const DefRow& row) {
  LayoutRow out{row.line, row.page, row.frame == 0 ? 0 : frames_[row.frame], {}};
  const DefLabel* before = nullptr;  // the label that ended at the next field
  for (const DefItem& item : row.items) {
    if (const auto* label = std::get_if<DefLabel>(&item)) {
      out.items.push_back({LayoutItem::Kind::Label, label->text, 0, label->column, label->width,
                           label->anchor == 'e'});
      before = label->ending == DefLabel::Ending::BeforeField ? label : nullptr;
    } else if (const auto* field = std::get_if<DefField>(&item)) {
      out.items.push_back(
          {LayoutItem::Kind::Field, {}, field->number, field->column, field->width});
      LayoutField& f = AddField(row, field->number, field->definition);
      f.type = field->combobox   ? LayoutFieldType::Combobox
               : field->password ? LayoutFieldType::Password
                                 : LayoutFieldType::Entry;
      if (before != nullptr) f.label = Trimmed(before->text);
      f.value = InitialText(*field);
      if (field->combobox && field->definition != nullptr)
        for (const FieldDefinition& choice : field->definition->values)
          f.choices.push_back(choice.value);
      f.column = field->column;
      f.width = field->width;
      before = nullptr;
    } else if (const auto* button = std::get_if<DefButton>(&item)) {
      out.items.push_back(
          {LayoutItem::Kind::Field, {}, button->number, button->column, button->characters});
      LayoutField& f = AddField(row, button->number, button->definition);
      f.type = button->radio ? LayoutFieldType::Radio : LayoutFieldType::Check;
      f.label = button->caption;
      f.value = button->set ? "1" : "0";
      f.group = button->group;
      if (button->radio && button->set) setInGroup_[button->group] = button->number;
      f.column = button->column;
      f.width = button->characters;
      before = nullptr;
    }
  }
  layout_.rows.push_back(std::move(out));
}

void LayoutWriter::Finish() {
  for (LayoutField& f : layout_.fields)
    if (f.type == LayoutFieldType::Radio) f.value = setInGroup_[f.group] == f.number ? "1" : "0";
}

LayoutBanner BannerOf(const ServerConfig& config, const JobDefinition& job,
                      const std::string& title) {
  LayoutBanner banner;
  if (!job.banner) return banner;
  banner.shown = true;
  banner.heading = job.bannerHeading.empty() ? title : job.bannerHeading;
  banner.text = job.bannerText;
  banner.icon = job.bannerGraphic;
  banner.picture = dialogs::BannerPicture(config, job);
  return banner;
}

LayoutButtons ButtonsOf(const JobDefinition& job) {
  LayoutButtons buttons;
  buttons.ok = job.okButtonText.empty() ? "OK" : job.okButtonText;
  buttons.cancel = job.cancelButtonText.empty() ? "Cancel" : job.cancelButtonText;
  if (job.applyButton) buttons.apply = job.applyButtonText.empty() ? "Apply" : job.applyButtonText;
  return buttons;
}

}  // namespace

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

DialogLayout BuildDialogLayout(const ServerConfig& config, const DialogInput& in,
                               const DialogSources& sources) {
  const JobDefinition& job = in.job;
  DialogLayout layout;
  layout.title = job.title.empty() ? "Kestrun" : job.title;
  layout.banner = BannerOf(config, job, layout.title);
  LayoutWriter writer(layout);
  for (const dialogs::DefElement& element : dialogs::ReadDefinition(in.lines, in.fields).elements)
    std::visit(writer, element);
  writer.Finish();
  layout.listBox = dialogs::ListBoxLayout(in, sources);
  for (const JobIcon& icon : job.icons)
    layout.icons.push_back({icon.name, icon.data, icon.width, icon.height});
  layout.buttons = ButtonsOf(job);
  return layout;
}

std::variant<DialogLayout, DialogRefusal> OpenDialogLayout(ServerContext& server,
                                                           const DialogCaller& caller) {
  OpenedDialog d = OpenDialog(server, caller, false);
  if (d.refusal) return std::move(*d.refusal);
  const ServerConfig& config = *server.config;
  if (d.tclFile) {
    // Tk code of the job's own cannot be turned into a layout.
    LogMessage(config, "%s@%s - dialog of job \"%s\" is a Tcl file and has no layout",
               d.user.c_str(), d.node.c_str(), d.job.c_str());
    ReleaseDialogPreload(server, d);
    return DialogRefusal{DialogRefusalKind::TclFile,
                         "The dialog of job " + d.job + " can only be shown by the Tk client"};
  }
  const DialogSources sources{DialogListBoxRows(server), MenuJobsOf(config)};
  return BuildDialogLayout(config,
                           DialogInput{*d.definition, d.fields, d.lines, d.arguments, d.node,
                                       d.clientProcessId, d.user, d.environment.entries()},
                           sources);
}

}  // namespace kestrun
