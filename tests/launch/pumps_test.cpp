// The stream pumps on real pipes and a real loopback connection: exact frame
// bytes, the capture phase and its 0x04 rule, input chunks.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <thread>

#include "launch/pumps.h"
#include "platform/interrupts.h"
#include "platform/pipe.h"
#include "tests/support/client_io.h"
#include "tests/support/waiting.h"

namespace kestrun {
namespace {

using test::Chunk;
using test::ConnectLoopback;
using test::LengthOnly;
using test::SendBytes;

// The pumps of a run whose "program" is the test itself: it writes the
// program's output into the pipes and reads its input from them.
struct PumpRig {
  test::LoopbackPair connection = ConnectLoopback();
  UniqueFd programIn, programOut, programErr;  // the program's ends
  std::optional<StreamPumps> pumps;
  CaptureBuffer capture;

  explicit PumpRig(bool withCapture) {
    auto in = CreatePipe(), out = CreatePipe(), err = CreatePipe();
    programIn = std::move(in->read);
    programOut = std::move(out->write);
    programErr = std::move(err->write);
    pumps.emplace(std::move(in->write), std::move(out->read), std::move(err->read),
                  std::move(*Wakeup::Create()),
                  withCapture ? kInvalidSocket : connection.server.get(),
                  withCapture ? &capture : nullptr);
  }
  // The program ends: its ends of the pipes close.
  bool End() {
    programIn.Reset();
    programOut.Reset();
    programErr.Reset();
    const bool failed = pumps->Finish();
    connection.server.ShutdownSend();
    return failed;
  }
  std::string ClientReadsAll() {
    std::string all;
    char buf[4096];
    int error = 0;
    long n;
    while ((n = net::ReceiveSome(connection.client.get(), buf, sizeof buf, &error)) > 0) {
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }
};

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

TEST(OutputPumps, FramesCarryLengthStreamCodeAndData) {
  PumpRig rig(false);
  ASSERT_EQ(WriteAll(rig.programOut.get(), "hello", 5), 0);
  ASSERT_EQ(SendBytes(rig.connection.client.get(), LengthOnly(0)), true);
  rig.pumps->Start();
  // Wait for the first frame before writing the second, so the two come in
  // a known order.
  char first[13];
  ASSERT_TRUE(test::ReceiveExactly(rig.connection.client.get(), first, sizeof first));
  EXPECT_EQ(std::string(first, 13), Bytes({0, 0, 0, 5, 0, 0, 0, 0}) + "hello");
  ASSERT_EQ(WriteAll(rig.programErr.get(), "E", 1), 0);
  EXPECT_FALSE(rig.End());
  EXPECT_EQ(rig.ClientReadsAll(), Bytes({0, 0, 0, 1, 0, 0, 0, 1}) + "E");
}

TEST(OutputPumps, OneLargeReadGoesOutAsFramesOfAtMost1016) {
  PumpRig rig(false);
  const std::string data(3000, 'x');  // one atomic pipe write, read at once
  ASSERT_EQ(WriteAll(rig.programOut.get(), data.data(), data.size()), 0);
  ASSERT_TRUE(SendBytes(rig.connection.client.get(), LengthOnly(0)));
  rig.pumps->Start();
  EXPECT_FALSE(rig.End());
  EXPECT_EQ(rig.ClientReadsAll(), Bytes({0, 0, 3, 0xF8, 0, 0, 0, 0}) + std::string(1016, 'x') +
                                      Bytes({0, 0, 3, 0xF8, 0, 0, 0, 0}) + std::string(1016, 'x') +
                                      Bytes({0, 0, 3, 0xC8, 0, 0, 0, 0}) + std::string(968, 'x'));
}

TEST(OutputPumps, NoOutputMeansNoFrame) {
  PumpRig rig(false);
  ASSERT_TRUE(SendBytes(rig.connection.client.get(), LengthOnly(0)));
  rig.pumps->Start();
  EXPECT_FALSE(rig.End());
  EXPECT_EQ(rig.ClientReadsAll(), "");
}

TEST(CapturePhase, BytesBeforeEndOfTransmissionAreKeptTheRestOfTheReadDropped) {
  PumpRig rig(true);
  rig.pumps->output().socket = rig.connection.server.get();
  ASSERT_EQ(WriteAll(rig.programOut.get(),
                     "abc\x04"
                     "def",
                     7),
            0);
  rig.pumps->Start();
  ASSERT_TRUE(rig.pumps->output().captureComplete.WaitFor(std::chrono::seconds(10)));
  EXPECT_EQ(rig.capture.stdoutData, "abc");
  EXPECT_TRUE(rig.capture.stdoutPassedThrough);
  // Afterwards output goes to the client, a 0x04 included.
  ASSERT_EQ(WriteAll(rig.programOut.get(), "g\x04h", 3), 0);
  EXPECT_FALSE(rig.End());
  EXPECT_EQ(rig.ClientReadsAll(), Bytes({0, 0, 0, 3, 0, 0, 0, 0}) + "g\x04h");
  EXPECT_EQ(rig.capture.stdoutData, "abc");
  EXPECT_EQ(rig.capture.stderrData, "");
  EXPECT_FALSE(rig.capture.stderrPassedThrough);
}

TEST(CapturePhase, EachStreamHasItsOwnPhase) {
  PumpRig rig(true);
  ASSERT_EQ(WriteAll(rig.programErr.get(), "err\x04tail", 8), 0);
  ASSERT_EQ(WriteAll(rig.programOut.get(), "out", 3), 0);
  rig.pumps->Start();
  ASSERT_TRUE(rig.pumps->error().captureComplete.WaitFor(std::chrono::seconds(10)));
  ASSERT_EQ(WriteAll(rig.programOut.get(), " more", 5), 0);
  EXPECT_FALSE(rig.End());
  EXPECT_EQ(rig.capture.stdoutData, "out more");
  EXPECT_EQ(rig.capture.stderrData, "err");
  EXPECT_FALSE(rig.capture.stdoutPassedThrough);
  EXPECT_TRUE(rig.capture.stderrPassedThrough);
}

TEST(InputPump, ChunksAreWrittenUnchangedUntilLengthZero) {
  PumpRig rig(false);
  rig.pumps->Start();
  ASSERT_TRUE(SendBytes(rig.connection.client.get(),
                        Chunk("one ") + Chunk(std::string("\0two", 4)) + LengthOnly(0)));
  std::string got(8, '?');
  ASSERT_TRUE(test::ReadExactlyFd(rig.programIn.get(), got.data(), 8));
  EXPECT_EQ(got, std::string("one \0two", 8));
  char more;
  int error = 0;
  EXPECT_EQ(ReadSome(rig.programIn.get(), &more, 1, &error), 0);  // input closed
  EXPECT_FALSE(rig.End());
}

TEST(InputPump, ConnectionClosedWhileWaitingForALengthIsAFailure) {
  PumpRig rig(false);
  rig.pumps->Start();
  ASSERT_TRUE(SendBytes(rig.connection.client.get(), Chunk("x") + std::string(2, '\0')));
  rig.connection.client.Close();
  char c[2];
  int error = 0;
  EXPECT_EQ(ReadSome(rig.programIn.get(), c, 2, &error), 1);
  EXPECT_EQ(ReadSome(rig.programIn.get(), c, 2, &error), 0);  // the program sees end of input
  EXPECT_TRUE(rig.End());
}

TEST(InputPump, GivenInputIsWrittenAndClosed) {
  PumpRig rig(true);
  rig.capture.stdinData = "given text";
  rig.pumps->Start();
  std::string got(10, '?');
  ASSERT_TRUE(test::ReadExactlyFd(rig.programIn.get(), got.data(), 10));
  EXPECT_EQ(got, "given text");
  char more;
  int error = 0;
  EXPECT_EQ(ReadSome(rig.programIn.get(), &more, 1, &error), 0);
  EXPECT_FALSE(rig.End());
}

// Finish on a thread of its own: nullopt when it did not return in time.
std::optional<bool> FinishWithin(PumpRig& rig, std::chrono::seconds limit) {
  std::future<bool> done = std::async(std::launch::async, [&] { return rig.pumps->Finish(); });
  if (done.wait_for(limit) != std::future_status::ready) {
    rig.End();  // releases the pumps so the test can end
    return std::nullopt;
  }
  return done.get();
}

// Something that escaped a killed run still holds the output pipes: once
// the kill wake-up is signalled the pumps end, after what was there went out.
TEST(OutputPump, KillWakeupEndsThePumpsWhileThePipesAreStillHeld) {
  PumpRig rig(false);
  std::optional<Wakeup> killed = Wakeup::Create();
  rig.pumps->StopOutputOn(killed->fd());
  ASSERT_EQ(rig.pumps->Start(), 0);
  ASSERT_EQ(WriteAll(rig.programOut.get(), "last", 4), 0);
  rig.programIn.Reset();
  killed->Signal();
  EXPECT_EQ(FinishWithin(rig, std::chrono::seconds(5)), std::optional<bool>(false));
  rig.connection.server.ShutdownSend();
  EXPECT_EQ(rig.ClientReadsAll(), Bytes({0, 0, 0, 4, 0, 0, 0, 0}) + "last");
}

// A client that never reads: the send gives up once the socket's send
// time-out passes without progress, the rest of the output is drained and
// dropped, and the run counts as a communication failure.
TEST(OutputPump, SendWithoutProgressFailsTheRun) {
  PumpRig rig(false);
  ASSERT_EQ(net::SetSendTimeout(rig.connection.server.get(), std::chrono::milliseconds(200)), 0);
  ASSERT_EQ(rig.pumps->Start(), 0);
  std::thread program([&] {
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 16; ++i) WriteAll(rig.programOut.get(), block.data(), block.size());
    rig.programOut.Reset();
  });
  program.join();  // returns only because the pump drains after its failed send
  rig.programIn.Reset();
  rig.programErr.Reset();
  EXPECT_EQ(FinishWithin(rig, std::chrono::seconds(10)), std::optional<bool>(true));
}

// After a kill, a client that takes nothing is given up within the killed
// run's patience, long before the socket's send time-out.
TEST(OutputPump, AfterAKillAClientThatTakesNothingIsGivenUpSoon) {
  PumpRig rig(false);
  const int small = 4096;
  ::setsockopt(rig.connection.server.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(rig.connection.client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(net::SetSendTimeout(rig.connection.server.get(), std::chrono::seconds(60)), 0);
  // A pipe's worth of output is there before the kill is seen.
  const std::string block(64 * 1024, 'x');
  ASSERT_EQ(WriteAll(rig.programOut.get(), block.data(), block.size()), 0);
  rig.programOut.Reset();
  rig.programIn.Reset();
  rig.programErr.Reset();
  std::optional<Wakeup> killed = Wakeup::Create();
  rig.pumps->StopOutputOn(killed->fd());
  killed->Signal();
  ASSERT_EQ(rig.pumps->Start(), 0);
  EXPECT_EQ(FinishWithin(rig, std::chrono::seconds(10)), std::optional<bool>(true));
}

// A kill that comes while a send is already blocked behind a client that
// reads nothing ends the pumps within the killed run's patience, long before
// the socket's send time-out, and the other stream does not wait again.
TEST(OutputPump, AKillWakesASendAlreadyBlocked) {
  PumpRig rig(false);
  const int small = 4096;
  ::setsockopt(rig.connection.server.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(rig.connection.client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(net::SetSendTimeout(rig.connection.server.get(), std::chrono::seconds(60)), 0);
  std::optional<Wakeup> killed = Wakeup::Create();
  rig.pumps->StopOutputOn(killed->fd());
  ASSERT_EQ(rig.pumps->Start(), 0);
  // Both streams write more than the socket holds; the program's writes
  // go on until the pumps drain what they can no longer send.
  std::thread program([&] {
    BlockBrokenPipeSignal();  // the pumps end before all is written
    const std::string block(256 * 1024, 'x');
    WriteAll(rig.programOut.get(), block.data(), block.size());
    WriteAll(rig.programErr.get(), block.data(), block.size());
    rig.programOut.Reset();
    rig.programErr.Reset();
  });
  // Output reached the client, which reads none of it: a send is blocked.
  ASSERT_TRUE(test::WaitUntil([&] {
    int queued = 0;
    return ::ioctl(rig.connection.client.get(), FIONREAD, &queued) == 0 && queued > 0;
  }));
  const auto start = std::chrono::steady_clock::now();
  killed->Signal();
  rig.programIn.Reset();
  EXPECT_EQ(FinishWithin(rig, std::chrono::seconds(10)), std::optional<bool>(true));
  program.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            kKilledSendPatience + std::chrono::seconds(1));
}

TEST(ReadAll, ExactCountOrFailure) {
  test::LoopbackPair c = ConnectLoopback();
  ASSERT_TRUE(SendBytes(c.client.get(), "abcdef"));
  char buf[6];
  EXPECT_EQ(ReadAll(c.server.get(), buf, 4), 0);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  c.client.Close();
  EXPECT_EQ(ReadAll(c.server.get(), buf, 4), -1);  // only 2 bytes came before the close
}

}  // namespace
}  // namespace kestrun
