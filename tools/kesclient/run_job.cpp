#include "tools/kesclient/run_job.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol/transport.h"
#include "tools/kesclient/requests.h"

namespace kestrun::client {

namespace {

// Output can pause for as long as the job likes: frames are read without
// the message time-out.
constexpr std::chrono::milliseconds kNoTimeout{-1};
constexpr uint32_t kMaxFrame = 1 << 20;

uint32_t Word(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void PutWord(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void AddRequest(XDRWRAP& m, const RunRequest& r) {
  m.BeginEncode();
  m.AddEnum(kRunServerScript);
  m.AddString(r.job);
  m.AddString(r.user);
  const int32_t count = static_cast<int32_t>(r.args.size());
  m.AddLong(r.noTerminal ? count + 0x10000 : count);
  for (const std::string& a : r.args) m.AddString(a);
  m.AddLong(0);  // field block: no values
  m.AddLong(0);  // list-box block: no selections,
  m.AddLong(0);  //   no variables,
  m.AddLong(0);  //   no columns
  m.AddLong(0);  // passed-field block
  m.AddLong(0);  // passed list-box block: no selections,
  m.AddLong(0);  //   no variables
  m.AddString(r.node);
  m.AddLong(r.processId);
  m.AddString(r.stdinFileName);
}

// Forwards inputFd as chunks until end of input, then sends the empty chunk.
// Stops quietly when the connection fails (the run reports it) or when
// `cancelFd` becomes readable: a job that ends without reading its input must
// not wait for the user's next line.
void PumpInput(SocketHandle socket, int inputFd, int cancelFd) {
  std::vector<char> buffer(4 + 65536);
  for (;;) {
    pollfd fds[2] = {{inputFd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    ssize_t n = ::read(inputFd, buffer.data() + 4, buffer.size() - 4);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) n = 0;
    PutWord(reinterpret_cast<unsigned char*>(buffer.data()), static_cast<uint32_t>(n));
    const SendPiece piece{buffer.data(), static_cast<size_t>(n) + 4};
    if (net::SendAll(socket, {&piece, 1}) != 0 || n == 0) return;
  }
}

RunOutcome Failure(std::string message) {
  return {RunOutcome::Kind::Failed, 0, "", std::move(message)};
}

}  // namespace

RunOutcome RunJob(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
                  int errFd, const std::function<void(const StartHeader&)>& onStarted) {
  std::optional<ServerConnection> c = ConnectToServer(server.port, server.host);
  if (!c) return Failure("cannot connect to " + server.host + ":" + std::to_string(server.port));
  XDRWRAP m;
  AddRequest(m, request);
  SendRequest(m, *c);
  const SocketHandle s = c->socket.get();

  int cancel[2];
  if (::pipe2(cancel, O_CLOEXEC) != 0) return Failure("cannot create a pipe");
  std::thread input;
  // Ends the input thread on every way out of the run.
  struct StopInput {
    std::thread& thread;
    int (&fds)[2];
    ~StopInput() {
      [[maybe_unused]] const ssize_t n = ::write(fds[1], "x", 1);
      if (thread.joinable()) thread.join();
      ::close(fds[0]);
      ::close(fds[1]);
    }
  } stopInput{input, cancel};
  try {
    unsigned char h[20];
    ReadExactly(s, h, sizeof h, kNoTimeout);
    const StartHeader header{Word(h), Word(h + 4), Word(h + 8), Word(h + 12), Word(h + 16)};
    if (onStarted) onStarted(header);
    if (header.systemTray) {
      const unsigned char ready[4] = {0, 0, 0, 1};
      const SendPiece piece{ready, sizeof ready};
      net::SendAll(s, {&piece, 1});
    }
    input = std::thread(PumpInput, s, inputFd, cancel[0]);
    std::vector<char> data;
    for (;;) {
      unsigned char word[4];
      ReadExactly(s, word, sizeof word, kNoTimeout);
      const uint32_t length = Word(word);
      if (length == 0) break;
      if (length > kMaxFrame) return Failure("malformed output frame from the server");
      ReadExactly(s, word, sizeof word, kNoTimeout);
      const int fd = Word(word) == 1 ? errFd : outFd;
      data.resize(length);
      ReadExactly(s, data.data(), length, kNoTimeout);
      if (!WriteAll(fd, data.data(), length)) {
        // Nobody reads what the job writes: leave, as a filter does when
        // its reader is gone. The server sees the connection end.
        return {RunOutcome::Kind::OutputClosed, 0, "", std::strerror(errno)};
      }
    }
    XDRWRAP reply;
    ReceiveMessage(reply, s);
    if (reply.GetEnum() == 1) {
      reply.GetLong();
      const int32_t code = reply.GetLong();
      return {RunOutcome::Kind::Ran, code, reply.GetString(), ""};
    }
    return {RunOutcome::Kind::Refused, 0, "", reply.GetString()};
  } catch (const DecodeFailure&) {
    return Failure("communication with the server failed");
  }
}

}  // namespace kestrun::client
