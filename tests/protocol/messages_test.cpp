// The typed messages of the run, dialog, dialog-script and preload requests:
// per family, each request's exact bytes for one example and a round trip
// through a real socket (encode, receive, decode, equal), and each reply
// form's round trip through its family's decoder.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_blocks.h"
#include "protocol/messages/dialog_scripts.h"
#include "protocol/messages/preload.h"
#include "protocol/messages/run.h"
#include "tests/protocol/wire.h"

namespace kestrun::messages {
namespace {

using testwire::Long;

// A string as the message carries it: its piece count, then the piece.
std::string S(const std::string& text) {
  return Long(1) + testwire::Str(text);
}
const std::string kEmptyBlocks =
    Long(0) + Long(0) + Long(0) + Long(0) + Long(0) + Long(0) + Long(0);

// The field bytes of an encoded message, buffer headers left out.
std::string FieldBytes(const XDRWRAP& m) {
  std::string bytes;
  for (const auto& buffer : m.Buffers()) bytes.append(buffer->data.data(), buffer->Size);
  return bytes;
}

// `request` encodes to exactly `bytes` (the type word first) and decodes
// back to itself with nothing left over.
template <class Request>
void ExpectRequest(const Request& request, const std::string& bytes) {
  XDRWRAP m;
  EncodeRequest(m, request);
  EXPECT_EQ(FieldBytes(m), bytes);
  XDRWRAP received = testwire::Reencode(m);
  EXPECT_EQ(received.GetEnum(), Request::kType);
  EXPECT_TRUE(Request::Decode(received) == request);
  EXPECT_EQ(received.FieldsLeft(), 0);
}

// `form` decodes back to itself through its family's decoder.
template <class Reply, class Form, class Decode>
void ExpectReply(const Form& form, Decode decode) {
  XDRWRAP m;
  m.BeginEncode();
  form.Encode(m);
  XDRWRAP received = testwire::Reencode(m);
  EXPECT_TRUE(decode(received) == Reply(form));
  EXPECT_EQ(received.FieldsLeft(), 0);
}

template <class Form>
std::string ReplyBytes(const Form& form) {
  XDRWRAP m;
  m.BeginEncode();
  form.Encode(m);
  return FieldBytes(m);
}

const DialogBlocks kBlocks{{{"x"}}, {1, {"Col"}, {{"COL1", "v"}}}, {{{"p"}}, {2, {{"R1", "w"}}}}};
const std::string kBlocksBytes = Long(1) + S("x") + Long(1) + Long(1) + Long(1) + S("Col") +
                                 S("COL1") + S("v") + Long(1) + S("p") + Long(2) + Long(1) +
                                 S("R1") + S("w");

TEST(DialogBlocksMessage, FieldOrderCountsAndFalseCounts) {
  XDRWRAP m;
  m.BeginEncode();
  kBlocks.Encode(m);
  EXPECT_EQ(FieldBytes(m), kBlocksBytes);
  XDRWRAP received = testwire::Reencode(m);
  EXPECT_TRUE(DialogBlocks::Decode(received) == kBlocks);

  // A negative count reads nothing; a count beyond the fields that follow
  // fails, however large.
  XDRWRAP negative = testwire::Decode({{Long(-2) + Long(5) + Long(-1), 3}});
  EXPECT_TRUE(FieldBlock::Decode(negative) == FieldBlock{});
  EXPECT_TRUE((PassedListBoxBlock::Decode(negative) == PassedListBoxBlock{5, {}}));
  XDRWRAP shortBlock = testwire::Decode({{Long(3) + S("only one"), 3}});
  EXPECT_THROW(FieldBlock::Decode(shortBlock), DecodeFailure);
  XDRWRAP huge = testwire::Decode({{Long(0) + Long(0x7FFFFFFF), 2}});
  EXPECT_THROW(PassedListBoxBlock::Decode(huge), DecodeFailure);
}

TEST(RunMessages, RequestAndReplies) {
  ExpectRequest(RunServerScriptRequest{"BACKUP", "ann", false, {"a"}, {}, "pc1", 4242, "in.txt"},
                Long(1) + S("BACKUP") + S("ann") + Long(1) + S("a") + kEmptyBlocks + S("pc1") +
                    Long(4242) + S("in.txt"));
  // No terminal: the count goes up by 65536.
  ExpectRequest(RunServerScriptRequest{"B", "ann", true, {"a", "b"}, kBlocks, "pc1", 7, ""},
                Long(1) + S("B") + S("ann") + Long(65538) + S("a") + S("b") + kBlocksBytes +
                    S("pc1") + Long(7) + S(""));

  EXPECT_EQ(ReplyBytes(RunScriptRan{7, "Kestrun"}), Long(1) + Long(0) + Long(7) + S("Kestrun"));
  EXPECT_EQ(ReplyBytes(RunScriptRefused::JobNotFound()), Long(0) + S("Kestrun Job not found"));
  const auto decode = [](XDRWRAP& m) { return DecodeRunServerScriptReply(m); };
  ExpectReply<RunServerScriptReply>(RunScriptRan{-1, ""}, decode);
  ExpectReply<RunServerScriptReply>(RunScriptRefused::LaunchFailed("No such file or directory"),
                                    decode);
}

TEST(DialogMessages, RequestsAndReplies) {
  ExpectRequest(
      GetDialogDataRequest{"DLG", "ann", "pc1", 77, true, {"p"}, std::nullopt},
      Long(2) + S("DLG") + S("ann") + S("pc1") + Long(77) + Long(1) + Long(1) + S("p") + Long(0));
  ExpectRequest(GetDialogDataRequest{"DLG", "ann", "pc1", 77, false, {}, kBlocks.passed},
                Long(2) + S("DLG") + S("ann") + S("pc1") + Long(77) + Long(0) + Long(0) + Long(1) +
                    Long(1) + S("p") + Long(2) + Long(1) + S("R1") + S("w"));
  ExpectRequest(CancelDialogRequest{"DLG", "ann", "pc9", 12},
                Long(27) + S("DLG") + S("ann") + S("pc9") + Long(12));

  const StreamBlock streams{StreamDisposition::File,
                            StreamDisposition::Popup,
                            StreamDisposition::FileChooser,
                            "/in",
                            "",
                            "/out"};
  const std::string streamBytes = Long(5) + Long(2) + Long(4) + S("/in") + S("") + S("/out");
  EXPECT_EQ(ReplyBytes(DialogScriptReply{streams, "wm title ."}),
            Long(1) + streamBytes + S("wm title ."));
  EXPECT_EQ(ReplyBytes(DialogJobNotFound{}), Long(0) + Long(0));
  EXPECT_EQ(ReplyBytes(DialogRefused::NoDialogWithInterface()),
            Long(0) + Long(10) + S("Job contains UI and -nd option specified"));
  EXPECT_EQ(ReplyBytes(DialogPrevalidateRefused{streams, "no"}),
            Long(0) + Long(6) + streamBytes + S("no"));
  EXPECT_EQ(ReplyBytes(DialogNotBuilt{DialogFailure::DialogFileMissing, streams}),
            Long(0) + Long(2) + streamBytes);
  const auto decode = [](XDRWRAP& m) { return DecodeGetDialogDataReply(m); };
  ExpectReply<GetDialogDataReply>(DialogScriptReply{streams, "script"}, decode);
  ExpectReply<GetDialogDataReply>(DialogJobNotFound{}, decode);
  ExpectReply<GetDialogDataReply>(DialogRefused{"Cannot run X - it is already running"}, decode);
  ExpectReply<GetDialogDataReply>(DialogPrevalidateRefused{streams, "why\n"}, decode);
  for (DialogFailure failure :
       {DialogFailure::NoDialog, DialogFailure::DialogFileMissing, DialogFailure::NoScript})
    ExpectReply<GetDialogDataReply>(DialogNotBuilt{failure, streams}, decode);
}

TEST(DialogScriptMessages, RequestsAndReplies) {
  ExpectRequest(RunListBoxScriptRequest{"LB", "ann", {"p"}, {}, "pc1", 77, "REFRESH", "2"},
                Long(5) + S("LB") + S("ann") + Long(1) + S("p") + kEmptyBlocks + S("pc1") +
                    Long(77) + S("REFRESH") + S("2"));
  ExpectRequest(RunFieldScriptRequest{"FLD", "ann", {}, kBlocks, "pc1", 77, "1", "3"},
                Long(4) + S("FLD") + S("ann") + Long(0) + kBlocksBytes + S("pc1") + Long(77) +
                    S("1") + S("3"));
  ExpectRequest(RunValidationScriptRequest{"VAL", "ann", "pc1", 77, {}, {"a", "b"}},
                Long(3) + S("VAL") + S("ann") + S("pc1") + Long(77) + kEmptyBlocks + Long(2) +
                    S("a") + S("b"));

  // The updates, separator, no column names, context column 2 with its
  // icons, the widths, the lines.
  const ListBoxFilled filled{{"2", "4"}, ";", true, 2, {"i1"}, {"10", "-"}, {"a", "b"}};
  EXPECT_EQ(ReplyBytes(filled), Long(1) + Long(2) + S("2") + S("4") + S(";") + Long(1) + Long(2) +
                                    Long(1) + S("i1") + Long(2) + S("10") + S("-") + Long(1) +
                                    S("a") + Long(1) + S("b") + Long(0));
  // A field without populate script: char 1, char 0, char 1, long 0.
  EXPECT_EQ(ReplyBytes(FieldValues{{}, true, ""}), Long(1) + Long(0) + Long(1) + Long(0));
  EXPECT_EQ(ReplyBytes(FieldValues{{"x"}, true, "why\n"}),
            Long(1) + Long(1) + S("x") + Long(0) + Long(1) + Long(4) + S("why\n"));
  EXPECT_EQ(ReplyBytes(ValidationAccepted{}), Long(1));
  EXPECT_EQ(ReplyBytes(ScriptRefused{"No ListBox Script"}), Long(0) + S("No ListBox Script"));

  const auto listBox = [](XDRWRAP& m) { return DecodeListBoxScriptReply(m); };
  ExpectReply<ListBoxScriptReply>(filled, listBox);
  // Column names: no widths; no context column: no icons.
  ExpectReply<ListBoxScriptReply>(ListBoxFilled{{}, ",", false, 0, {}, {}, {}}, listBox);
  ExpectReply<ListBoxScriptReply>(ScriptRefused{"broken\n"}, listBox);
  const auto field = [](XDRWRAP& m) { return DecodeFieldScriptReply(m); };
  ExpectReply<FieldScriptReply>(FieldValues{{"x", "y"}, false, ""}, field);
  ExpectReply<FieldScriptReply>(FieldValues{{}, true, "e"}, field);
  ExpectReply<FieldScriptReply>(ScriptRefused{"Invalid Field Number specified"}, field);
  const auto validation = [](XDRWRAP& m) { return DecodeValidationScriptReply(m); };
  ExpectReply<ValidationScriptReply>(ValidationAccepted{}, validation);
  ExpectReply<ValidationScriptReply>(ScriptRefused{"field 2 is empty\r\n"}, validation);
}

TEST(PreloadMessages, RequestsAndReplies) {
  ExpectRequest(StartBackgroundScriptRequest{"pc1", "ann", 4242, "PRE"},
                Long(20) + S("pc1") + S("ann") + Long(4242) + S("PRE"));
  ExpectRequest(RegisterWaitingForCallbackRequest{"pc1", 300, 299, 40000, 0},
                Long(21) + S("pc1") + Long(300) + Long(299) + Long(40000) + Long(0));
  ExpectRequest(UnregisterWaitingForCallbackRequest{"pc1", 300}, Long(22) + S("pc1") + Long(300));
  ExpectRequest(SyncBackgroundProcStatusRequest{}, Long(25));
  ExpectRequest(RecordBackgroundProcPidRequest{}, Long(26));
  for (CallbackResult result : {CallbackResult::Refused, CallbackResult::Accepted}) {
    EXPECT_EQ(ReplyBytes(CallbackReply{result}), Long(static_cast<int32_t>(result)));
    ExpectReply<CallbackReply>(CallbackReply{result},
                               [](XDRWRAP& m) { return CallbackReply::Decode(m); });
  }
}

}  // namespace
}  // namespace kestrun::messages
