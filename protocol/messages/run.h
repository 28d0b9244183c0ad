// RUN_SERVER_SCRIPT (type 1): a client runs a job.
//
// Request fields after the type:
//   string program id (the job's name, any case), string client user,
//   long parameter count P (above 65535: the low 16 bits are P and the
//   client asks for no terminal wrapper), P strings (the parameters),
//   the dialog blocks (messages/dialog_blocks.h), string client node,
//   long client process id, string standard-input file name.
//
// Between the request and the reply the connection carries the run stream
// (protocol/run_stream.h): the start header, the output frames and the end
// word, or 24 zero bytes for a job that is not started.
//
// Reply (after the run stream):
//   ran             enum 1, long 0, long exit code, string the job's title
//                   ("Kestrun" without one); a job without a program: exit
//                   code 0 and its title, maybe empty
//   refused         enum 0, string the reason: "Kestrun Job not found",
//                   the running-rule refusal, "Could not execute
//                   server-side script: <error text>", ...
//   connection failed during the run: no fields at all.
//
// The stream block: how the client handles the job's standard streams when
// it runs the job (GET_DIALOG_DATA hands it out):
//   enum stdin, enum stderr, enum stdout disposition (StreamDisposition),
//   string stdin file, string stderr file, string stdout file (the path given
//   with filechooser or file, variables expanded; "" without one).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/dialog_blocks.h"
#include "protocol/messages/message.h"

namespace kestrun::messages {

struct RunServerScriptRequest {
  static constexpr RequestType kType = RUN_SERVER_SCRIPT;
  std::string programId;
  std::string clientUser;
  bool noTerminal = false;
  std::vector<std::string> parameters;  // at most 65535 travel
  DialogBlocks blocks;
  std::string clientNode;
  int32_t clientProcessId = 0;
  std::string stdinFileName;
  void Encode(XDRWRAP& out) const;
  static RunServerScriptRequest Decode(XDRWRAP& in);
  bool operator==(const RunServerScriptRequest&) const = default;
};

enum class RunResult : int32_t { Refused = 0, Ran = 1 };

// The job ran (or had no program): its exit code and title.
struct RunScriptRan {
  static constexpr RunResult kResult = RunResult::Ran;
  int32_t exitCode = 0;
  std::string title;
  void Encode(XDRWRAP& out) const;          // the whole reply, result first
  static RunScriptRan Decode(XDRWRAP& in);  // the fields after the result
  bool operator==(const RunScriptRan&) const = default;
};

// The job was not started: why.
struct RunScriptRefused {
  static constexpr RunResult kResult = RunResult::Refused;
  std::string message;
  static RunScriptRefused JobNotFound() { return {"Kestrun Job not found"}; }
  // `error`: the system's text for the launch result.
  static RunScriptRefused LaunchFailed(const std::string& error) {
    return {"Could not execute server-side script: " + error};
  }
  void Encode(XDRWRAP& out) const;
  static RunScriptRefused Decode(XDRWRAP& in);
  bool operator==(const RunScriptRefused&) const = default;
};

using RunServerScriptReply = std::variant<RunScriptRan, RunScriptRefused>;
// Reads the result and the form it names (any result but 1 is a refusal).
RunServerScriptReply DecodeRunServerScriptReply(XDRWRAP& in);

enum class StreamDisposition : int32_t {
  Discard = 0,
  Display = 1,
  Popup = 2,
  Report = 3,
  FileChooser = 4,
  File = 5,
};

struct StreamBlock {
  StreamDisposition input = StreamDisposition::Display;
  StreamDisposition error = StreamDisposition::Display;
  StreamDisposition output = StreamDisposition::Display;
  std::string inputFile;
  std::string errorFile;
  std::string outputFile;
  void Encode(XDRWRAP& out) const;
  static StreamBlock Decode(XDRWRAP& in);
  bool operator==(const StreamBlock&) const = default;
};

}  // namespace kestrun::messages
