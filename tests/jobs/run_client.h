// Test client for RUN_SERVER_SCRIPT: sends the request with exactly the
// fields a test chooses, then reads the raw bytes of the run (start header,
// frames, end word) and the reply message, each step on the test's command.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/transport.h"

namespace kestrun::test {

// The request's fields; a test names the job and changes what it needs:
// RunFields("CAT").User("bob").Node("pc2").
struct RunFields {
  explicit RunFields(std::string jobName) : job(std::move(jobName)) {}
  RunFields& User(std::string v) {
    user = std::move(v);
    return *this;
  }
  RunFields& Params(std::vector<std::string> v) {
    params = std::move(v);
    return *this;
  }
  RunFields& ParamCount(int32_t v) {
    paramCount = v;
    return *this;
  }
  RunFields& Blocks(std::function<void(XDRWRAP&)> v) {
    blocks = std::move(v);
    return *this;
  }
  RunFields& Node(std::string v) {
    node = std::move(v);
    return *this;
  }
  RunFields& StdinFileName(std::string v) {
    stdinFileName = std::move(v);
    return *this;
  }

  std::string job;
  std::string user = "ann";
  std::vector<std::string> params;
  // The parameter count sent; nullopt sends params.size().
  std::optional<int32_t> paramCount;
  // Writes fields 5 to 8 (the four blocks); unset sends empty blocks.
  std::function<void(XDRWRAP&)> blocks;
  std::string node = "pc1";
  int32_t processId = 4242;
  std::string stdinFileName;
};

// What came back between the start header and the end word.
struct RunOutput {
  std::string out;
  std::string err;
  size_t frames = 0;
  bool endWord = false;  // false: the connection ended first
};

// The reply message's fields.
struct RunReply {
  int32_t status = -1;  // the enum; -1 when there was no field at all
  int32_t code = 0;
  int32_t exitCode = 0;
  std::string text;  // title, or the message of a refusal
};

class RunClient {
 public:
  // Connects to the server on loopback and sends the request.
  RunClient(int port, const RunFields& fields);
  bool connected() const { return connection_.has_value(); }

  // Reads `count` raw bytes; what arrived when the connection ended first.
  std::string ReadRaw(size_t count);
  std::array<uint32_t, 5> Header();
  void SendRaw(const std::string& bytes);
  void SendChunk(const std::string& data);  // length and data
  void SendEndOfInput();                    // the zero-length chunk
  // Reads frames up to and including the end word.
  RunOutput ReadOutput();
  // Reads frames until the standard output collected holds `text`.
  bool ReadOutputUntil(const std::string& text, RunOutput& output);
  RunReply Reply();
  void Close() { connection_.reset(); }

 private:
  bool ReadFrame(RunOutput& output);
  std::optional<ServerConnection> connection_;
};

// Big-endian word of four bytes.
uint32_t WordAt(const std::string& bytes, size_t offset);

}  // namespace kestrun::test
