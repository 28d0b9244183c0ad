#include "tests/jobs/run_client.h"

#include <chrono>
#include <variant>

#include "protocol/run_stream.h"

namespace kestrun::test {

namespace {

constexpr std::chrono::milliseconds kWait{20000};

}  // namespace

uint32_t WordAt(const std::string& bytes, size_t offset) {
  return runstream::LoadWord(reinterpret_cast<const unsigned char*>(bytes.data() + offset));
}

RunClient::RunClient(int port, const RunFields& f) {
  connection_ = ConnectToServer(port, "127.0.0.1");
  if (!connection_) return;
  XDRWRAP m;
  messages::EncodeRequest(m, f.request);
  SendRequest(m, *connection_);
}

std::string RunClient::ReadRaw(size_t count) {
  std::string bytes;
  if (!connection_) return bytes;
  bytes.resize(count);
  size_t got = 0;
  while (got < count) {
    if (net::WaitReadable(connection_->socket.get(), kWait) != WaitResult::Ready) break;
    int error = 0;
    const long n =
        net::ReceiveSome(connection_->socket.get(), bytes.data() + got, count - got, &error);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

int RunClient::ReadToEnd() {
  if (!connection_) return -1;
  const SocketHandle s = connection_->socket.get();
  char discard[512];
  for (;;) {
    if (net::WaitReadable(s, kWait) != WaitResult::Ready) return -1;
    int error = 0;
    const long n = net::ReceiveSome(s, discard, sizeof discard, &error);
    if (n < 0) return error;
    if (n == 0) return 0;
  }
}

std::array<uint32_t, 5> RunClient::Header() {
  const std::string h = ReadRaw(runstream::kStartHeaderSize);
  if (h.size() < runstream::kStartHeaderSize)
    return {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  const runstream::StartHeader w =
      runstream::DecodeStartHeader(reinterpret_cast<const unsigned char*>(h.data()));
  return {w.stdoutMode, w.stderrMode, w.stopId, w.systemTray, w.trayHold};
}

void RunClient::SendRaw(const std::string& bytes) {
  if (!connection_) return;
  const SendPiece piece{bytes.data(), bytes.size()};
  net::SendAll(connection_->socket.get(), {&piece, 1});
}

void RunClient::SendChunk(const std::string& data) {
  SendRaw(runstream::EncodeChunk(data));
}

void RunClient::SendEndOfInput() {
  SendRaw(runstream::EncodeChunk(""));
}

bool RunClient::ReadFrame(RunOutput& output) {
  const std::string length = ReadRaw(4);
  if (length.size() < 4) return false;
  const uint32_t n = WordAt(length, 0);
  if (n == 0) {
    output.endWord = true;
    return false;
  }
  const std::string stream = ReadRaw(4);
  const std::string data = ReadRaw(n);
  if (stream.size() < 4 || data.size() < n) return false;
  (WordAt(stream, 0) == runstream::kStderrStream ? output.err : output.out) += data;
  ++output.frames;
  return true;
}

RunOutput RunClient::ReadOutput() {
  RunOutput output;
  while (ReadFrame(output)) {
  }
  return output;
}

bool RunClient::ReadOutputUntil(const std::string& text, RunOutput& output) {
  while (output.out.find(text) == std::string::npos)
    if (!ReadFrame(output)) return false;
  return true;
}

RunReply RunClient::Reply() {
  RunReply reply;
  if (!connection_) return reply;
  XDRWRAP m;
  try {
    ReceiveMessage(m, connection_->socket.get(), kWait);
    if (m.FieldsLeft() == 0) return reply;
    const messages::RunServerScriptReply answer = messages::DecodeRunServerScriptReply(m);
    if (const auto* ran = std::get_if<messages::RunScriptRan>(&answer)) {
      reply.status = 1;
      reply.exitCode = ran->exitCode;
      reply.text = ran->title;
    } else {
      reply.status = 0;
      reply.text = std::get<messages::RunScriptRefused>(answer).message;
    }
  } catch (const DecodeFailure&) {
    reply.status = -2;
  }
  return reply;
}

}  // namespace kestrun::test
