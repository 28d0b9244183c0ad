// The directives of a job stanza: one table of whole keys, then the keys
// recognised by their beginning (and end), in a fixed order.
#include <unordered_map>

#include "base/log.h"
#include "base/text.h"
#include "config/config_reader.h"
#include "config/gif.h"
#include "config/server_config.h"

namespace kestrun {

namespace {

using Apply = void (*)(ConfigReader&, const Directive&);

struct Rule {
  std::string_view key;  // lower case
  bool job;              // makes the stanza a job for the client-directive check
  Apply apply;
};

FieldDefinition ValueEntry(std::string value) {
  FieldDefinition entry;
  entry.value = std::move(value);
  return entry;
}

bool IsList(std::string_view value) {
  return !value.empty() && value.front() == '{';
}

void SetOnOff(bool& flag, std::string_view word) {
  if (std::optional<bool> on = ParseOnOff(word)) flag = *on;
}

// "on"/"yes" 1, "off"/"no" 0; other words leave the value.
template <typename T>
void SetOnOffValue(T& target, std::string_view word) {
  if (std::optional<bool> on = ParseOnOff(word)) target = static_cast<T>(*on ? 1 : 0);
}

void NumberWarning(ConfigReader& r, const char* option) {
  r.Warning(
      StringPrintf("WARNING: invalid value for \"%s\" option at line %d of kestrun.conf\n", option,
                   r.line()),
      StringPrintf("Invalid value for \"%s\" option at line %d of kestrun.conf", option, r.line()));
}

// Sets a number whose 0 draws a warning (the value is stored all the same).
void SetCheckedNumber(ConfigReader& r, const Directive& d, int32_t& target, const char* option) {
  target = ParseNumber(d.value);
  if (target == 0) NumberWarning(r, option);
}

// The text after a stream value's "filechooser:" or "file:", taken from the
// unexpanded value when it has the same form.
std::string StreamArgument(const Directive& d, std::string_view form) {
  if (StartsWithNoCase(d.raw, form)) return std::string(d.raw.substr(form.size()));
  return d.value.substr(std::min(form.size(), d.value.size()));
}

void SetStream(ConfigReader& r, const Directive& d, StreamMode& mode, std::string& arg,
               const char* stream, bool onlyFiles) {
  std::optional<StreamMode> m;
  std::string argument;
  const std::string& v = d.value;
  if (!onlyFiles && EqualsNoCase(v, "discard")) {
    m = StreamMode::Discard;
  } else if (!onlyFiles && EqualsNoCase(v, "display")) {
    m = StreamMode::Display;
  } else if (!onlyFiles && EqualsNoCase(v, "popup")) {
    m = StreamMode::Popup;
  } else if (!onlyFiles && EqualsNoCase(v, "report")) {
    m = StreamMode::Report;
  } else if (StartsWithNoCase(v, "filechooser")) {
    m = StreamMode::FileChooser;
    if (v.size() > 11 && v[11] == ':') argument = StreamArgument(d, "filechooser:");
  } else if (StartsWithNoCase(v, "file:")) {
    m = StreamMode::File;
    argument = StreamArgument(d, "file:");
  }
  if (!m) {
    r.Warning(StringPrintf("WARNING: invalid %s display option \"%s\" at line %d of kestrun.conf\n",
                           stream, v.c_str(), r.line()),
              StringPrintf("Invalid %s display option \"%s\" at line %d of kestrun.conf", stream,
                           v.c_str(), r.line()));
    return;
  }
  mode = *m;
  arg = std::move(argument);
}

// A list value sets `list` in order, replacing entries and appending the rest;
// anything else sets `text`.
void SetColumns(const Directive& d, std::vector<FieldDefinition>& list, std::string& text) {
  if (!IsList(d.value)) {
    text = d.value;
    return;
  }
  const std::vector<std::string> items = SplitList(RemoveFirstAndLast(d.value));
  for (size_t k = 0; k < items.size(); ++k) {
    if (k < list.size())
      list[k].value = items[k];
    else
      list.push_back(ValueEntry(items[k]));
  }
}

// A field number from the reference `ref`, or 0 when it names no field.
int32_t FieldNumber(ConfigReader& r, std::string_view ref) {
  const int32_t k = ResolveFieldReference(r.job().fieldNames, ref);
  return (k >= 1 && k <= kMaxFieldNumber) ? k : 0;
}

void PopulateDialogWith(ConfigReader& r, const Directive& d) {
  JobDefinition& job = r.job();
  if (!IsList(d.value)) {
    job.populateDialogWith = d.value;
    return;
  }
  const std::vector<std::string> items = SplitList(RemoveFirstAndLast(d.value));
  for (size_t k = 0; k < items.size() && k < static_cast<size_t>(kMaxFieldNumber); ++k)
    FieldEntry(job, static_cast<int32_t>(k + 1)).value = items[k];
}

void PopulateFieldWith(ConfigReader& r, const Directive& d) {
  const std::string_view ref = d.key.substr(13, d.key.size() - 13 - 4);
  const int32_t k = FieldNumber(r, ref);
  JobDefinition& job = r.job();
  if (k == 0) {
    LogMessage(r.config(), "WARNING: Job %s, PopulateFieldWith - cannot find field \"%s\"",
               job.name.c_str(), std::string(ref).c_str());
    return;
  }
  FieldDefinition& field = FieldEntry(job, k);
  if (!IsList(d.value)) {
    field.populateCommand = d.value;
    return;
  }
  field.values.clear();
  for (std::string& item : SplitList(RemoveFirstAndLast(d.value)))
    field.values.push_back(ValueEntry(std::move(item)));
}

void OnFieldChangeUpdate(ConfigReader& r, const Directive& d) {
  const std::string_view ref = d.key.substr(13, d.key.size() - 13 - 6);
  const int32_t k = FieldNumber(r, ref);
  JobDefinition& job = r.job();
  if (k == 0) {
    LogMessage(r.config(), "WARNING: Job %s, OnFieldChange - cannot find field \"%s\"",
               job.name.c_str(), std::string(ref).c_str());
    return;
  }
  if (!IsList(d.raw)) return;
  for (const std::string& item : SplitList(RemoveFirstAndLast(d.raw))) {
    int32_t target = -1;
    if (item == "LB" || item == "LISTBOX")
      target = 0;
    else if (const int32_t t = ResolveFieldReference(job.fieldNames, item);
             t >= 1 && t <= kMaxFieldNumber)
      target = t;
    if (target >= 0) FieldEntry(job, k).updates.push_back(FieldUpdate{target});
  }
}

void Attribute(ConfigReader& r, const Directive& d) {
  const std::string name(d.key.substr(9));
  const std::string value(RemoveOuterBraces(d.value));
  for (JobAttribute& attribute : r.job().attributes)
    if (EqualsNoCase(attribute.name, name)) {
      attribute.value = value;
      return;
    }
  r.job().attributes.push_back(JobAttribute{name, value});
}

void OnRightClick(ConfigReader& r, const Directive& d) {
  const std::string_view context = d.key.substr(12);
  const std::vector<std::string> items = SplitList(RemoveOuterBraces(d.value));
  if (items.empty()) {
    r.job().rightClickMenu.push_back(MenuEntry{"", std::string(context)});
    return;
  }
  for (const std::string& item : items)
    r.job().rightClickMenu.push_back(MenuEntry{item, UpperCase(context)});
}

void Selection(ConfigReader& r, const Directive& d) {
  const std::string& v = d.value;
  if (EqualsNoCase(v, "multiple")) {
    r.job().selection = SelectionMode::Multiple;
  } else if (EqualsNoCase(v, "single")) {
    r.job().selection = SelectionMode::Single;
  } else if (EqualsNoCase(v, "none")) {
    r.job().selection = SelectionMode::None;
  } else {
    r.Warning(StringPrintf("WARNING: invalid \"selection\" option \"%s\" at line %d of "
                           "kestrun.conf\n",
                           v.c_str(), r.line()),
              StringPrintf("Invalid \"selection\" display option \"%s\" at line %d of "
                           "kestrun.conf",
                           v.c_str(), r.line()));
  }
}

void AutoStretch(ConfigReader& r, const Directive& d) {
  if (std::optional<bool> on = ParseOnOff(d.value)) {
    r.job().autoStretch = *on;
    return;
  }
  r.Warning(StringPrintf("WARNING: invalid \"autostretch\" option \"%s\" at line %d of "
                         "kestrun.conf\n",
                         d.value.c_str(), r.line()),
            StringPrintf("Invalid \"autostretch\" option \"%s\" at line %d of kestrun.conf\n",
                         d.value.c_str(), r.line()));
}

void AutoRefresh(ConfigReader& r, const Directive& d) {
  int32_t& refresh = r.job().autoRefresh;
  if (EqualsNoCase(d.value, "off")) {
    refresh = 0;
  } else if (EqualsNoCase(d.value, "on")) {
    refresh = 5;
  } else {
    refresh = ParseNumber(d.value);
    if (refresh <= 0) NumberWarning(r, "AutoRefresh");
  }
}

void AutoSelectValue(ConfigReader& r, const Directive& d) {
  std::string value;
  for (char c : RemoveOuterBraces(d.value))
    if (c != ' ' && c != '\t') value.push_back(c);
  r.job().autoSelectValue = std::move(value);
}

void SystemTray(ConfigReader& r, const Directive& d) {
  JobDefinition& job = r.job();
  job.systemTrayHold = false;
  if (EqualsNoCase(d.value, "hold")) {
    job.systemTray = true;
    job.systemTrayHold = true;
  } else {
    SetOnOff(job.systemTray, d.value);
  }
}

void ListBox(ConfigReader& r, const Directive& d) {
  if (EqualsNoCase(d.value, "auto"))
    r.job().listBox = ListBoxMode::Auto;
  else
    SetOnOffValue(r.job().listBox, d.value);
}

void PopulateListBox(ConfigReader& r, const Directive& d) {
  if (EqualsNoCase(d.value, "ondisplay")) {
    r.job().populateListBoxOn = 0;
  } else if (EqualsNoCase(d.value, "onapply")) {
    r.job().populateListBoxOn = 1;
    r.job().applyButton = true;
  }
}

void Param(ConfigReader& r, const Directive& d) {
  if (!IsList(d.raw)) {
    r.job().params.emplace_back(d.raw);
    return;
  }
  for (std::string& item : SplitList(RemoveFirstAndLast(d.raw)))
    r.job().params.push_back(std::move(item));
}

void ClientDirective(ConfigReader& r, const Directive&) {
  r.job().hasClientDirective = true;
}
void Ignored(ConfigReader&, const Directive&) {}

#define TEXT(key, field)                                                            \
  {                                                                                 \
    key, true, [](ConfigReader& r, const Directive& d) { r.job().field = d.value; } \
  }
#define ONOFF(key, field)                                                                    \
  {                                                                                          \
    key, true, [](ConfigReader& r, const Directive& d) { SetOnOff(r.job().field, d.value); } \
  }
#define NUMBER(key, field)                                                                       \
  {                                                                                              \
    key, true, [](ConfigReader& r, const Directive& d) { r.job().field = ParseNumber(d.value); } \
  }
#define CHECKED(key, isJob, field, option)                                                         \
  {                                                                                                \
    key, isJob,                                                                                    \
        [](ConfigReader& r, const Directive& d) { SetCheckedNumber(r, d, r.job().field, option); } \
  }
#define MASK(key, field, parse)                                                                  \
  {                                                                                              \
    key, false, [](ConfigReader& r, const Directive& d) { r.schedule().field = parse(d.value); } \
  }

const Rule kWholeKeys[] = {
    TEXT("program", program),
    ONOFF("usetty", useTty),
    ONOFF("allowstop", allowStop),
    TEXT("environment", environment),
    NUMBER("lockparameter", lockParameter),
    NUMBER("historyoutput", historyOutput),
    NUMBER("historydays", historyDays),
    NUMBER("historyruns", historyRuns),
    TEXT("allowifjobrunning", allowIfJobRunning),
    TEXT("denyifjobrunning", denyIfJobRunning),
    {"stdin", true,
     [](ConfigReader& r, const Directive& d) {
       SetStream(r, d, r.job().stdinMode, r.job().stdinArg, "stdin", true);
     }},
    {"stdout", true,
     [](ConfigReader& r, const Directive& d) {
       SetStream(r, d, r.job().stdoutMode, r.job().stdoutArg, "stdout", false);
     }},
    {"stderr", true,
     [](ConfigReader& r, const Directive& d) {
       SetStream(r, d, r.job().stderrMode, r.job().stderrArg, "stderr", false);
     }},
    TEXT("dialog", dialog),
    TEXT("dialogscript", dialogScript),
    TEXT("usetclfile", useTclFile),
    TEXT("title", title),
    TEXT("helptext", helpText),
    ONOFF("banner", banner),
    TEXT("bannergraphic", bannerGraphic),
    TEXT("bannerheading", bannerHeading),
    TEXT("bannertext", bannerText),
    ONOFF("applybutton", applyButton),
    TEXT("applybuttontext", applyButtonText),
    TEXT("okbuttontext", okButtonText),
    TEXT("cancelbuttontext", cancelButtonText),
    TEXT("preload", preload),
    TEXT("prevalidatewith", prevalidateWith),
    TEXT("validatewith", validateWith),
    {"populatewith", true, PopulateDialogWith},
    {"populatedialogwith", true, PopulateDialogWith},
    {"listbox", true, ListBox},
    TEXT("listboxscript", listBoxScript),
    TEXT("populatelistboxwith", listBoxScript),
    {"populatelistbox", true, PopulateListBox},
    {"columnnames", true,
     [](ConfigReader& r, const Directive& d) {
       SetColumns(d, r.job().columnNameList, r.job().columnNames);
     }},
    {"columnwidths", true,
     [](ConfigReader& r, const Directive& d) {
       SetColumns(d, r.job().columnWidthList, r.job().columnWidths);
     }},
    CHECKED("contextcolumn", false, contextColumn, "ContextColumn"),
    TEXT("onlistboxchangeupdate", onListBoxChangeUpdate),
    TEXT("onlbchangeupdate", onListBoxChangeUpdate),
    {"autostretch", true, AutoStretch},
    {"autorefresh", true, AutoRefresh},
    {"doubleclick", true,
     [](ConfigReader& r, const Directive& d) { SetOnOff(r.job().doubleClick, d.value); }},
    {"listboxicons", true,
     [](ConfigReader& r, const Directive& d) { SetOnOff(r.job().listBoxIcons, d.value); }},
    CHECKED("listboxheight", true, listBoxHeight, "ListBoxHeight"),
    CHECKED("listboxwidth", true, listBoxWidth, "ListBoxWidth"),
    CHECKED("autoselectcolumn", true, autoSelectColumn, "AutoSelectColumn"),
    {"systemtray", true, SystemTray},
    ONOFF("traymenu", trayMenu),
    {"notifyrungroup", true,
     [](ConfigReader& r, const Directive& d) {
       r.job().notifyRunGroup = std::string(RemoveOuterBraces(d.value));
     }},
    {"autorun", false,
     [](ConfigReader& r, const Directive& d) { SetOnOff(r.schedule().autorun, d.value); }},
    MASK("autorundays", days, ParseDayMask),
    MASK("autorunmonths", months, ParseMonthMask),
    MASK("autorundates", dates, ParseDateMask),
    {"autoruninterval", false,
     [](ConfigReader& r, const Directive& d) { r.schedule().interval = ParseNumber(d.value); }},
    {"autoruntimes", false,
     [](ConfigReader& r, const Directive& d) {
       r.schedule().times = d.value;
       r.schedule().timesLine = r.line();
     }},
    TEXT("autorunonsuccess", autoRunOnSuccess),
    TEXT("autorunonfailure", autoRunOnFailure),
    {"autorunstandardinput", true,
     [](ConfigReader& r, const Directive& d) {
       r.job().autoRunStandardInput = std::string(d.raw);
     }},
    NUMBER("autorunlogfiles", logFileRetention),
    NUMBER("logfileretention", logFileRetention),
    // Directives of the client tools and of the global part, accepted here.
    {"port", false, ClientDirective},
    {"clientport", false, ClientDirective},
    {"server", false, ClientDirective},
    {"relayserver", false, Ignored},
    {"relayport", false, Ignored},
};

#undef TEXT
#undef ONOFF
#undef NUMBER
#undef CHECKED
#undef MASK

const Rule* FindWholeKey(const std::string& lowerKey) {
  static const std::unordered_map<std::string_view, const Rule*> index = [] {
    std::unordered_map<std::string_view, const Rule*> map;
    for (const Rule& rule : kWholeKeys) map.emplace(rule.key, &rule);
    return map;
  }();
  const auto it = index.find(lowerKey);
  return it == index.end() ? nullptr : it->second;
}

bool StartsAndEnds(std::string_view key, std::string_view prefix, std::string_view suffix) {
  return key.size() >= prefix.size() + suffix.size() && key.starts_with(prefix) &&
         key.ends_with(suffix);
}

// Keys recognised by their beginning, checked in this order after the whole
// keys. Returns the rule, or null when none applies.
std::optional<Rule> FindPrefixKey(std::string_view k) {
  if (k.starts_with("param")) return Rule{"param", true, Param};
  if (k.starts_with("group"))
    return Rule{"group", false, [](ConfigReader& r, const Directive& d) {
                  r.job().group = std::string(RemoveOuterBraces(d.value));
                }};
  if (k.starts_with("fieldname")) return Rule{"fieldname", true, Ignored};  // first pass
  if (k.starts_with("listboxsep"))
    return Rule{"listboxsep", true,
                [](ConfigReader& r, const Directive& d) { r.job().listBoxSeparator = d.value; }};
  if (k.starts_with("onrightclick")) return Rule{"onrightclick", true, OnRightClick};
  if (k.starts_with("selection")) return Rule{"selection", false, Selection};
  if (k.starts_with("autosort"))
    return Rule{"autosort", true, [](ConfigReader& r, const Directive& d) {
                  SetCheckedNumber(r, d, r.job().autoSort, "AutoSort");
                }};
  if (k.starts_with("autoselectvalue")) return Rule{"autoselectvalue", true, AutoSelectValue};
  if (k.starts_with("icon"))
    return Rule{"icon", false, [](ConfigReader& r, const Directive& d) {
                  LoadIcon(r.config(), r.job(), d.key.substr(4), d.value);
                }};
  if (k.starts_with("attribute") && k.size() > 9) return Rule{"attribute", true, Attribute};
  if (StartsAndEnds(k, "populatefield", "with"))
    return Rule{"populatefield", true, PopulateFieldWith};
  if (StartsAndEnds(k, "onfieldchange", "update"))
    return Rule{"onfieldchange", true, OnFieldChangeUpdate};
  if (StartsAndEnds(k, "field", "name")) return Rule{"field", true, Ignored};  // first pass
  return std::nullopt;
}

}  // namespace

std::vector<std::string_view> StanzaDirectiveNames() {
  std::vector<std::string_view> names;
  for (const Rule& rule : kWholeKeys) names.push_back(rule.key);
  for (const std::string_view prefix :
       {"param", "group", "fieldname", "listboxsep", "onrightclick", "selection", "autosort",
        "autoselectvalue", "icon", "attribute", "populatefieldwith", "onfieldchangeupdate"})
    names.push_back(prefix);
  return names;
}

bool ApplyStanzaDirective(ConfigReader& reader, const Directive& d) {
  std::optional<Rule> rule;
  if (const Rule* whole = FindWholeKey(d.lowerKey))
    rule = *whole;
  else
    rule = FindPrefixKey(d.lowerKey);
  if (!rule) return false;
  if (rule->job) reader.job().hasJobDirective = true;
  rule->apply(reader, d);
  return true;
}

}  // namespace kestrun
