// Test client for RUN_SERVER_SCRIPT: sends the request with exactly the
// fields a test chooses, then reads the raw bytes of the run (start header,
// frames, end word) and the reply message, each step on the test's command.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/messages/run.h"
#include "protocol/transport.h"

namespace kestrun::test {

// The request; a test names the job and changes what it needs:
// RunFields("CAT").User("bob").Node("pc2").
struct RunFields {
  explicit RunFields(std::string jobName) {
    request.programId = std::move(jobName);
    request.clientUser = "ann";
    request.clientNode = "pc1";
    request.clientProcessId = 4242;
  }
  RunFields& User(std::string v) {
    request.clientUser = std::move(v);
    return *this;
  }
  RunFields& Params(std::vector<std::string> v) {
    request.parameters = std::move(v);
    return *this;
  }
  RunFields& NoTerminal() {
    request.noTerminal = true;
    return *this;
  }
  RunFields& Blocks(messages::DialogBlocks v) {
    request.blocks = std::move(v);
    return *this;
  }
  RunFields& Node(std::string v) {
    request.clientNode = std::move(v);
    return *this;
  }
  RunFields& StdinFileName(std::string v) {
    request.stdinFileName = std::move(v);
    return *this;
  }

  messages::RunServerScriptRequest request;
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
  // Reads (and drops) until the connection ends: 0 for a clean end, else the
  // error code of the failed read (-1: no end within the wait).
  int ReadToEnd();

 private:
  bool ReadFrame(RunOutput& output);
  std::optional<ServerConnection> connection_;
};

// Big-endian word of four bytes.
uint32_t WordAt(const std::string& bytes, size_t offset);

}  // namespace kestrun::test
