// The jobs-and-admin, notification and group messages: every request and
// reply form encodes, travels and decodes back equal, and one example of each
// request has its exact bytes.
#include <gtest/gtest.h>

#include <string>

#include "protocol/messages/groups.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/notify.h"
#include "tests/protocol/wire.h"

namespace kestrun::messages {
namespace {

using testwire::Long;

// A short string field: piece count 1 and one XDR string.
std::string S(const std::string& text) {
  return Long(1) + testwire::Str(text);
}

std::string Bytes(const XDRWRAP& m) {
  std::string out;
  for (const auto& b : m.Buffers()) out.append(b->data.data(), static_cast<size_t>(b->Size));
  return out;
}

// Encodes `request` with its type word, checks the bytes (when given), sends
// it and decodes it back.
template <class Request>
void ExpectRequest(const Request& request, const std::string& bytes = "") {
  XDRWRAP m;
  EncodeRequest(m, request);
  if (!bytes.empty()) {
    EXPECT_EQ(Bytes(m), bytes);
  }
  XDRWRAP received = testwire::Reencode(m);
  EXPECT_EQ(received.GetEnum(), Request::kType);
  EXPECT_EQ(Request::Decode(received), request);
  EXPECT_EQ(received.FieldsLeft(), 0) << "every field taken";
}

template <class Reply>
void ExpectReply(const Reply& reply, const std::string& bytes = "") {
  XDRWRAP m;
  m.BeginEncode();
  reply.Encode(m);
  if (!bytes.empty()) {
    EXPECT_EQ(Bytes(m), bytes);
  }
  XDRWRAP received = testwire::Reencode(m);
  EXPECT_EQ(Reply::Decode(received), reply);
  EXPECT_EQ(received.FieldsLeft(), 0) << "every field taken";
}

// A message of the given fields, ready to be decoded.
template <class Add>
XDRWRAP Received(Add add) {
  XDRWRAP m;
  m.BeginEncode();
  add(m);
  return testwire::Reencode(m);
}

TEST(JobsAdminMessages, RoundTripWithExactBytes) {
  ExpectRequest(EchoRequest{-5}, Long(0) + Long(-5));
  ExpectReply(EchoReply{-5}, Long(1) + Long(-5));
  ExpectRequest(StopRequest{0xFFFFFFF0u}, Long(6) + Long(-16));
  ExpectReply(StopReply{}, "");
  ExpectRequest(ShutdownRequest{}, Long(7));
  ExpectReply(ShutdownReply{}, Long(1));
  ExpectRequest(DumpClientNodeNamesRequest{}, Long(8) + Long(1));
  ExpectReply(DumpClientNodeNamesReply{{{"PC1", "alice", 0x0A010203, 5000},
                                        {"laptop-22", "bob", 0xC0A80A14, 41000}}},
              S("PC1") + S("alice") + Long(0x0A010203) + Long(5000) + S("laptop-22") + S("bob") +
                  Long(static_cast<int32_t>(0xC0A80A14)) + Long(41000) + S(""));
  ExpectReply(DumpClientNodeNamesReply{}, S(""));
  ExpectRequest(ShowHelpTextRequest{"alice", {}}, Long(9) + S("alice") + Long(0));
  ExpectRequest(ShowHelpTextRequest{"bob", {"owner", "Area"}},
                Long(9) + S("bob") + Long(2) + S("owner") + S("Area"));
  ExpectReply(ShowHelpTextReply{{{"BACKUP", "Saves", {"ops", ""}}, {"NIGHTLY", "", {}}}},
              S("BACKUP") + S("Saves") + Long(1) + S("ops") + Long(1) + S("") + Long(0) +
                  S("NIGHTLY") + S("") + Long(0) + S(""));
  ExpectRequest(GetActiveJobsRequest{}, Long(18));
  ExpectReply(GetActiveJobsReply{{{"BACKUP", "disk1", "alice", 4242, 0xF0000000u},
                                  {"NIGHTLY", "", "SCHEDULER", 77, 1750000000u}}},
              S("BACKUP") + S("disk1") + S("alice") + Long(4242) + Long(-268435456) + S("NIGHTLY") +
                  S("") + S("SCHEDULER") + Long(77) + Long(1750000000) + S(""));
  ExpectRequest(KillJobRequest{12}, Long(19) + Long(12));
  ExpectReply(KillJobKilled{"BACKUP"}, Long(1) + S("BACKUP"));
  ExpectReply(KillJobRefused{}, Long(0));
}

TEST(JobsAdminMessages, ResultsAndMalformedMessages) {
  // A one-form reply with another result is no reply of that form.
  XDRWRAP refusedEcho = Received([](XDRWRAP& m) {
    m.AddEnum(0);
    m.AddLong(3);
  });
  EXPECT_THROW(EchoReply::Decode(refusedEcho), DecodeFailure);
  XDRWRAP zero = Received([](XDRWRAP& m) { m.AddEnum(0); });
  EXPECT_THROW(ShutdownReply::Decode(zero), DecodeFailure);
  // Either kill form is told by its result; any result but 1 is a refusal.
  for (int32_t result : {0, 1, 2}) {
    XDRWRAP m = Received([&](XDRWRAP& out) {
      out.AddEnum(result);
      if (result == 1) out.AddString("BACKUP");
    });
    const KillJobReply reply = DecodeKillJobReply(m);
    if (result == 1) {
      EXPECT_EQ(std::get<KillJobKilled>(reply).jobName, "BACKUP");
    } else {
      EXPECT_TRUE(std::holds_alternative<KillJobRefused>(reply)) << result;
    }
  }
  // A count of names that the message does not hold fails the decode.
  XDRWRAP shortHelp = Received([](XDRWRAP& m) {
    m.AddString("alice");
    m.AddLong(1000000);
    m.AddString("owner");
  });
  EXPECT_THROW(ShowHelpTextRequest::Decode(shortHelp), DecodeFailure);
  // A list cut short fails; a reader of entries has the ones before the cut.
  XDRWRAP cut = Received([](XDRWRAP& m) {
    for (const char* field : {"A", "", "bob"}) m.AddString(field);
    m.AddLong(1);
    m.AddLong(2);
    m.AddString("B");  // then nothing
  });
  EXPECT_EQ(ActiveJobEntry::DecodeNext(cut)->jobName, "A");
  EXPECT_THROW(ActiveJobEntry::DecodeNext(cut), DecodeFailure);
}

TEST(JobsAdminMessages, ListsLeaveOutWhatWouldEndThemOrPassTheLimits) {
  // An empty name would end the list for the reader.
  XDRWRAP m;
  m.BeginEncode();
  DumpClientNodeNamesReply{{{"", "ghost", 1, 2}, {"PC1", "alice", 3, 4}}}.Encode(m);
  EXPECT_EQ(Bytes(m), S("PC1") + S("alice") + Long(3) + Long(4) + S(""));
  // Entries that would take the reply past the limits are counted, not sent.
  GetActiveJobsReply big;
  for (int k = 0; k < 700; ++k)
    big.jobs.push_back({"JOB" + std::to_string(k), std::string(100000, 'x'), "u", k, 0});
  XDRWRAP out;
  out.BeginEncode();
  const size_t left = big.EncodeWithin(out);
  EXPECT_GT(left, 0u);
  EXPECT_TRUE(out.WithinLimits());
  XDRWRAP received = testwire::Reencode(out);
  EXPECT_EQ(GetActiveJobsReply::Decode(received).jobs.size(), big.jobs.size() - left);
}

TEST(NotifyMessages, RoundTripWithExactBytes) {
  ExpectRequest(DeregisterClientRequest{"PC1", "alice"}, Long(11) + S("PC1") + S("alice"));
  ExpectReply(DeregisterClientReply{}, Long(1));
  // kesnotify -text hello -group Ops,Dev -user bob
  ExpectRequest(SendMessageToClientRequest{{{"Ops", RecipientKind::kGroup},
                                            {"Dev", RecipientKind::kGroup},
                                            {"bob", RecipientKind::kUser}},
                                           0,
                                           "title",
                                           "hello",
                                           false},
                Long(12) + S("Ops") + Long(1) + S("Dev") + Long(1) + S("bob") + Long(3) + S("") +
                    Long(0) + S("title") + S("hello") + Long(0));
  ExpectRequest(SendMessageToClientRequest{{{"PC9", RecipientKind::kHost}}, 2, "T", "x", true});
  ExpectReply(SendMessageToClientReply{{RecipientStatus::kOkay}}, Long(1) + Long(1) + Long(0));
  ExpectReply(SendMessageToClientReply{
      {RecipientStatus::kClientNotFound, RecipientStatus::kNotProcessed, RecipientStatus{7}}});
  ExpectRequest(GetJobsForUserRequest{"PC1", "alice", 5000},
                Long(13) + S("PC1") + S("alice") + Long(5000));
  ExpectReply(GetJobsForUserReply{{{"BACKUP", "Back up now"}, {"NIGHTLY", "NIGHTLY"}}},
              Long(1) + S("BACKUP") + S("Back up now") + S("NIGHTLY") + S("NIGHTLY") + S(""));
  ExpectReply(GetJobsForUserReply{}, Long(1) + S(""));
  ExpectRequest(ClientKeepaliveRequest{"alice", "PC1", 5000},
                Long(15) + S("alice") + S("PC1") + Long(5000));
  ExpectReply(ClientKeepaliveReply{}, Long(1));
  ExpectRequest(RelayMessageBalloonRequest{"srv", "Hi", "Done", 1, false, {{0x0A010203, 5000}}},
                Long(23) + S("srv") + S("Hi") + S("Done") + Long(1) + Long(0) + Long(0x0A01) +
                    Long(0x0203) + Long(5000) + Long(0));
  ExpectRequest(RelayMessageJobNotifyRequest{"srv", true, {{0x7F000001, 1}, {0xC0A80A14, 2}}},
                Long(24) + S("srv") + Long(1) + Long(0x7F00) + Long(1) + Long(1) + Long(0xC0A8) +
                    Long(0x0A14) + Long(2) + Long(0));
  ExpectRequest(RelayMessageJobNotifyRequest{"srv", false, {}},
                Long(24) + S("srv") + Long(0) + Long(0));
  ExpectReply(RelayReply{}, "");
}

TEST(NotifyMessages, ListsEndAtEmptyNamesAndRelayListsAreBounded) {
  // A recipient without a name would end the list: it is not written.
  XDRWRAP m;
  EncodeRequest(m,
                SendMessageToClientRequest{
                    {{"", RecipientKind::kUser}, {"bob", RecipientKind::kUser}}, 0, "", "", false});
  EXPECT_EQ(Bytes(m), Long(12) + S("bob") + Long(3) + S("") + Long(0) + S("") + S("") + Long(0));
  XDRWRAP notDone = Received([](XDRWRAP& out) { out.AddEnum(0); });
  EXPECT_THROW(SendMessageToClientReply::Decode(notDone), DecodeFailure);
  // A relay list is read only up to one target past the most a request may
  // hold, so the receiver can refuse it without taking all of it.
  RelayMessageBalloonRequest relay{"srv", "t", "x", 0, false, {}};
  relay.targets.assign(kMaxRelayTargets + 5, RelayTarget{0x7F000001, 9});
  XDRWRAP sent;
  EncodeRequest(sent, relay);
  XDRWRAP received = testwire::Reencode(sent);
  received.GetEnum();
  EXPECT_EQ(RelayMessageBalloonRequest::Decode(received).targets.size(), kMaxRelayTargets + 1);
}

TEST(GroupMessages, RoundTripWithExactBytes) {
  ExpectRequest(GetGroupsForUserRequest{"alice"}, Long(28) + S("alice"));
  ExpectRequest(GetUsersInGroupRequest{"Operators"}, Long(29) + S("Operators"));
  ExpectReply(GroupNamesReply{{"Admins", "Operators"}}, Long(2) + S("Admins") + S("Operators"));
  ExpectReply(GroupNamesReply{}, Long(0));
  XDRWRAP missing = Received([](XDRWRAP& m) {
    m.AddLong(2);
    m.AddString("Admins");
  });
  EXPECT_THROW(GroupNamesReply::Decode(missing), DecodeFailure);
}

}  // namespace
}  // namespace kestrun::messages
