// The limits of a receive beyond the wait between bytes: the time for a
// whole message from its first byte, the magic as a whole, and the shared
// budget of buffer memory.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "protocol/receive_budget.h"
#include "protocol/transport.h"
#include "tests/protocol/wire.h"

namespace kestrun {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Sends `bytes` one at a time, `gap` apart, from a thread of its own.
class Trickler {
 public:
  Trickler(SocketHandle socket, std::string bytes, milliseconds gap)
      : thread_([=] {
          for (char c : bytes) {
            const SendPiece piece{&c, 1};
            if (net::SendAll(socket, {&piece, 1}) != 0) return;
            std::this_thread::sleep_for(gap);
          }
        }) {}
  ~Trickler() { thread_.join(); }

 private:
  std::thread thread_;
};

const std::string kMessage = testwire::Message({{testwire::Long(7) + testwire::Long(8), 2}});

TEST(ReceiveLimits, MessageTricklingPastItsWholeTimeIsDropped) {
  testwire::SocketPair p;
  Trickler trickle(p.a.get(), kMessage, milliseconds(15));
  XDRWRAP m;
  const auto start = steady_clock::now();
  EXPECT_THROW(ReceiveMessage(m, p.b.get(), milliseconds(2000), {milliseconds(150), nullptr}),
               DecodeFailure);
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(150));
  EXPECT_LT(took, milliseconds(400));
  p.b.Close();  // the trickler's next send fails and it ends
}

TEST(ReceiveLimits, TheSameTrickleArrivesWithoutAWholeTime) {
  testwire::SocketPair p;
  Trickler trickle(p.a.get(), kMessage, milliseconds(5));
  XDRWRAP m;
  ReceiveMessage(m, p.b.get(), milliseconds(2000));
  EXPECT_EQ(m.GetLong(), 7);
  EXPECT_EQ(m.GetLong(), 8);
}

TEST(ReceiveLimits, MagicMustArriveWholeWithinItsWait) {
  testwire::SocketPair p;
  Trickler trickle(p.a.get(), std::string("\x12\x5A\xBB\xCD", 4), milliseconds(120));
  EXPECT_FALSE(ReadConnectionMagic(p.b.get(), milliseconds(200)));
  p.b.Close();
}

TEST(ReceiveBudget, TakesOnlyWhatFits) {
  ReceiveBudget budget(100);
  EXPECT_TRUE(budget.Take(60));
  EXPECT_FALSE(budget.Take(41));
  EXPECT_TRUE(budget.Take(40));
  EXPECT_FALSE(budget.Take(1));
  budget.Give(100);
  EXPECT_FALSE(budget.Take(SIZE_MAX));  // no wrap-around
  EXPECT_EQ(budget.InUse(), 0u);
}

// A message whose buffers would pass what other receives left of the budget
// is abandoned from its header, and gives back what it took either way.
TEST(ReceiveBudget, MessageOverTheBudgetIsAbandonedAndGivesBack) {
  ReceiveBudget budget(100000);
  ASSERT_TRUE(budget.Take(90000));  // held by other messages being received
  const std::string big = testwire::Message({{std::string(65536, '\0'), 1}});
  {
    testwire::SocketPair p;
    const SendPiece piece{big.data(), kHeaderSize};  // the header alone
    ASSERT_EQ(net::SendAll(p.a.get(), {&piece, 1}), 0);
    XDRWRAP m;
    EXPECT_THROW(ReceiveMessage(m, p.b.get(), milliseconds(5000), {milliseconds(0), &budget}),
                 DecodeFailure);
    EXPECT_EQ(budget.InUse(), 90000u);
  }
  budget.Give(90000);
  testwire::SocketPair p;
  const SendPiece piece{big.data(), big.size()};
  ASSERT_EQ(net::SendAll(p.a.get(), {&piece, 1}), 0);
  XDRWRAP m;
  ReceiveMessage(m, p.b.get(), milliseconds(5000), {milliseconds(0), &budget});
  EXPECT_EQ(m.GetLong(), 0);
  EXPECT_EQ(budget.InUse(), 0u);
}

}  // namespace
}  // namespace kestrun
