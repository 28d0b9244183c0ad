// Each definition line is read with one blank appended, so that every row
// ends in a blank: a marker at the end of a line is then still "followed by a
// blank", and the trailing label of a row always exists.
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

// The label being collected on a row.
struct PendingLabel {
  bool open = false;
  int32_t number = 0;
  int32_t width = 0;  // characters taken from the row, blanks included
  std::string text;   // as written
};

struct Row {
  std::string path;  // R
  char anchor = 'w';
  bool fieldSeen = false;
  int32_t buttonIndex = 0;
  PendingLabel label;
  void ToggleAnchor() { anchor = anchor == 'w' ? 'e' : 'w'; }
};

class DefinitionWriter {
 public:
  DefinitionWriter(std::string& out, const std::vector<FieldDefinition>& fields)
      : out_(out), fields_(fields) {}

  void Read(std::string_view line);
  DefinitionResult Finish();

 private:
  void TabLine(std::string_view text);
  void FrameStart(std::string_view text);
  void ReadRow(std::string_view text);
  size_t ReadButton(Row& row, std::string_view text, size_t i);
  void CloseLabelBeforeButton(Row& row);
  void WriteRadioButton(const Row& row, const std::string& frame, std::string_view caption,
                        int32_t frameWidth, bool set);
  void WriteCheckButton(const Row& row, const std::string& frame, std::string_view caption,
                        int32_t frameWidth, bool set);
  void CloseField(Row& row, bool brace, int32_t width, bool password);
  void OpenLabel(Row& row);
  void CloseLabel(Row& row, std::string_view ending, std::string_view pack);
  void WritePackList();
  // The definition of the field being read (nullptr past the list); Consume
  // moves to the next one.
  const FieldDefinition* Current() const {
    return next_ < fields_.size() ? &fields_[next_] : nullptr;
  }
  void Consume() { ++next_; }

  std::string& out_;
  const std::vector<FieldDefinition>& fields_;
  size_t next_ = 0;
  int32_t line_ = 0, page_ = 0, container_ = 0, label_ = 0, radio_ = 0;
  int32_t openFrame_ = 0;  // container number of the open labelled frame, 0 for none
  int32_t lastRadioContainer_ = -1;
  int32_t groupSetField_ = 0;  // the set radio button of the current group
  std::vector<PackEntry> pack_;
  DefinitionResult result_;
};

void DefinitionWriter::Read(std::string_view line) {
  ++line_;
  std::string text(line);
  text.push_back(' ');
  if (!line.empty() && line[0] == '>') {
    TabLine(text);
  } else if (line == "-" && openFrame_ != 0) {
    openFrame_ = 0;
  } else if (line.size() >= 2 && line[0] == '-') {
    FrameStart(text);
  } else {
    ReadRow(text);
  }
}

void DefinitionWriter::TabLine(std::string_view text) {
  WritePackList();
  if (!result_.sawTab) Line(out_, "ttk::notebook .c.m.nb");
  result_.sawTab = true;
  ++page_;
  ++container_;
  Line(out_, "set p \".c.m.nb.p", page_, "\"");
  Line(out_, "ttk::frame $p");
  Line(out_, ".c.m.nb add $p -text \"", Written{TrimLeadingBlanks(text.substr(1))},
       "\" -padding 3");
  openFrame_ = 0;
}

void DefinitionWriter::FrameStart(std::string_view text) {
  const int32_t c = ++container_;
  const Quoted title{TrimLeadingBlanks(text.substr(2))};
  Line(out_, "if {$platform == 1} {");
  Line(out_, "labelframe $p.lf", c, " -labelanchor nw -foreground $framecolour -text \"", title,
       "\"");
  Line(out_, "set cs", c, " \"lf", c, "\"");
  Line(out_, "} else {");
  Line(out_, "ttk::labelframe $p.lf", c, " -labelanchor nw -text \"", title, "\"");
  Line(out_, "set cs", c, " \"lf", c, "\"");
  Line(out_, "}");
  pack_.push_back({true, c});
  openFrame_ = c;
}

void DefinitionWriter::ReadRow(std::string_view text) {
  Row row;
  if (openFrame_ == 0) {
    row.path = "$p.top" + std::to_string(line_);
    pack_.push_back({false, line_});
  } else {
    row.path = "$p.$cs" + std::to_string(openFrame_) + ".top" + std::to_string(line_);
  }
  Line(out_, "ttk::frame ", row.path);

  bool inField = false, password = false;
  int32_t width = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inField) {
      if (c == ']' || c == '}') {
        CloseField(row, c == '}', width, password);
        inField = password = false;
      } else {
        ++width;
        if (c == '*') password = true;
      }
    } else if (c == '[' || c == '{') {
      ++result_.fieldCount;
      row.fieldSeen = true;
      if (row.label.open) {
        row.ToggleAnchor();
        CloseLabel(
            row,
            std::string("\" -width ") + std::to_string(row.label.width) + " -anchor " + row.anchor,
            " -side left");
      }
      inField = true;
      width = 2;
    } else if (IsMarker(text, i)) {
      i = ReadButton(row, text, i) - 1;
    } else {
      if (!row.label.open) OpenLabel(row);
      row.label.text.push_back(c);
      ++row.label.width;
    }
  }
  // A field left open by a missing "]" ends with its row, so that every
  // counted field has a widget.
  if (inField) CloseField(row, false, width, password);
  if (row.label.open) {
    if (row.fieldSeen) row.ToggleAnchor();
    const char anchor = row.fieldSeen ? row.anchor : 'w';
    CloseLabel(row,
               std::string("\" -width ") + std::to_string(row.label.width) + " -anchor n" + anchor,
               " -pady 3 -side left");
  }
  if (openFrame_ != 0) Line(out_, "pack ", row.path, " -fill x -pady 0");
}

void DefinitionWriter::OpenLabel(Row& row) {
  row.label = PendingLabel{true, ++label_, 0, {}};
}

void DefinitionWriter::CloseLabel(Row& row, std::string_view ending, std::string_view pack) {
  Line(out_, "ttk::label ", row.path, ".label", row.label.number, " -font Kestrun -text \"",
       Written{TrimTrailingBlanks(row.label.text)}, ending);
  Line(out_, "pack ", row.path, ".label", row.label.number, pack);
  row.label = PendingLabel{};
}

void DefinitionWriter::CloseField(Row& row, bool brace, int32_t width, bool password) {
  const FieldDefinition* d = Current();
  const int32_t n = result_.fieldCount;
  const std::string path = row.path + ".entry" + std::to_string(n);
  const bool enabled = d == nullptr || d->enabled;
  if (brace || (d != nullptr && d->values.size() >= 2)) {
    const bool hasChoices = d != nullptr && !d->values.empty();
    if (hasChoices) {
      out_ += "set values [ list ";
      for (const FieldDefinition& choice : d->values)
        Append(out_, "\\\n\"", Quoted{choice.value}, "\" ");
      out_ += "]\n";
    }
    Line(out_, "ttk::combobox ", path, " -width ", width, " -textvariable name", n, " -state ",
         enabled ? "readonly" : "disabled", " -font Kestrun ", hasChoices ? "-values $values" : "");
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
    result_.records.push_back({page_, n, WidgetType::Combobox, path});
  } else {
    row.ToggleAnchor();
    Line(out_, "ttk::entry ", path, " -font Kestrun -textvariable name", n, " -width ", width, " ",
         password ? "-show \"*\"" : "", " -state ", enabled ? "normal" : "disabled");
    Line(out_, "pack ", path, " -padx 6 -side left -anchor n", row.anchor);
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
    result_.records.push_back({page_, n, WidgetType::Entry, path});
  }
  Consume();
}

// A label before a button closes first; one of blanks only is dropped.
void DefinitionWriter::CloseLabelBeforeButton(Row& row) {
  if (!row.label.open) return;
  if (TrimTrailingBlanks(TrimLeadingBlanks(row.label.text)).empty()) {
    row.label = PendingLabel{};
    return;
  }
  row.ToggleAnchor();
  CloseLabel(row,
             std::string("\" -font Kestrun -width ") + std::to_string(row.label.width) +
                 " -anchor n" + row.anchor,
             " -pady 3 -side left");
}

// Reads the button whose marker is at text[i]; returns where reading goes on.
// The caption runs from the first non-blank after the marker to the next
// field or marker.
size_t DefinitionWriter::ReadButton(Row& row, std::string_view text, size_t i) {
  ++result_.fieldCount;
  const int32_t k = ++row.buttonIndex;
  row.fieldSeen = true;
  CloseLabelBeforeButton(row);
  const char marker = text[i];
  size_t start = i + 1;
  while (start < text.size() && IsBlank(text[start])) ++start;
  size_t stop = start;
  while (stop < text.size() && text[stop] != '[' && text[stop] != '{' && !IsMarker(text, stop))
    ++stop;
  const std::string_view caption = TrimTrailingBlanks(text.substr(start, stop - start));
  const int32_t frameWidth = static_cast<int32_t>(6 * (stop - i) + 17);
  row.ToggleAnchor();

  const bool set = ButtonIsSet(Current(), marker == 'O' || marker == 'X');
  const std::string frame = row.path + ".cbf" + std::to_string(k);
  if (marker == 'o' || marker == 'O') {
    WriteRadioButton(row, frame, caption, frameWidth, set);
  } else {
    WriteCheckButton(row, frame, caption, frameWidth, set);
  }
  Consume();
  return stop;
}

// The first radio button of a container opens a new group and starts set.
void DefinitionWriter::WriteRadioButton(const Row& row, const std::string& frame,
                                        std::string_view caption, int32_t frameWidth, bool set) {
  const FieldDefinition* d = Current();
  const int32_t n = result_.fieldCount;
  const std::string_view state = d != nullptr && !d->enabled ? "-state disabled" : "";
  const bool newGroup = container_ != lastRadioContainer_;
  lastRadioContainer_ = container_;
  if (newGroup) ++result_.radioGroups;
  const int32_t group = result_.radioGroups;
  const bool isSet = set || newGroup;
  // A later button of the group that starts set takes over from the one
  // set before it, so that the client never reads two set buttons.
  if (isSet && !newGroup && groupSetField_ != 0) Line(out_, "set name", groupSetField_, " \"0\"");
  if (isSet) groupSetField_ = n;
  const std::string path = frame + ".rb" + std::to_string(++radio_);
  Line(out_, "ttk::frame ", frame, " -width ", frameWidth, " -height 19");
  Line(out_, "pack propagate ", frame, " off");
  Line(out_, "ttk::radiobutton ", path, " -variable bgrp", group, " ", state, " -value name", n,
       " -text \" ", Written{caption}, "\"");
  Line(out_, "pack ", path, " -side left -anchor n -padx 3 -pady 0");
  Line(out_, "pack ", frame, " -anchor n -side left -padx 3 -pady 0");
  Line(out_, "set name", n, " \"", isSet ? 1 : 0, "\"");
  if (isSet) Line(out_, "set bgrp", group, " name", n);
  if (d != nullptr && !d->updates.empty()) {
    Line(out_, "bind ", path, " <ButtonRelease-1> {update idletasks");
    Line(out_, "rbc ", n, " 1", Targets{d});
    Line(out_, "}");
  } else {
    Line(out_, "bind ", path, " <ButtonRelease-1> {rbc ", n, " 0}");
  }
  Line(out_, "set bgroup(", n, ") ", group);
  result_.records.push_back({page_, n, WidgetType::Radio, path});
  result_.radioFields.push_back(n);
}

void DefinitionWriter::WriteCheckButton(const Row& row, const std::string& frame,
                                        std::string_view caption, int32_t frameWidth, bool set) {
  const FieldDefinition* d = Current();
  const int32_t n = result_.fieldCount;
  const std::string_view state = d != nullptr && !d->enabled ? "-state disabled" : "";
  const std::string path = frame + ".cb" + std::to_string(radio_);
  Line(out_, "ttk::frame ", frame, " -width ", frameWidth, " -height 19");
  Line(out_, "pack propagate ", frame, " off");
  Line(out_, "ttk::checkbutton ", path, " -variable name", n, " ", state, " -text \" ",
       Written{caption}, "\"");
  Line(out_, "pack ", path, " -side left -anchor n -padx 3 -pady 0");
  Line(out_, "pack ", frame, " -side left -anchor n -padx 3 -pady 0");
  Line(out_, "set name", n, " ", set ? 1 : 0);
  if (d != nullptr && !d->updates.empty()) {
    Line(out_, "bind ", path, " <ButtonRelease-1> {update idletasks");
    Line(out_, "bbc ", n, Targets{d});
    Line(out_, "}");
  }
  result_.records.push_back({page_, n, WidgetType::Check, path});
}

void DefinitionWriter::WritePackList() {
  for (const PackEntry& e : pack_) {
    if (e.frame) {
      Line(out_, "pack $p.lf", e.number, " -anchor n -fill x -pady 10 -ipady 4 -expand 1");
    } else {
      Line(out_, "pack $p.top", e.number, " -anchor n -fill x -pady 0 -expand 0");
    }
  }
  pack_.clear();
}

DefinitionResult DefinitionWriter::Finish() {
  WritePackList();
  return std::move(result_);
}

}  // namespace

DefinitionResult AppendDefinition(std::string& out, const std::vector<std::string>& lines,
                                  const std::vector<FieldDefinition>& fields) {
  Line(out, "set p \".c.m\"");
  DefinitionWriter writer(out, fields);
  if (lines.empty()) writer.Read("");  // an empty definition is one empty row
  for (const std::string& line : lines) writer.Read(line);
  return writer.Finish();
}

}  // namespace kestrun::dialogs
