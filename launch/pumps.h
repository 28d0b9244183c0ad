// The stream pumps of a run: three threads that carry a program's standard
// input from the client (or from a given text) into its input pipe, and its
// standard output and error from their pipes to the client, or into a
// capture buffer.
//
// Threads: StdInThread, StdOutThread and StdErrThread, one set per run,
// started by StreamPumps::Start and joined by StreamPumps::Finish on the
// launching thread. StdInThread only receives from the client socket; the two
// output threads only send on it.
// Sharing: the run's send lock (StreamPumps::sendLock_) is held by an output
// thread for the whole of one send, so frames of the two streams never
// interleave on the socket; no other lock is taken while it is held. Each
// stream's CaptureBuffer fields are written by that stream's thread alone and
// read by the launcher only after the stream's capture-complete event or
// after Finish. A pump's socket and capture targets are atomics read afresh
// for every chunk, so a preloaded program's pumps can be pointed at a new run
// while they run.
//
// Client wire format: the run stream of protocol/run_stream.h (input chunks
// in, output frames out).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/unique_fd.h"
#include "platform/wakeup.h"
#include "protocol/run_stream.h"
#include "protocol/socket.h"

namespace kestrun {

inline constexpr size_t kMaxFrameData = runstream::kMaxFrameData;
// Largest pipe read of the pass-through phase; it goes out as consecutive
// frames of at most kMaxFrameData bytes in one send. Every running job at
// full speed holds one such area: larger reads save little per byte once a
// read costs one system call per 128 KB.
inline constexpr size_t kPassThroughRead = 128 * 1024;
// An output pump's first read area; it grows to kPassThroughRead once a read
// fills it.
inline constexpr size_t kFirstOutputRead = 16 * 1024;
// The room asked for in a job's standard output pipe.
inline constexpr size_t kOutputPipeRoom = 1024 * 1024;
// Input chunks are received and written in pieces of at most this size: an
// announced length is never allocated.
inline constexpr size_t kInputPiece = 64 * 1024;
inline constexpr char kEndOfTransmission = 0x04;

enum StreamCode : uint32_t {
  kStdoutStream = runstream::kStdoutStream,
  kStderrStream = runstream::kStderrStream
};

// A run's captured output, and the input it is given. Owned by the run's
// launcher (capture mode returns it to its caller).
struct CaptureBuffer {
  std::string stdoutData;  // captured standard output; its size is the stdout length
  std::string stderrData;  // captured standard error
  std::string stdinData;   // standard input given to the program
  // Set once a 0x04 byte was seen on the stream: later output goes to the client.
  bool stdoutPassedThrough = false;
  bool stderrPassedThrough = false;
};

// A copy of a run's output as it is read from the program (the run history
// keeps it). Called on the stream's pump thread for every read of the
// pass-through phase, client or not; must return quickly, and may only wait
// (briefly, boundedly) for the history's own writer, never for a peer.
class OutputTap {
 public:
  virtual ~OutputTap() = default;
  virtual void Output(StreamCode stream, const char* data, size_t size) = 0;
};

// What one pump works with. Owned by StreamPumps, alive until its thread ended.
struct PumpContext {
  std::atomic<CaptureBuffer*> capture{nullptr};
  std::atomic<SocketHandle> socket{kInvalidSocket};  // kInvalidSocket: no client
  UniqueFd pipe;                   // the server's end: write end for input, read end for output
  AutoResetEvent captureComplete;  // output pumps: the capture phase ended
  std::mutex* sendLock = nullptr;  // output pumps: the run's send lock
  // Output pumps: set (under the send lock) once a send to the client failed;
  // the other pump then sends nothing more instead of waiting out its own
  // time-out on the same dead client.
  bool* clientGone = nullptr;
  FileHandle stop = kInvalidFile;  // input pump: signalled once the program has ended
  // Output pumps: signalled once the run was killed and its program has
  // ended. Something that escaped the kill may still hold the pipe; the pump
  // then takes at most kReadsAfterKill more reads of output already there
  // and ends.
  FileHandle killed = kInvalidFile;
  OutputTap* tap = nullptr;  // output pumps: not owned; null for none
};

inline constexpr int kReadsAfterKill = 16;
// Once the run was killed and its program ended, a client that takes no
// output for this long is given up, instead of waiting out the socket's
// send time-out for every send.
inline constexpr std::chrono::milliseconds kKilledSendPatience{2000};

// Receives exactly `count` bytes (count > 0): 0 when they all arrived, -1 when
// the connection failed or closed first.
int ReadAll(SocketHandle socket, void* buffer, size_t count);

// The pumps. Each returns its thread exit code: 0, or 1 for a communication
// failure (the client connection failed or closed during the run, or the
// program stopped reading while the client was still sending).
//
// StdInThread with a capture record writes its stdinData and closes the pipe
// (a program that stops reading ends the write; exit code 0). Without one it
// relays the client's chunks until a zero length, writing each in pieces of
// at most kInputPiece bytes. A write failure other than a broken pipe drops
// the rest of that chunk. When the stop wake-up is signalled while it waits
// between chunks it closes the pipe and returns 0; in the middle of a chunk,
// 1. It always closes the pipe before returning.
int StdInThread(PumpContext& context);
// The output pumps read until the program's end of the pipe is closed. In the
// capture phase (a capture record whose passed-through flag is clear) they
// read at most kMaxFrameData bytes at a time and keep what comes before the
// first 0x04 byte; the rest of that read is dropped, the flag set and the
// event signalled. Otherwise each read goes to the client as frames (dropped
// without a client). After a failed send they go on reading and drop
// everything, so the program never blocks on a full pipe, and return 1. A
// send fails when the socket's send time-out passes without progress (the
// server sets one on every client connection). They also end once their
// `killed` wake-up is signalled (see PumpContext).
int StdOutThread(PumpContext& context);
int StdErrThread(PumpContext& context);

// Starts a thread running `body`; throws std::system_error when it cannot.
// Empty: std::thread. Tests inject one that fails.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The three pumps of one run.
class StreamPumps {
 public:
  // Takes the server's ends of the run's pipes and the wake-up used to end
  // the input pump. `client` may be kInvalidSocket, `capture` null.
  StreamPumps(UniqueFd stdinWrite, UniqueFd stdoutRead, UniqueFd stderrRead, Wakeup stop,
              SocketHandle client, CaptureBuffer* capture, ThreadStarter startThread = {});
  StreamPumps(const StreamPumps&) = delete;
  StreamPumps& operator=(const StreamPumps&) = delete;
  // Finishes the pumps if Finish was not called.
  ~StreamPumps();

  // Starts StdInThread, StdOutThread and StdErrThread, in this order.
  // Returns 0, or the error code when a thread could not be created: then
  // the pipe of every pump that did not start is closed (the program gets a
  // broken pipe rather than a pipe nobody reads), and the caller must end the
  // program and call Finish.
  int Start();
  // Starts the pumps like Start, except that StdOutThread runs on the
  // calling thread and this returns once the program's standard output has
  // ended. For launchers with nothing else to do meanwhile (capture mode):
  // one thread fewer per run. When a thread cannot be created nothing is
  // pumped and the error code is returned at once, as for Start.
  int StartAndPumpOutput();
  // Before Start: the output pumps end once `killed` is signalled, even if
  // the pipes are still held (see PumpContext::killed). Not owned.
  void StopOutputOn(FileHandle killed) { output_.killed = error_.killed = killed; }
  // Before Start: every read of the output pumps is also given to `tap`
  // (null: none), which must outlive Finish.
  void TapOutput(OutputTap* tap) { output_.tap = error_.tap = tap; }
  // Call once the program has ended. Waits for the output pumps (they end
  // when every holder of the program's ends of the pipes is gone, or once
  // their kill wake-up is signalled), then ends
  // the input pump if it still waits for the client, and waits for it. True
  // when any pump returned 1.
  bool Finish();

  PumpContext& input() { return input_; }
  PumpContext& output() { return output_; }
  PumpContext& error() { return error_; }

 private:
  int StartThreads(bool outputOnCaller);
  ThreadStarter startThread_;
  std::mutex sendLock_;      // the run's send lock, see the file comment
  bool clientGone_ = false;  // guarded by sendLock_
  PumpContext input_, output_, error_;
  Wakeup stop_;
  std::thread threads_[3];
  int codes_[3] = {0, 0, 0};
  bool finished_ = false;
};

}  // namespace kestrun
