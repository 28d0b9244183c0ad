// The directives of a job stanza, with the exact values and messages of their
// edge cases.
#include <gtest/gtest.h>

#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

using testconf::LoadedHome;
using testconf::TempHome;

// A home whose first line names a log file in the home, so that every
// logged message can be read back.
struct LoggedHome {
  explicit LoggedHome(const std::string& text) : config(home.ConfPath()) {
    home.WriteConf("LogFile = " + home.File("k.log") + "\n" + text);
    printed = testconf::LoadCapturing(config);
  }
  const JobDefinition& Job(size_t k) const { return config.Snapshot()->jobs.at(k); }
  // The logged messages, without their time stamps.
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::istringstream in(home.Read("k.log"));
    for (std::string line; std::getline(in, line);)
      lines.push_back(line.size() >= 20 ? line.substr(20) : line);
    return lines;
  }

  TempHome home;
  ServerConfig config;
  testconf::Printed printed;
};

std::vector<std::string> Values(const std::vector<FieldDefinition>& list) {
  std::vector<std::string> out;
  for (const FieldDefinition& f : list) out.push_back(f.value);
  return out;
}

TEST(FieldNames, FirstPassNumbersNamesAcrossDirectivesOfABlock) {
  LoadedHome h("Copy:\nFieldNames = {Source,Dest}\nField2Name = Target\nFieldNames = Extra\n");
  EXPECT_EQ(h.Job(0).fieldNames.size(), 3u);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "${Target}"), 2);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "$TARGET"), 2);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "$Extra"), 3);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "$Missing"), 0);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "2"), 2);
  EXPECT_EQ(h.printed.out, "");
}

TEST(FieldNames, NamesKeepTheirBlanks) {
  LoadedHome h("Copy:\nFieldNames = {Source, Dest}\n");
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "$Dest"), 0);
  EXPECT_EQ(ResolveFieldReference(h.Job(0).fieldNames, "$Source"), 1);
  EXPECT_EQ(h.Job(0).fieldNames.at(1).name, " Dest");
}

TEST(FieldNames, AreUsableBeforeTheirLineAndOnlyByTheirOwnStanza) {
  LoadedHome h(
      "Copy:\nPopulateField${Source}With = {a,b}\nFieldNames = {Source}\n\nOther:\n"
      "PopulateField$SourceWith = {c}\n");
  ASSERT_EQ(h.Job(0).fields.size(), 1u);
  EXPECT_EQ(Values(h.Job(0).fields[0].values), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(h.Job(1).fields.empty());
}

TEST(FieldNames, BlocksWithTheSameHeaderShareNamesAndMatchJobsWithoutCase) {
  LoadedHome h("copy:\nFieldNames = {a}\n\ncopy:\nField2Name = b\n\nCOPY:\n");
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(ResolveFieldReference(h.Job(k).fieldNames, "$a"), 1) << k;
    EXPECT_EQ(ResolveFieldReference(h.Job(k).fieldNames, "$b"), 2) << k;
  }
}

TEST(FieldNames, BlankLineClosesTheBlock) {
  LoadedHome h("Copy:\n\nFieldNames = {a}\n");
  EXPECT_TRUE(h.Job(0).fieldNames.empty());
  EXPECT_EQ(h.printed.out, "Unknown directive \"FieldNames\" at line 3 of kestrun.conf\n");
}

TEST(Fields, PopulateFieldWithCommandOrList) {
  LoadedHome h("J:\nPopulateField3With = list.bat\nPopulateField1With = {x,,y,}\n");
  ASSERT_EQ(h.Job(0).fields.size(), 3u);
  EXPECT_EQ(h.Job(0).fields[2].populateCommand, "list.bat");
  EXPECT_EQ(Values(h.Job(0).fields[0].values), (std::vector<std::string>{"x", "", "y"}));
  EXPECT_TRUE(h.Job(0).fields[1].enabled);
  EXPECT_TRUE(h.Job(0).fields[1].values.empty());
}

TEST(Fields, UnknownFieldReferencesAreLoggedOnly) {
  LoggedHome h("J:\nPopulateField$NoneWith = x\nOnFieldChange$NoneUpdate = {1}\n");
  EXPECT_EQ(h.Log(), (std::vector<std::string>{
                         "WARNING: Job J, PopulateFieldWith - cannot find field \"$None\"",
                         "WARNING: Job J, OnFieldChange - cannot find field \"$None\""}));
  EXPECT_EQ(h.printed.err, "");
  EXPECT_TRUE(h.Job(0).fields.empty());
}

TEST(Fields, PopulateWithListSetsDefaultValuesInOrder) {
  LoadedHome h(
      "J:\nPopulateWith = {a,b,c}\nPopulateDialogWith = {z}\n\nK:\nPopulateWith = fill.sh\n");
  EXPECT_EQ(Values(h.Job(0).fields), (std::vector<std::string>{"z", "b", "c"}));
  EXPECT_EQ(h.Job(0).populateDialogWith, "");
  EXPECT_EQ(h.Job(1).populateDialogWith, "fill.sh");
}

TEST(Fields, OnFieldChangeUpdateTargets) {
  LoadedHome h(
      "J:\nFieldNames = {a,b}\nOnFieldChange1Update = {LB,$b,lb,LISTBOX,1000,0,3}\n"
      "OnFieldChange${a}Update = { 2}\nOnFieldChange2Update = 4\n");
  ASSERT_EQ(h.Job(0).fields.size(), 1u);
  std::vector<int32_t> targets;
  for (const FieldUpdate& u : h.Job(0).fields[0].updates) targets.push_back(u.target);
  EXPECT_EQ(targets, (std::vector<int32_t>{0, 2, 0, 3, 2}));
}

TEST(Fields, OnFieldChangeValueIsNotExpanded) {
  setenv("KES_DIRECTIVES_TWO", "2", 1);
  LoadedHome h("J:\nOnFieldChange1Update = {$KES_DIRECTIVES_TWO,3}\n");
  ASSERT_EQ(h.Job(0).fields.size(), 1u);
  ASSERT_EQ(h.Job(0).fields[0].updates.size(), 1u);
  EXPECT_EQ(h.Job(0).fields[0].updates[0].target, 3);
}

TEST(Fields, FieldNumbersAbove999AreRefused) {
  LoggedHome h("J:\nPopulateField1000With = x\n");
  EXPECT_TRUE(h.Job(0).fields.empty());
  EXPECT_EQ(
      h.Log(),
      (std::vector<std::string>{"WARNING: Job J, PopulateFieldWith - cannot find field \"1000\""}));
}

TEST(Streams, ModesAndArguments) {
  setenv("KES_DIRECTIVES_DIR", "/var", 1);
  LoadedHome h(
      "J:\nStdout = File:C:/out.txt\nStderr = FILECHOOSER:Pick $KES_DIRECTIVES_DIR\n"
      "Stdin = filechooser\n\nK:\nStdout = report\nStderr = Discard\nStdin = file:$X/in\n");
  EXPECT_EQ(h.Job(0).stdoutMode, StreamMode::File);
  EXPECT_EQ(h.Job(0).stdoutArg, "C:/out.txt");
  EXPECT_EQ(h.Job(0).stderrMode, StreamMode::FileChooser);
  EXPECT_EQ(h.Job(0).stderrArg, "Pick $KES_DIRECTIVES_DIR");
  EXPECT_EQ(h.Job(0).stdinMode, StreamMode::FileChooser);
  EXPECT_EQ(h.Job(0).stdinArg, "");
  EXPECT_EQ(h.Job(1).stdoutMode, StreamMode::Report);
  EXPECT_EQ(h.Job(1).stderrMode, StreamMode::Discard);
  EXPECT_EQ(h.Job(1).stdinMode, StreamMode::File);
  EXPECT_EQ(h.Job(1).stdinArg, "$X/in");
}

TEST(Streams, RejectedValuesWarnAndLeaveTheMode) {
  LoggedHome h("J:\nStdin = display\nStdout = loud\nStderr = filex\n");
  EXPECT_EQ(h.Job(0).stdinMode, StreamMode::Display);
  EXPECT_EQ(h.Job(0).stdoutMode, StreamMode::Display);
  EXPECT_EQ(h.Job(0).stderrMode, StreamMode::Popup);
  EXPECT_EQ(h.printed.err,
            "WARNING: invalid stdin display option \"display\" at line 3 of kestrun.conf\n"
            "WARNING: invalid stdout display option \"loud\" at line 4 of kestrun.conf\n"
            "WARNING: invalid stderr display option \"filex\" at line 5 of kestrun.conf\n");
  EXPECT_EQ(h.Log(), (std::vector<std::string>{
                         "Invalid stdin display option \"display\" at line 3 of kestrun.conf",
                         "Invalid stdout display option \"loud\" at line 4 of kestrun.conf",
                         "Invalid stderr display option \"filex\" at line 5 of kestrun.conf"}));
}

TEST(ListBox, NumbersThatDrawWarnings) {
  LoggedHome h(
      "J:\nContextColumn = 0\nAutoSort = x\nAutoRefresh = yes\nListBoxHeight = 0\n"
      "ListBoxWidth = 0\nAutoSelectColumn = none\n");
  const JobDefinition& j = h.Job(0);
  EXPECT_EQ(j.contextColumn, 0);
  EXPECT_EQ(j.autoRefresh, 0);
  EXPECT_EQ(h.printed.err,
            "WARNING: invalid value for \"ContextColumn\" option at line 3 of kestrun.conf\n"
            "WARNING: invalid value for \"AutoSort\" option at line 4 of kestrun.conf\n"
            "WARNING: invalid value for \"AutoRefresh\" option at line 5 of kestrun.conf\n"
            "WARNING: invalid value for \"ListBoxHeight\" option at line 6 of kestrun.conf\n"
            "WARNING: invalid value for \"ListBoxWidth\" option at line 7 of kestrun.conf\n"
            "WARNING: invalid value for \"AutoSelectColumn\" option at line 8 of kestrun.conf\n");
  EXPECT_EQ(h.Log().at(2), "Invalid value for \"AutoRefresh\" option at line 5 of kestrun.conf");
  EXPECT_EQ(h.Log().size(), 6u);
}

TEST(ListBox, AutoRefreshWords) {
  LoggedHome h(
      "J:\nAutoRefresh = on\n\nK:\nAutoRefresh = 30\nAutoRefresh = off\n\nL:\nAutoRefresh = -2\n");
  EXPECT_EQ(h.Job(0).autoRefresh, 5);
  EXPECT_EQ(h.Job(1).autoRefresh, 0);
  EXPECT_EQ(h.Job(2).autoRefresh, -2);
  EXPECT_EQ(h.printed.err,
            "WARNING: invalid value for \"AutoRefresh\" option at line 10 of kestrun.conf\n");
}

TEST(ListBox, WidthAboveZeroSwitchesAutoStretchOffAfterTheFile) {
  LoadedHome h("J:\nListBoxWidth = 300\nAutoStretch = yes\n\nK:\nAutoStretch = no\n");
  EXPECT_EQ(h.Job(0).listBoxWidth, 300);
  EXPECT_FALSE(h.Job(0).autoStretch);
  EXPECT_FALSE(h.Job(1).autoStretch);
}

TEST(ListBox, WordsOfSelectionAutoStretchAndModes) {
  LoggedHome h(
      "J:\nSelection = Single\nAutoStretch = maybe\nListBox = auto\nPopulateListBox = onapply\n"
      "\nK:\nSelectionMode = none\nSelection = some\nListBox = yes\nListBox = sometimes\n");
  EXPECT_EQ(h.Job(0).selection, SelectionMode::Single);
  EXPECT_TRUE(h.Job(0).autoStretch);
  EXPECT_EQ(h.Job(0).listBox, ListBoxMode::Auto);
  EXPECT_EQ(h.Job(0).populateListBoxOn, 1);
  EXPECT_TRUE(h.Job(0).applyButton);
  EXPECT_EQ(h.Job(1).selection, SelectionMode::None);
  EXPECT_EQ(h.Job(1).listBox, ListBoxMode::On);
  EXPECT_EQ(h.printed.err,
            "WARNING: invalid \"autostretch\" option \"maybe\" at line 4 of kestrun.conf\n"
            "WARNING: invalid \"selection\" option \"some\" at line 10 of kestrun.conf\n");
  EXPECT_EQ(h.Log(),
            (std::vector<std::string>{
                "Invalid \"autostretch\" option \"maybe\" at line 4 of kestrun.conf", "",
                "Invalid \"selection\" display option \"some\" at line 10 of kestrun.conf"}));
}

TEST(ListBox, ColumnsRightClickMenusAndSeparators) {
  LoadedHome h(
      "J:\nColumnNames = {Name,Size,Date}\nColumnNames = {File}\nColumnWidths = cols.sh\n"
      "OnRightClickEdit = {Open,Rename}\nOnRightClickView = {}\nListBoxSeparator = |\n"
      "AutoSelectValue = { a b\t c }\nOnLBChangeUpdate = 2\n");
  const JobDefinition& j = h.Job(0);
  EXPECT_EQ(Values(j.columnNameList), (std::vector<std::string>{"File", "Size", "Date"}));
  EXPECT_EQ(j.columnWidths, "cols.sh");
  ASSERT_EQ(j.rightClickMenu.size(), 3u);
  EXPECT_EQ(j.rightClickMenu[0].itemText, "Open");
  EXPECT_EQ(j.rightClickMenu[0].contextValue, "EDIT");
  EXPECT_EQ(j.rightClickMenu[1].itemText, "Rename");
  EXPECT_EQ(j.rightClickMenu[2].itemText, "");
  EXPECT_EQ(j.rightClickMenu[2].contextValue, "View");
  EXPECT_EQ(j.listBoxSeparator, "|");
  EXPECT_EQ(j.autoSelectValue, "abc");
  EXPECT_EQ(j.onListBoxChangeUpdate, "2");
}

TEST(Job, AttributesReplaceWithoutRegardToCase) {
  LoadedHome h(
      "J:\nAttributeOwner = {ops}\nattributeOWNER = dev\nAttributeColour = red\nAttribute = x\n");
  ASSERT_EQ(h.Job(0).attributes.size(), 2u);
  EXPECT_EQ(h.Job(0).attributes[0].name, "Owner");
  EXPECT_EQ(h.Job(0).attributes[0].value, "dev");
  EXPECT_EQ(*FindAttribute(h.Job(0), "COLOUR"), "red");
  EXPECT_EQ(h.printed.out, "Unknown directive \"Attribute\" at line 5 of kestrun.conf\n");
}

TEST(Job, GroupAndGroupProcessorInAStanza) {
  LoadedHome h("J:\nGroupProcessor = x.dll\n\nK:\nGroups = {Admins,Ops}\nLogFile = x\n");
  EXPECT_EQ(h.Job(0).group, "x.dll");
  EXPECT_EQ(h.Job(1).group, "Admins,Ops");
  EXPECT_EQ(h.config.groupProcessorPath(), "");
  EXPECT_EQ(h.printed.out, "Unknown directive \"LogFile\" at line 6 of kestrun.conf\n");
}

TEST(Job, SystemTrayHoldAndOnOffWords) {
  LoadedHome h(
      "J:\nSystemTray = hold\nTrayMenu = YES\nUseTty = off\nAllowStop = no\nBanner = on\n"
      "DoubleClick = yes\nListBoxIcons = on\nApplyButton = maybe\n\nK:\nSystemTray = hold\n"
      "SystemTray = on\n");
  EXPECT_TRUE(h.Job(0).systemTray);
  EXPECT_TRUE(h.Job(0).systemTrayHold);
  EXPECT_TRUE(h.Job(0).trayMenu);
  EXPECT_FALSE(h.Job(0).useTty);
  EXPECT_FALSE(h.Job(0).allowStop);
  EXPECT_TRUE(h.Job(0).banner);
  EXPECT_TRUE(h.Job(0).doubleClick);
  EXPECT_TRUE(h.Job(0).listBoxIcons);
  EXPECT_FALSE(h.Job(0).applyButton);
  EXPECT_TRUE(h.Job(1).systemTray);
  EXPECT_FALSE(h.Job(1).systemTrayHold);
}

TEST(Job, TextsAndNumbers) {
  LoadedHome h(
      "J:\nDialog = d.txt\nDialogScript = d.sh\nUseTclFile = t.tcl\nHelpText = help\n"
      "BannerGraphic = g.gif\nBannerHeading = H\nBannerText = T\nApplyButtonText = A\n"
      "OkButtonText = O\nCancelButtonText = C\nPreload = p\nPrevalidateWith = pv\n"
      "ValidateWith = v\nListBoxScript = lb\nPopulateListBoxWith = lb2\nNotifyRunGroup = {Ops}\n"
      "Environment = env\nLockParameter = 2\nAllowIfJobRunning = A:1\nDenyIfJobRunning = B\n"
      "AutoRunOnSuccess = {N1, N2}\nAutoRunOnFailure = F\nAutoRunStandardInput = $HOME/in\n"
      "AutoRunLogFiles = 7\nListBoxHeight = 12\n");
  const JobDefinition& j = h.Job(0);
  EXPECT_EQ(j.dialog, "d.txt");
  EXPECT_EQ(j.dialogScript, "d.sh");
  EXPECT_EQ(j.useTclFile, "t.tcl");
  EXPECT_EQ(j.helpText, "help");
  EXPECT_EQ(j.bannerGraphic, "g.gif");
  EXPECT_EQ(j.bannerHeading, "H");
  EXPECT_EQ(j.bannerText, "T");
  EXPECT_EQ(j.applyButtonText, "A");
  EXPECT_EQ(j.okButtonText, "O");
  EXPECT_EQ(j.cancelButtonText, "C");
  EXPECT_EQ(j.preload, "p");
  EXPECT_EQ(j.prevalidateWith, "pv");
  EXPECT_EQ(j.validateWith, "v");
  EXPECT_EQ(j.listBoxScript, "lb2");
  EXPECT_EQ(j.notifyRunGroup, "Ops");
  EXPECT_EQ(j.environment, "env");
  EXPECT_EQ(j.lockParameter, 2);
  EXPECT_EQ(j.allowIfJobRunning, "A:1");
  EXPECT_EQ(j.denyIfJobRunning, "B");
  EXPECT_EQ(j.autoRunOnSuccess, "{N1, N2}");
  EXPECT_EQ(j.autoRunOnFailure, "F");
  EXPECT_EQ(j.autoRunStandardInput, "$HOME/in");
  EXPECT_EQ(j.logFileRetention, 7);
  EXPECT_EQ(j.listBoxHeight, 12);
  EXPECT_EQ(h.printed.out, "");
  EXPECT_EQ(h.printed.err, "");
}

TEST(ClientDirectives, WarnOnlyWhenMixedWithJobDirectives) {
  LoggedHome h(
      "Servers:\nServer = alpha\nPort = 9000\n\nMixed:\nServer = beta\nProgram = p\n\n"
      "Quiet:\nClientPort = 1\nGroup = g\nRelayServer = r\n");
  EXPECT_TRUE(h.Job(0).hasClientDirective);
  EXPECT_FALSE(h.Job(0).hasJobDirective);
  EXPECT_EQ(h.config.port(), -1);
  EXPECT_EQ(h.config.server(), "");
  EXPECT_EQ(h.Log(), (std::vector<std::string>{"Client Directives (Server/Port/ClientPort) "
                                               "included in job definition for job \"MIXED\""}));
  EXPECT_EQ(h.printed.out, "");
}

TEST(FirstReadAndReload, WarningsArePrintedOnceButLoggedEveryTime) {
  TempHome home;
  home.WriteConf("LogFile = " + home.File("k.log") +
                 "\nJ:\nAutoSort = 0\nBogus = 1\nAutoRun = yes\n");
  ServerConfig config(home.ConfPath());
  const testconf::Printed first = testconf::LoadCapturing(config);
  EXPECT_EQ(first.err,
            "WARNING: invalid value for \"AutoSort\" option at line 3 of kestrun.conf\n");
  EXPECT_EQ(first.out, "Unknown directive \"Bogus\" at line 4 of kestrun.conf\n");
  const testconf::Printed again = testconf::ReloadCapturing(config);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, "Unknown directive \"Bogus\" at line 4 of kestrun.conf\n");
  // Each reason follows the log's own line for it.
  const std::string expected =
      "Invalid value for \"AutoSort\" option at line 3 of kestrun.conf\n"
      "Unknown directive \"Bogus\" at line 4 of kestrun.conf\n" +
      home.ConfPath() + ":4: unknown directive \"Bogus\"\n" +
      "No times specified for AutoRun or times are invalid\n" + home.ConfPath() +
      ":2: job J: autorun without autoruntimes: it never runs\n";
  std::string log;
  std::istringstream in(home.Read("k.log"));
  for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
  EXPECT_EQ(log, expected + expected);
}

TEST(Icons, LoadedFromGifFilesAndRefusedOtherwise) {
  TempHome home;
  home.Write("ok.gif", std::string("GIF89a\x2c\x01\x2c\x01", 10) + "rest");
  home.Write("bad.png", "\x89PNG\r\n\x1a\n....");
  home.Write("short.gif", "GIF8");
  home.WriteConf("LogFile = " + home.File("k.log") + "\nJ:\nIconOk = " + home.File("ok.gif") +
                 "\nIconPng = " + home.File("bad.png") + "\nIconShort = " + home.File("short.gif") +
                 "\nIconGone = " + home.File("gone.gif") + "\nIconDev = /dev/zero\n");
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);
  const JobDefinition& j = config.Snapshot()->jobs.at(0);
  ASSERT_EQ(j.icons.size(), 1u);
  EXPECT_EQ(j.icons[0].name, "Ok");
  EXPECT_EQ(j.icons[0].width, 300);
  EXPECT_EQ(j.icons[0].height, 300);
  EXPECT_EQ(j.icons[0].data, "R0lGODlhLAEsAXJlc3Q=\n");
  EXPECT_FALSE(j.hasJobDirective);
  std::string log;
  std::istringstream in(home.Read("k.log"));
  for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
  EXPECT_EQ(log, "GraphicFile \"" + home.File("bad.png") +
                     "\" is not a GIF file or has an invalid version string.\n"
                     "GraphicFile \"" +
                     home.File("short.gif") +
                     "\" is not a GIF file or has an invalid version string.\n"
                     "Failed to find icon file \"" +
                     home.File("gone.gif") +
                     "\"\nFailed to open icon file \"/dev/zero\" for read\n");
}

}  // namespace
}  // namespace kestrun
