// HISTORY_QUERY, RUN_OUTPUT and their shared-history forms: every message
// round-trips, output bytes of every value survive, and the exact bytes of
// the requests.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "protocol/messages/history.h"
#include "protocol/transport.h"

namespace kestrun::messages {
namespace {

// Moves an encoded message into a decodable one, as the transport would.
XDRWRAP Received(XDRWRAP& sent) {
  XDRWRAP in;
  in.BeginDecode(static_cast<int32_t>(sent.Buffers().size()));
  for (const auto& buffer : sent.Buffers()) {
    XdrBuffer& copy = in.AppendReceivedBuffer(buffer->Size, buffer->NumItems);
    std::copy(buffer->data.begin(), buffer->data.begin() + buffer->Size, copy.data.begin());
  }
  in.FinishReceive();
  return in;
}

TEST(HistoryMessages, RequestsRoundTrip) {
  const HistoryQueryRequest query{"ann", "pc1", "BACKUP", "bob", int64_t{1} << 41 | 7, 50};
  XDRWRAP out;
  EncodeRequest(out, query);
  XDRWRAP in = Received(out);
  EXPECT_EQ(in.GetEnum(), HISTORY_QUERY);
  EXPECT_EQ(HistoryQueryRequest::Decode(in), query);

  const RunOutputRequest output{"ann", "pc1", 1234567890123};
  XDRWRAP out2;
  EncodeRequest(out2, output);
  XDRWRAP in2 = Received(out2);
  EXPECT_EQ(in2.GetEnum(), RUN_OUTPUT);
  EXPECT_EQ(RunOutputRequest::Decode(in2), output);
}

TEST(HistoryMessages, ServersQueryRoundTripsAndEndsWithTheServerName) {
  const ServersQueryRequest query{{"ann", "pc1", "", "", 0, 5}, "b"};
  XDRWRAP out;
  EncodeRequest(out, query);
  ASSERT_EQ(out.Buffers().size(), 1u);
  const auto& b = *out.Buffers()[0];
  const std::string bytes(b.data.begin(), b.data.begin() + b.Size);
  // enum 102, then HISTORY_QUERY's fields as they are, then the server name.
  EXPECT_EQ(bytes.substr(0, 4), std::string("\0\0\0\x66", 4));
  EXPECT_EQ(bytes.substr(bytes.size() - 12), std::string("\0\0\0\x01\0\0\0\x01"
                                                         "b\0\0\0",
                                                         12));
  XDRWRAP in = Received(out);
  EXPECT_EQ(in.GetEnum(), HISTORY_QUERY_SERVERS);
  EXPECT_EQ(ServersQueryRequest::Decode(in), query);

  ServersQueryReply reply;
  reply.runs.push_back({"alpha", RunSummary{.id = 7, .job = "JOB", .outcome = "exited"}});
  reply.runs.push_back({"", RunSummary{.id = 8, .message = "refused"}});
  XDRWRAP replyOut;
  replyOut.BeginEncode();
  EXPECT_EQ(reply.Encode(replyOut), 0u);
  XDRWRAP replyIn = Received(replyOut);
  const auto decoded = DecodeServersQueryReply(replyIn);
  ASSERT_TRUE(std::holds_alternative<ServersQueryReply>(decoded));
  EXPECT_EQ(std::get<ServersQueryReply>(decoded), reply);
}

TEST(HistoryMessages, ServerOutputRequestIsRunOutputsFieldsThenTheServerName) {
  const ServerOutputRequest ask{{"ann", "pc1", 1234567890123}, "b"};
  XDRWRAP out;
  EncodeRequest(out, ask);
  XDRWRAP plain;
  EncodeRequest(plain, ask.run);
  ASSERT_EQ(out.Buffers().size(), 1u);
  ASSERT_EQ(plain.Buffers().size(), 1u);
  const auto bytesOf = [](const XdrBuffer& b) {
    return std::string(b.data.begin(), b.data.begin() + b.Size);
  };
  const std::string bytes = bytesOf(*out.Buffers()[0]);
  const std::string runOutput = bytesOf(*plain.Buffers()[0]);
  // enum 103, then RUN_OUTPUT's fields as they are, then the server name.
  EXPECT_EQ(bytes.substr(0, 4), std::string("\0\0\0\x67", 4));
  EXPECT_EQ(bytes.substr(4, runOutput.size() - 4), runOutput.substr(4));
  EXPECT_EQ(bytes.substr(bytes.size() - 12), std::string("\0\0\0\x01\0\0\0\x01"
                                                         "b\0\0\0",
                                                         12));
  XDRWRAP in = Received(out);
  EXPECT_EQ(in.GetEnum(), RUN_OUTPUT_SERVER);
  EXPECT_EQ(ServerOutputRequest::Decode(in), ask);
}

TEST(HistoryMessages, RunOutputRequestBytes) {
  XDRWRAP out;
  EncodeRequest(out, RunOutputRequest{"a", "b", (int64_t{1} << 32) + 2});
  ASSERT_EQ(out.Buffers().size(), 1u);
  const auto& b = *out.Buffers()[0];
  const std::string bytes(b.data.begin(), b.data.begin() + b.Size);
  // enum 101; "a" and "b" each as one piece; the id as high and low words.
  const std::string expected(
      "\0\0\0\x65"
      "\0\0\0\x01\0\0\0\x01"
      "a\0\0\0"
      "\0\0\0\x01\0\0\0\x01"
      "b\0\0\0"
      "\0\0\0\x01\0\0\0\x02",
      36);
  EXPECT_EQ(bytes, expected);
}

TEST(HistoryMessages, RepliesRoundTripWithEveryByteValue) {
  std::string every;
  for (int c = 0; c < 256; ++c) every.push_back(static_cast<char>(c));
  const RunOutputReply reply{12, 1, {{1, every}, {2, std::string("\0\x01\x01\0", 4)}, {1, ""}}};
  XDRWRAP out;
  out.BeginEncode();
  reply.Encode(out);
  XDRWRAP in = Received(out);
  auto decoded = DecodeRunOutputReply(in);
  ASSERT_TRUE(std::holds_alternative<RunOutputReply>(decoded));
  EXPECT_EQ(std::get<RunOutputReply>(decoded), reply);

  RunSummary run;
  run.id = 9;
  run.job = "JOB";
  run.arguments = {"x", ""};
  run.fields = {"1=***"};
  run.started = 1'700'000'000'000;
  run.outcome = "exited";
  const HistoryQueryReply history{{run, run}};
  XDRWRAP out2;
  out2.BeginEncode();
  EXPECT_EQ(history.Encode(out2), 0u);
  XDRWRAP in2 = Received(out2);
  auto decoded2 = DecodeHistoryQueryReply(in2);
  ASSERT_TRUE(std::holds_alternative<HistoryQueryReply>(decoded2));
  EXPECT_EQ(std::get<HistoryQueryReply>(decoded2), history);

  XDRWRAP out3;
  out3.BeginEncode();
  HistoryRefusal{"Run 5 not found"}.Encode(out3);
  XDRWRAP in3 = Received(out3);
  auto decoded3 = DecodeRunOutputReply(in3);
  ASSERT_TRUE(std::holds_alternative<HistoryRefusal>(decoded3));
  EXPECT_EQ(std::get<HistoryRefusal>(decoded3).message, "Run 5 not found");
}

TEST(HistoryMessages, MalformedRepliesFailToDecode) {
  XDRWRAP out;
  out.BeginEncode();
  out.AddEnum(1);
  out.AddLong(0);
  out.AddLong(0);
  out.AddLong(0);
  out.AddLong(1);
  out.AddLong(1);
  out.AddString("\x01x");  // an escape that is no escape
  XDRWRAP in = Received(out);
  EXPECT_THROW(DecodeRunOutputReply(in), DecodeFailure);

  XDRWRAP out2;
  out2.BeginEncode();
  out2.AddEnum(1);
  out2.AddLong(0);
  out2.AddLong(0);
  out2.AddLong(0);
  out2.AddLong(1'000'000);  // more chunks than the message holds
  XDRWRAP in2 = Received(out2);
  EXPECT_THROW(DecodeRunOutputReply(in2), DecodeFailure);
}

}  // namespace
}  // namespace kestrun::messages
