// The run-stream bytes: what the decoders make of exact wire bytes, however
// the bytes are split into receives, and the frames the encoder cuts.
#include "protocol/run_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrun::runstream {
namespace {

using namespace std::string_literals;

std::string Bytes(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words) {
    const Word b = EncodeWord(w);
    out.append(b.begin(), b.end());
  }
  return out;
}

// What the client decoder hands out, written as text: "start(a,b,c,d,e)",
// "out:<bytes>", "err:<bytes>" (consecutive pieces of one stream joined),
// "end", "malformed"; then "rest:<bytes>" after the end.
std::string DecodeInPieces(const std::string& wire, size_t piece) {
  OutputDecoder d;
  std::string trace;
  std::string lastStream;
  for (size_t at = 0; at < wire.size(); at += piece) {
    d.queue().Append(wire.data() + at, std::min(piece, wire.size() - at));
    for (OutputEvent e = d.Next(); e.kind != OutputEvent::Kind::NeedMore; e = d.Next()) {
      if (e.kind == OutputEvent::Kind::Data) {
        const std::string stream = e.stream == kStderrStream ? "err:" : "out:";
        if (stream != lastStream) trace += (trace.empty() ? "" : " ") + stream;
        lastStream = stream;
        trace.append(e.data);
        continue;
      }
      lastStream.clear();
      if (e.kind == OutputEvent::Kind::Start) {
        const StartHeader& h = e.start;
        trace += "start(" + std::to_string(h.stdoutMode) + "," + std::to_string(h.stderrMode) +
                 "," + std::to_string(h.stopId) + "," + std::to_string(h.systemTray) + "," +
                 std::to_string(h.trayHold) + ")";
        continue;
      }
      trace += e.kind == OutputEvent::Kind::End ? " end" : " malformed";
      if (e.kind == OutputEvent::Kind::End) {
        // The bytes after the end word open the reply message.
        if (at + piece < wire.size())
          d.queue().Append(wire.data() + at + piece, wire.size() - at - piece);
        trace += " rest:" +
                 std::string(reinterpret_cast<const char*>(d.queue().data()), d.queue().size());
      }
      return trace;
    }
  }
  return trace;
}

struct OutputCase {
  const char* name;
  std::string wire;
  std::string expected;
};

class OutputDecoding : public ::testing::TestWithParam<OutputCase> {};

// Every split of the bytes into receives, down to one byte at a time, gives
// the same output.
TEST_P(OutputDecoding, SameResultForEverySplit) {
  const OutputCase& c = GetParam();
  for (size_t piece = 1; piece <= c.wire.size(); ++piece) {
    EXPECT_EQ(DecodeInPieces(c.wire, piece), c.expected) << "receives of " << piece << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, OutputDecoding,
    ::testing::Values(
        OutputCase{"Refusal", std::string(24, '\0'), "start(0,0,0,0,0) end rest:"},
        OutputCase{"HeaderFramesEndAndReply",
                   Bytes({1, 3, 0x01020304, 1, 0}) + Bytes({3, 0}) + "abc" + Bytes({2, 0}) + "de" +
                       Bytes({1, 1}) + "E" + Bytes({0}) + "RPLY",
                   "start(1,3,16909060,1,0) out:abcde err:E end rest:RPLY"},
        OutputCase{"LongestFrame",
                   std::string(20, '\0') + Bytes({1016, 0}) + std::string(1016, 'x') + Bytes({0}),
                   "start(0,0,0,0,0) out:" + std::string(1016, 'x') + " end rest:"},
        OutputCase{"FrameTooLong", std::string(20, '\0') + Bytes({1017, 0}) + "x",
                   "start(0,0,0,0,0) malformed"},
        OutputCase{"UnknownStream", std::string(20, '\0') + Bytes({1, 2}) + "x",
                   "start(0,0,0,0,0) malformed"}),
    [](const ::testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

TEST(RunStreamEncoding, FramesAreCutAt1016Bytes) {
  const std::string data(2500, 'k');
  const std::string wire = EncodeFrames(kStderrStream, data);
  EXPECT_EQ(wire, Bytes({1016, 1}) + data.substr(0, 1016) + Bytes({1016, 1}) +
                      data.substr(1016, 1016) + Bytes({468, 1}) + data.substr(2032));
  EXPECT_EQ(EncodeFrames(kStdoutStream, ""), "");
}

TEST(RunStreamEncoding, StartHeaderAndChunks) {
  const auto header = EncodeStartHeader({1, 2, 0xA0B0C0D0, 1, 1});
  EXPECT_EQ(std::string(header.begin(), header.end()),
            "\0\0\0\1\0\0\0\2\xA0\xB0\xC0\xD0\0\0\0\1\0\0\0\1"s);
  EXPECT_EQ(EncodeChunk("hi"), "\0\0\0\2hi"s);
  EXPECT_EQ(EncodeChunk(""), "\0\0\0\0"s);
}

TEST(RunStreamInput, ChunksInAnySplitGiveTheirBytesThenTheEnd) {
  const std::string wire =
      EncodeChunk("hello") + EncodeChunk(std::string(70000, 'z')) + EncodeChunk("") + "after";
  const std::string expected = "hello" + std::string(70000, 'z');
  for (size_t piece : {1, 3, 4, 7, 4096, 100000}) {
    InputDecoder d;
    std::string data;
    bool ended = false;
    for (size_t at = 0; at < wire.size() && !ended; at += piece) {
      d.queue().Append(wire.data() + at, std::min(piece, wire.size() - at));
      for (InputEvent e = d.Next(); e.kind != InputEvent::Kind::NeedMore && !ended; e = d.Next()) {
        if (e.kind == InputEvent::Kind::End)
          ended = true;
        else
          data.append(e.data);
      }
    }
    EXPECT_TRUE(ended) << piece;
    EXPECT_TRUE(data == expected) << piece;
  }
}

}  // namespace
}  // namespace kestrun::runstream
