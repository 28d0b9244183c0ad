// Each definition line is read with one blank appended, so that every row
// ends in a blank: a marker at the end of a line is then still "followed by a
// blank", and the trailing label of a row always exists.
//
// The reader decides; the Tk writer below only turns what was read into
// script lines, in reading order.
#include "dialogs/definition.h"

#include "dialogs/script_text.h"

namespace kestrun::dialogs {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// "o", "O", "x" or "X" standing alone: at the start or after a blank, and
// followed by a blank or the end.
bool IsMarker(std::string_view row, size_t i) {
  const char c = row[i];
  if (c != 'o' && c != 'O' && c != 'x' && c != 'X') return false;
  if (i > 0 && !IsBlank(row[i - 1])) return false;
  return i + 1 == row.size() || IsBlank(row[i + 1]);
}

std::string_view TrimLeadingBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}
std::string_view TrimTrailingBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithOne(const std::string& s) {
  return !s.empty() && s[0] == '1';
}

// Whether a button starts out set.
bool ButtonIsSet(const FieldDefinition* d, bool upperCaseMarker) {
  if (d == nullptr) return upperCaseMarker;
  if (d->values.empty()) return d->value.empty() ? upperCaseMarker : StartsWithOne(d->value);
  if (d->values.size() == 1)
    return StartsWithOne(d->values[0].value) && (d->value.empty() || StartsWithOne(d->value));
  return upperCaseMarker;
}

int32_t Count(size_t n) {
  return static_cast<int32_t>(n);
}

// The label being collected on a row.
struct PendingLabel {
  bool open = false;
  int32_t number = 0;
  int32_t column = 0;
  int32_t width = 0;  // characters taken from the row, blanks included
  std::string text;   // as written
};

struct RowState {
  char anchor = 'w';
  bool fieldSeen = false;
  int32_t buttonIndex = 0;
  PendingLabel label;
  void ToggleAnchor() { anchor = anchor == 'w' ? 'e' : 'w'; }
};

class DefinitionReader {
 public:
  explicit DefinitionReader(const std::vector<FieldDefinition>& fields) : fields_(fields) {}

  void Read(std::string_view line);
  Definition Finish() { return std::move(def_); }

 private:
  void ReadRow(std::string_view text);
  size_t ReadButton(DefRow& row, RowState& state, std::string_view text, size_t i);
  void CloseLabel(DefRow& row, RowState& state, DefLabel::Ending ending, char anchor);
  void CloseField(DefRow& row, RowState& state, bool brace, int32_t column, int32_t width,
                  bool password);
  // The definition of the field being read (nullptr past the list); Consume
  // moves to the next one.
  const FieldDefinition* Current() const {
    return next_ < fields_.size() ? &fields_[next_] : nullptr;
  }
  void Consume() { ++next_; }

  const std::vector<FieldDefinition>& fields_;
  size_t next_ = 0;
  int32_t line_ = 0, page_ = 0, container_ = 0, label_ = 0, radio_ = 0;
  int32_t openFrame_ = 0;  // container number of the open labelled frame, 0 for none
  int32_t lastRadioContainer_ = -1;
  int32_t groupSetField_ = 0;  // the set radio button of the current group
  Definition def_;
};

void DefinitionReader::Read(std::string_view line) {
  ++line_;
  std::string text(line);
  text.push_back(' ');
  if (!line.empty() && line[0] == '>') {
    def_.sawTab = true;
    ++page_;
    ++container_;
    def_.elements.emplace_back(std::in_place_type<DefTab>, page_,
                               std::string(TrimLeadingBlanks(text.substr(1))));
    openFrame_ = 0;
  } else if (line == "-" && openFrame_ != 0) {
    openFrame_ = 0;
  } else if (line.size() >= 2 && line[0] == '-') {
    openFrame_ = ++container_;
    def_.elements.emplace_back(std::in_place_type<DefFrame>, container_, page_,
                               std::string(TrimLeadingBlanks(text.substr(2))));
  } else {
    ReadRow(text);
  }
}

void DefinitionReader::ReadRow(std::string_view text) {
  DefRow row{line_, page_, openFrame_, {}};
  RowState state;
  bool inField = false, password = false;
  int32_t width = 0, fieldColumn = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inField) {
      if (c == ']' || c == '}') {
        CloseField(row, state, c == '}', fieldColumn, width, password);
        inField = password = false;
      } else {
        ++width;
        if (c == '*') password = true;
      }
    } else if (c == '[' || c == '{') {
      ++def_.fieldCount;
      state.fieldSeen = true;
      if (state.label.open) {
        state.ToggleAnchor();
        CloseLabel(row, state, DefLabel::Ending::BeforeField, state.anchor);
      }
      inField = true;
      width = 2;
      fieldColumn = Count(i);
    } else if (IsMarker(text, i)) {
      i = ReadButton(row, state, text, i) - 1;
    } else {
      if (!state.label.open) state.label = PendingLabel{true, ++label_, Count(i), 0, {}};
      state.label.text.push_back(c);
      ++state.label.width;
    }
  }
  // A field left open by a missing "]" ends with its row, so that every
  // counted field has a widget.
  if (inField) CloseField(row, state, false, fieldColumn, width, password);
  if (state.label.open) {
    if (state.fieldSeen) state.ToggleAnchor();
    CloseLabel(row, state, DefLabel::Ending::RowEnd, state.fieldSeen ? state.anchor : 'w');
  }
  def_.elements.emplace_back(std::in_place_type<DefRow>, std::move(row));
}

void DefinitionReader::CloseLabel(DefRow& row, RowState& state, DefLabel::Ending ending,
                                  char anchor) {
  const PendingLabel& l = state.label;
  DefLabel label{l.number, std::string(TrimTrailingBlanks(l.text)), l.column, l.width, anchor,
                 ending};
  row.items.emplace_back(std::in_place_type<DefLabel>, std::move(label));
  state.label = PendingLabel{};
}

void DefinitionReader::CloseField(DefRow& row, RowState& state, bool brace, int32_t column,
                                  int32_t width, bool password) {
  const FieldDefinition* d = Current();
  DefField field{def_.fieldCount, false, password, column, width, 'w', d};
  field.combobox = brace || (d != nullptr && d->values.size() >= 2);
  if (!field.combobox) {
    state.ToggleAnchor();
    field.anchor = state.anchor;
  }
  row.items.emplace_back(std::in_place_type<DefField>, field);
  Consume();
}

// Reads the button whose marker is at text[i]; returns where reading goes on.
// The caption runs from the first non-blank after the marker to the next
// field or marker. A label before it closes first; one of blanks only is
// dropped.
size_t DefinitionReader::ReadButton(DefRow& row, RowState& state, std::string_view text, size_t i) {
  ++def_.fieldCount;
  DefButton b;
  b.number = def_.fieldCount;
  b.index = ++state.buttonIndex;
  b.column = Count(i);
  b.definition = Current();
  state.fieldSeen = true;
  if (state.label.open) {
    if (TrimTrailingBlanks(TrimLeadingBlanks(state.label.text)).empty()) {
      state.label = PendingLabel{};
    } else {
      state.ToggleAnchor();
      CloseLabel(row, state, DefLabel::Ending::BeforeButton, state.anchor);
    }
  }
  const char marker = text[i];
  size_t start = i + 1;
  while (start < text.size() && IsBlank(text[start])) ++start;
  size_t stop = start;
  while (stop < text.size() && text[stop] != '[' && text[stop] != '{' && !IsMarker(text, stop))
    ++stop;
  b.caption = TrimTrailingBlanks(text.substr(start, stop - start));
  b.characters = Count(stop - i);
  state.ToggleAnchor();
  b.set = ButtonIsSet(b.definition, marker == 'O' || marker == 'X');
  b.radio = marker == 'o' || marker == 'O';
  if (b.radio) {
    // The first radio button of a container opens a new group and starts
    // set; a later button of the group that starts set takes over from the
    // one set before it, so that the client never reads two set buttons.
    b.newGroup = container_ != lastRadioContainer_;
    lastRadioContainer_ = container_;
    if (b.newGroup) ++def_.radioGroups;
    b.group = def_.radioGroups;
    b.set = b.set || b.newGroup;
    if (b.set && !b.newGroup && groupSetField_ != 0) b.unsets = groupSetField_;
    if (b.set) groupSetField_ = b.number;
    b.radioNumber = ++radio_;
  } else {
    b.radioNumber = radio_;
  }
  row.items.emplace_back(std::in_place_type<DefButton>, std::move(b));
  Consume();
  return stop;
}

// The Tk writer.

struct Targets {
  const FieldDefinition* d;
};
void Put(std::string& out, Targets t) {
  if (t.d == nullptr) return;
  for (const FieldUpdate& u : t.d->updates) {
    if (u.target < 1) {
      out += " \"LB\"";
    } else {
      out.push_back(' ');
      dialogs::Put(out, u.target);
    }
  }
}

struct PackEntry {
  bool frame = false;
  int32_t number = 0;  // line number of a row, container number of a frame
};

class TkDefinitionWriter {
 public:
  explicit TkDefinitionWriter(std::string& out) : out_(out) {}

  void operator()(const DefTab& tab);
  void operator()(const DefFrame& frame);
  void operator()(const DefRow& row);
  DefinitionResult Finish(const Definition& def);

 private:
  void WriteLabel(const std::string& path, const DefLabel& label);
  void WriteField(const std::string& path, int32_t page, const DefField& field);
  void WriteButton(const std::string& path, int32_t page, const DefButton& button);
  void WritePackList();

  std::string& out_;
  bool sawTab_ = false;
  std::vector<PackEntry> pack_;
  DefinitionResult result_;
};

void TkDefinitionWriter::operator()(const DefTab& tab) {
  WritePackList();
  if (!sawTab_) Line(out_, "ttk::notebook .c.m.nb");
  sawTab_ = true;
  Line(out_, "set p \".c.m.nb.p", tab.page, "\"");
  Line(out_, "ttk::frame $p");
  Line(out_, ".c.m.nb add $p -text \"", Written{tab.title}, "\" -padding 3");
}

void TkDefinitionWriter::operator()(const DefFrame& frame) {
  const int32_t c = frame.container;
  const Quoted title{frame.title};
  Line(out_, "if {$platform == 1} {");
  Line(out_, "labelframe $p.lf", c, " -labelanchor nw -foreground $framecolour -text \"", title,
       "\"");
  Line(out_, "set cs", c, " \"lf", c, "\"");
  Line(out_, "} else {");
  Line(out_, "ttk::labelframe $p.lf", c, " -labelanchor nw -text \"", title, "\"");
  Line(out_, "set cs", c, " \"lf", c, "\"");
  Line(out_, "}");
  pack_.push_back({true, c});
}

void TkDefinitionWriter::operator()(const DefRow& row) {
  std::string path;
  if (row.frame == 0) {
    path = "$p.top" + std::to_string(row.line);
    pack_.push_back({false, row.line});
  } else {
    path = "$p.$cs" + std::to_string(row.frame) + ".top" + std::to_string(row.line);
  }
  Line(out_, "ttk::frame ", path);
  for (const DefItem& item : row.items) {
    if (const auto* label = std::get_if<DefLabel>(&item)) WriteLabel(path, *label);
    if (const auto* field = std::get_if<DefField>(&item)) WriteField(path, row.page, *field);
    if (const auto* button = std::get_if<DefButton>(&item)) WriteButton(path, row.page, *button);
  }
  if (row.frame != 0) Line(out_, "pack ", path, " -fill x -pady 0");
}

void TkDefinitionWriter::WriteLabel(const std::string& path, const DefLabel& label) {
  Append(out_, "ttk::label ", path, ".label", label.number, " -font Kestrun -text \"",
         Written{label.text}, "\"");
  switch (label.ending) {
    case DefLabel::Ending::BeforeField:
      Line(out_, " -width ", label.width, " -anchor ", label.anchor);
      Line(out_, "pack ", path, ".label", label.number, " -side left");
      break;
    case DefLabel::Ending::BeforeButton:
      Line(out_, " -font Kestrun -width ", label.width, " -anchor n", label.anchor);
      Line(out_, "pack ", path, ".label", label.number, " -pady 3 -side left");
      break;
    case DefLabel::Ending::RowEnd:
      Line(out_, " -width ", label.width, " -anchor n", label.anchor);
      Line(out_, "pack ", path, ".label", label.number, " -pady 3 -side left");
      break;
  }
}

void TkDefinitionWriter::WriteField(const std::string& row, int32_t page, const DefField& field) {
  const FieldDefinition* d = field.definition;
  const int32_t n = field.number;
  const std::string path = row + ".entry" + std::to_string(n);
  const bool enabled = d == nullptr || d->enabled;
  if (field.combobox) {
    const bool hasChoices = d != nullptr && !d->values.empty();
    if (hasChoices) {
      out_ += "set values [ list ";
      for (const FieldDefinition& choice : d->values)
        Append(out_, "\\\n\"", Quoted{choice.value}, "\" ");
      out_ += "]\n";
    }
    Line(out_, "ttk::combobox ", path, " -width ", field.width, " -textvariable name", n,
         " -state ", enabled ? "readonly" : "disabled", " -font Kestrun ",
         hasChoices ? "-values $values" : "");
    if (d != nullptr && !d->updates.empty()) {
      Line(out_, "bind ", path, " <<ComboboxSelected>> {");
      Line(out_, "update idletasks");
      Line(out_, "cbc ", n, Targets{d});
      Line(out_, "}");
    }
    if (hasChoices) {
      for (const FieldDefinition& choice : d->values) {
        if (choice.value == d->value) {
          Line(out_, "set name", n, " \"", Quoted{d->value}, "\"");
          break;
        }
      }
    }
    Line(out_, "pack ", path, " -padx 6 -side left -anchor n");
    result_.records.push_back({page, n, WidgetType::Combobox, path});
    return;
  }
  Line(out_, "ttk::entry ", path, " -font Kestrun -textvariable name", n, " -width ", field.width,
       " ", field.password ? "-show \"*\"" : "", " -state ", enabled ? "normal" : "disabled");
  Line(out_, "pack ", path, " -padx 6 -side left -anchor n", field.anchor);
  if (d != nullptr && d->values.empty() && !d->value.empty()) {
    Line(out_, "set name", n, " \"", Quoted{d->value}, "\"");
  } else if (d != nullptr && d->values.size() == 1) {
    const std::string& choice = d->values[0].value;
    const bool same = d->value.empty() || d->value == choice;
    Line(out_, "set name", n, " \"", Quoted{same ? std::string_view(choice) : ""}, "\"");
  }
  if (d != nullptr && !d->updates.empty()) {
    Line(out_, "bind ", path, " <KeyRelease> {update idletasks");
    Line(out_, "ebc ", n, Targets{d});
    Line(out_, "}");
  }
  result_.records.push_back({page, n, WidgetType::Entry, path});
}

void TkDefinitionWriter::WriteButton(const std::string& row, int32_t page, const DefButton& b) {
  const FieldDefinition* d = b.definition;
  const int32_t n = b.number;
  const std::string_view state = d != nullptr && !d->enabled ? "-state disabled" : "";
  const std::string frame = row + ".cbf" + std::to_string(b.index);
  const int32_t frameWidth = 6 * b.characters + 17;
  const std::string path = frame + (b.radio ? ".rb" : ".cb") + std::to_string(b.radioNumber);
  if (b.unsets != 0) Line(out_, "set name", b.unsets, " \"0\"");
  Line(out_, "ttk::frame ", frame, " -width ", frameWidth, " -height 19");
  Line(out_, "pack propagate ", frame, " off");
  if (b.radio) {
    Line(out_, "ttk::radiobutton ", path, " -variable bgrp", b.group, " ", state, " -value name", n,
         " -text \" ", Written{b.caption}, "\"");
    Line(out_, "pack ", path, " -side left -anchor n -padx 3 -pady 0");
    Line(out_, "pack ", frame, " -anchor n -side left -padx 3 -pady 0");
    Line(out_, "set name", n, " \"", b.set ? 1 : 0, "\"");
    if (b.set) Line(out_, "set bgrp", b.group, " name", n);
    if (d != nullptr && !d->updates.empty()) {
      Line(out_, "bind ", path, " <ButtonRelease-1> {update idletasks");
      Line(out_, "rbc ", n, " 1", Targets{d});
      Line(out_, "}");
    } else {
      Line(out_, "bind ", path, " <ButtonRelease-1> {rbc ", n, " 0}");
    }
    Line(out_, "set bgroup(", n, ") ", b.group);
    result_.records.push_back({page, n, WidgetType::Radio, path});
    result_.radioFields.push_back(n);
    return;
  }
  Line(out_, "ttk::checkbutton ", path, " -variable name", n, " ", state, " -text \" ",
       Written{b.caption}, "\"");
  Line(out_, "pack ", path, " -side left -anchor n -padx 3 -pady 0");
  Line(out_, "pack ", frame, " -side left -anchor n -padx 3 -pady 0");
  Line(out_, "set name", n, " ", b.set ? 1 : 0);
  if (d != nullptr && !d->updates.empty()) {
    Line(out_, "bind ", path, " <ButtonRelease-1> {update idletasks");
    Line(out_, "bbc ", n, Targets{d});
    Line(out_, "}");
  }
  result_.records.push_back({page, n, WidgetType::Check, path});
}

void TkDefinitionWriter::WritePackList() {
  for (const PackEntry& e : pack_) {
    if (e.frame) {
      Line(out_, "pack $p.lf", e.number, " -anchor n -fill x -pady 10 -ipady 4 -expand 1");
    } else {
      Line(out_, "pack $p.top", e.number, " -anchor n -fill x -pady 0 -expand 0");
    }
  }
  pack_.clear();
}

DefinitionResult TkDefinitionWriter::Finish(const Definition& def) {
  WritePackList();
  result_.fieldCount = def.fieldCount;
  result_.radioGroups = def.radioGroups;
  result_.sawTab = def.sawTab;
  return std::move(result_);
}

}  // namespace

Definition ReadDefinition(const std::vector<std::string>& lines,
                          const std::vector<FieldDefinition>& fields) {
  DefinitionReader reader(fields);
  if (lines.empty()) reader.Read("");  // an empty definition is one empty row
  for (const std::string& line : lines) reader.Read(line);
  return reader.Finish();
}

DefinitionResult AppendDefinition(std::string& out, const Definition& definition) {
  Line(out, "set p \".c.m\"");
  TkDefinitionWriter writer(out);
  for (const DefElement& element : definition.elements) std::visit(writer, element);
  return writer.Finish(definition);
}

}  // namespace kestrun::dialogs
