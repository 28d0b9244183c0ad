#include "tools/kesclient/run_job.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "platform/error_text.h"
#include "protocol/messages/run.h"
#include "protocol/transport.h"
#include "tools/kesclient/console.h"
#include "tools/kesclient/requests.h"

namespace kestrun::client {

namespace {

// Room asked of the receive buffer (256 KB) before each receive: the socket
// is read in pieces of at least this size, usually of the whole buffer.
constexpr size_t kReceivePiece = 64 * 1024;

// Output bytes of one descriptor waiting to be written together. The pieces
// point into the receive buffer: Flush before it is refilled.
class OutputBatch {
 public:
  // False when a write failed; errno tells why.
  bool Add(int fd, std::string_view data) {
    if (fd != fd_ && !Flush()) return false;
    fd_ = fd;
    pieces_.push_back(data);
    return true;
  }
  bool Flush() {
    const bool written = pieces_.empty() || WriteAll(fd_, pieces_);
    pieces_.clear();
    return written;
  }

 private:
  int fd_ = -1;
  std::vector<std::string_view> pieces_;
};

void AddRequest(XDRWRAP& m, const RunRequest& r) {
  messages::EncodeRequest(
      m, messages::RunServerScriptRequest{r.job, r.user, r.noTerminal, r.args, r.values, r.node,
                                          r.processId, r.stdinFileName});
}

// Forwards the input as chunks of up to 64 KB (whatever one read gives)
// until end of input, then sends the empty chunk. Stops quietly when the
// connection fails (the run reports it) or when the reading is cancelled: a
// job that ends without reading its input must not wait for the user's next
// line.
// `buffer` (the caller's, so that this thread allocates nothing) holds a
// chunk with its length word.
void PumpInput(SocketHandle socket, InputReader& input, std::vector<char>& buffer) {
  for (;;) {
    const long n = input.Read(buffer.data() + runstream::kWordSize, runstream::kInputChunk);
    if (n < 0) return;
    runstream::StoreWord(reinterpret_cast<unsigned char*>(buffer.data()), static_cast<uint32_t>(n));
    const SendPiece piece{buffer.data(), static_cast<size_t>(n) + runstream::kWordSize};
    if (net::SendAll(socket, {&piece, 1}) != 0 || n == 0) return;
  }
}

RunOutcome Failure(std::string message) {
  return {RunOutcome::Kind::Failed, 0, "", std::move(message)};
}

}  // namespace

RunOutcome RunJob(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
                  int errFd, const std::function<void(const StartHeader&)>& onStarted) {
  std::string failure;
  std::optional<ServerConnection> c = Connect(server, &failure);
  if (!c) return Failure(failure);
  XDRWRAP m;
  AddRequest(m, request);
  SendRequest(m, *c);
  const SocketHandle s = c->socket.get();

  InputReader reader(inputFd);
  if (!reader.ready()) return Failure("cannot create a pipe");
  std::vector<char> inputBuffer(runstream::kWordSize + runstream::kInputChunk);
  std::thread input;
  // Ends the input thread on every way out of the run.
  struct StopInput {
    std::thread& thread;
    InputReader& reader;
    ~StopInput() {
      reader.Cancel();
      if (thread.joinable()) thread.join();
    }
  } stopInput{input, reader};

  // Output can pause for as long as the job likes: the run's bytes are read
  // without the message time-out.
  runstream::OutputDecoder decoder;
  OutputBatch batch;
  runstream::StartHeader header;
  bool anyOutput = false;
  for (bool ended = false; !ended;) {
    const std::span<char> area = decoder.queue().Area(kReceivePiece);
    int error = 0;
    const long n = net::ReceiveSome(s, area.data(), area.size(), &error);
    if (n < 0) return Failure("communication with the server failed: " + SystemErrorText(error));
    if (n == 0) return Failure("the server closed the connection during the run");
    decoder.queue().Commit(static_cast<size_t>(n));
    // Everything this piece completes goes out before the next receive.
    for (bool more = true; more;) {
      const runstream::OutputEvent event = decoder.Next();
      bool written = true;
      switch (event.kind) {
        case runstream::OutputEvent::Kind::Start:
          header = event.start;
          if (onStarted) onStarted(event.start);
          if (event.start.systemTray) {
            const runstream::Word ready = runstream::EncodeWord(1);
            const SendPiece piece{ready.data(), ready.size()};
            net::SendAll(s, {&piece, 1});
          }
          input = std::thread(PumpInput, s, std::ref(reader), std::ref(inputBuffer));
          break;
        case runstream::OutputEvent::Kind::Data:
          anyOutput = true;
          written = batch.Add(event.stream == runstream::kStderrStream ? errFd : outFd, event.data);
          break;
        case runstream::OutputEvent::Kind::NeedMore:
          written = batch.Flush();
          more = false;
          break;
        case runstream::OutputEvent::Kind::End:
          written = batch.Flush();
          more = false;
          ended = true;
          break;
        case runstream::OutputEvent::Kind::Malformed:
          batch.Flush();
          return Failure("malformed output frame from the server");
      }
      if (!written) {
        // Nobody reads what the job writes: leave, as a filter does when its
        // reader is gone. The server sees the connection end.
        return {RunOutcome::Kind::OutputClosed, 0, "", std::strerror(errno)};
      }
    }
  }
  try {
    XDRWRAP reply;
    const runstream::ByteQueue& rest = decoder.queue();
    ReceiveMessage(reply, s,
                   std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    const messages::RunServerScriptReply answer = messages::DecodeRunServerScriptReply(reply);
    if (const auto* ran = std::get_if<messages::RunScriptRan>(&answer)) {
      RunOutcome outcome{RunOutcome::Kind::Ran, ran->exitCode, ran->title, ""};
      // A started job's header carries its display options (standard output
      // is displayed unless the job says otherwise) and the reply its title,
      // "Kestrun" when it has none; a job without a program gets the zero
      // header, no output and its title, empty when it has none.
      outcome.nothingRan = header == runstream::StartHeader{} && !anyOutput && ran->exitCode == 0 &&
                           outcome.title != "Kestrun";
      return outcome;
    }
    return {RunOutcome::Kind::Refused, 0, "", std::get<messages::RunScriptRefused>(answer).message};
  } catch (const DecodeFailure& e) {
    return Failure(NoAnswer(server, e));
  }
}

}  // namespace kestrun::client
