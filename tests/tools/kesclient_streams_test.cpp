// `kesclient dialog -nd` against a hostile stand-in server whose stream block
// names files of the client's machine: they are read or written only with
// the user's consent, and a run without a terminal (standard input is
// /dev/null here) gets it only from -y.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/messages/dialog.h"
#include "protocol/request_types.h"
#include "protocol/run_stream.h"
#include "protocol/transport.h"
#include "tests/support/child_process.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using namespace std::chrono_literals;

// The stream block a hostile server sends: dispositions and files of
// standard input, error and output.
using Streams = messages::StreamBlock;

// Serves every connection until destroyed: GET_DIALOG_DATA gets "no dialog"
// with `streams`, a run echoes its input back as standard output, every
// other request an empty reply. Records what it saw.
class HostileServer {
 public:
  explicit HostileServer(Streams streams) : streams_(std::move(streams)) {
    listener_ = CreateListenSocket(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HostileServer() {
    stop_ = true;
    ConnectToServer(port_, "127.0.0.1");  // wakes the accept
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<int32_t> types() const {
    std::lock_guard lock(mutex_);
    return types_;
  }
  std::string input() const {
    std::lock_guard lock(mutex_);
    return input_;
  }

 private:
  void Serve() {
    while (!stop_) {
      uint32_t peer = 0;
      int error = 0;
      std::optional<Socket> s = net::Accept(listener_->get(), &peer, &error);
      if (stop_ || !s) return;
      if (!ReadConnectionMagic(s->get(), 5s)) continue;
      XDRWRAP request;
      try {
        ReceiveMessage(request, s->get(), 5s);
      } catch (const DecodeFailure&) {
        continue;
      }
      const int32_t type = request.GetEnum();
      {
        std::lock_guard lock(mutex_);
        types_.push_back(type);
      }
      XDRWRAP reply;
      reply.BeginEncode();
      if (type == GET_DIALOG_DATA) {
        messages::DialogNotBuilt{messages::DialogFailure::NoDialog, streams_}.Encode(reply);
      } else if (type == RUN_SERVER_SCRIPT) {
        Run(s->get());
        messages::RunScriptRan{0, "title"}.Encode(reply);
      }
      SendReply(reply, s->get());
      s->ShutdownSend();
    }
  }

  // Start header, the client's input until its end, that input as output.
  void Run(SocketHandle s) {
    const auto header = runstream::EncodeStartHeader({});
    std::string output(header.begin(), header.end());
    SendAll(s, output);
    runstream::InputDecoder decoder;
    std::string input;
    for (bool ended = false; !ended;) {
      const runstream::InputEvent e = decoder.Next();
      if (e.kind == runstream::InputEvent::Kind::Data) input += e.data;
      if (e.kind == runstream::InputEvent::Kind::End) ended = true;
      if (e.kind != runstream::InputEvent::Kind::NeedMore) continue;
      const std::span<char> area = decoder.queue().Area();
      int error = 0;
      const long n = net::ReceiveSome(s, area.data(), area.size(), &error);
      if (n <= 0) break;
      decoder.queue().Commit(static_cast<size_t>(n));
    }
    {
      std::lock_guard lock(mutex_);
      input_ = input;
    }
    const runstream::Word end = runstream::EncodeWord(0);
    SendAll(s, runstream::EncodeFrames(runstream::kStdoutStream, input) +
                   std::string(end.begin(), end.end()));
  }
  static void SendAll(SocketHandle s, const std::string& bytes) {
    const SendPiece piece{bytes.data(), bytes.size()};
    net::SendAll(s, {&piece, 1});
  }

  Streams streams_;
  int port_ = 0;
  std::optional<Socket> listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;  // guards types_ and input_
  std::vector<int32_t> types_;
  std::string input_;
};

constexpr auto kDisplay = messages::StreamDisposition::Display,
               kFileChooser = messages::StreamDisposition::FileChooser,
               kFile = messages::StreamDisposition::File;

// A private folder with the client's secret and a file it holds dear.
class KesclientStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.WriteFile("secret", "private key\n");
    home_.WriteFile("kept", "keep me\n");
  }
  std::string At(const std::string& name) const { return home_.path() + "/" + name; }

  ProgramResult Kesclient(int port, const std::vector<std::string>& dialogArgs) const {
    std::vector<std::string> argv = KesclientCommand(port, "ann", "pcK", {"dialog"});
    argv.insert(argv.end(), dialogArgs.begin(), dialogArgs.end());
    const char* asan = std::getenv("ASAN_OPTIONS");
    ProgramResult run =
        RunProgram(argv,
                   {{"DISPLAY", std::nullopt},
                    {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}},
                   20s);
    ExpectNoSanitizerFindings(run.err);
    return run;
  }

  TestHome home_;
};

TEST_F(KesclientStreams, FilesTheServerNamesAreNotTouchedWithoutTheUser) {
  struct Case {
    const char* name;
    Streams streams;
    std::string inErr;
  };
  const Case cases[] = {
      {"file: for all three streams",
       {kFile, kFile, kFile, At("secret"), At("new\rfile"), At("kept")},
       "kesclient: the server asks to use files of this computer for job grab (read " +
           At("secret") + "; overwrite " + At("kept") + "; overwrite " + At("new\\x0dfile") +
           ") and there is no terminal to ask you; kesclient dialog -y allows it\n"},
      // Without a display no chooser can be shown: its path is the server's.
      {"chooser without a display",
       {kFileChooser, kDisplay, kFileChooser, At("secret"), "", At("kept")},
       "(read " + At("secret") + "; overwrite " + At("kept") + ") and there is no terminal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostileServer server(c.streams);
    const ProgramResult run = Kesclient(server.port(), {"-nd", "grab"});
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(home_.ReadFile("kept"), "keep me\n");
    EXPECT_FALSE(std::filesystem::exists(At("new\rfile")));
    // The server is told the dialog is over; no run starts.
    EXPECT_EQ(server.types(), (std::vector<int32_t>{GET_DIALOG_DATA, CANCEL_DIALOG}));
    EXPECT_EQ(server.input(), "");
  }
}

TEST_F(KesclientStreams, MinusYReadsAndWritesTheNamedFiles) {
  HostileServer server({kFile, kDisplay, kFile, At("secret"), "", At("kept")});
  const ProgramResult run = Kesclient(server.port(), {"-nd", "-y", "grab"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(server.input(), "private key\n");
  EXPECT_EQ(home_.ReadFile("kept"), "private key\n");
  EXPECT_EQ(server.types(), (std::vector<int32_t>{GET_DIALOG_DATA, RUN_SERVER_SCRIPT}));
}

}  // namespace
}  // namespace kestrun::test
