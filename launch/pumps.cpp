#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "launch/pumps.h"
#include "platform/interrupts.h"
#include "protocol/run_stream.h"

namespace kestrun {

namespace {

enum class Receive { Done, Failed, Woken };

// Receives exactly `count` bytes. While `stop` is valid, each wait for data
// also watches it; data already sent wins over the stop.
Receive ReceiveExactly(SocketHandle socket, char* area, size_t count, FileHandle stop) {
  size_t got = 0;
  while (got < count) {
    if (stop != kInvalidFile) {
      const InputWait wait = WaitForInput(socket, stop);
      if (wait == InputWait::Woken) return Receive::Woken;
      if (wait == InputWait::Failed) return Receive::Failed;
    }
    int error = 0;
    const long n = net::ReceiveSome(socket, area + got, count - got, &error);
    if (n <= 0) return Receive::Failed;
    got += static_cast<size_t>(n);
  }
  return Receive::Done;
}

// Receives what has arrived, at most `count` bytes, once there is some. A stop
// in the middle of a chunk is a failure (returns -1), as is a closed
// connection.
long ReceiveSome(SocketHandle socket, char* area, size_t count, FileHandle stop) {
  if (stop != kInvalidFile && WaitForInput(socket, stop) != InputWait::Ready) return -1;
  int error = 0;
  const long n = net::ReceiveSome(socket, area, count, &error);
  return n > 0 ? n : -1;
}

// Given input: writes the capture record's stdinData. A broken pipe ends
// the write; other failures are retried a few times, then given up.
int WriteGivenInput(PumpContext& c, const CaptureBuffer& capture) {
  constexpr int kRetries = 3;
  const std::string& data = capture.stdinData;
  size_t done = 0;
  int failures = 0;
  while (done < data.size()) {
    const size_t piece = std::min(kInputPiece, data.size() - done);
    const int error = WriteAll(c.pipe.get(), data.data() + done, piece);
    if (error == 0) {
      done += piece;
    } else if (error == EPIPE || ++failures > kRetries) {
      break;
    }
  }
  c.pipe.Reset();
  return 0;
}

// Client input: relays chunks until a zero length.
int RelayClientInput(PumpContext& c, SocketHandle socket) {
  std::vector<char> piece;
  for (;;) {
    unsigned char lengthField[runstream::kWordSize];
    switch (
        ReceiveExactly(socket, reinterpret_cast<char*>(lengthField), sizeof lengthField, c.stop)) {
      case Receive::Done:
        break;
      case Receive::Woken:  // the program has ended and nothing more came
        c.pipe.Reset();
        return 0;
      case Receive::Failed:
        c.pipe.Reset();
        return 1;
    }
    uint32_t remaining = runstream::LoadWord(lengthField);
    if (remaining == 0) {
      c.pipe.Reset();
      return 0;
    }
    bool dropping = false;  // a write failed: the rest of this chunk is dropped
    while (remaining > 0) {
      // Whatever part of the chunk has arrived is written at once: a client
      // may wait for the program's answer to the first bytes of a long chunk.
      const size_t want = std::min<size_t>(remaining, kInputPiece);
      if (piece.size() < want) piece.resize(want);
      const long size = ReceiveSome(socket, piece.data(), want, c.stop);
      if (size <= 0) {
        c.pipe.Reset();
        return 1;
      }
      remaining -= static_cast<uint32_t>(size);
      if (dropping) continue;
      const int error = WriteAll(c.pipe.get(), piece.data(), static_cast<size_t>(size));
      if (error == EPIPE) {  // the program no longer reads its input
        c.pipe.Reset();
        return 1;
      }
      if (error != 0) dropping = true;
    }
  }
}

// Sends `size` bytes as consecutive frames in one send under the run's send
// lock. Returns the send's error code, 0 on success.
int SendFrames(const PumpContext& c, SocketHandle socket, uint32_t stream, const char* data,
               size_t size) {
  constexpr size_t kMaxFrames = (kPassThroughRead + kMaxFrameData - 1) / kMaxFrameData;
  std::array<runstream::FrameHeader, kMaxFrames> headers;
  std::array<SendPiece, 2 * kMaxFrames> pieces;
  const size_t count = runstream::FramePieces(stream, data, size, headers, pieces);
  std::unique_lock<std::mutex> lock;
  if (c.sendLock) lock = std::unique_lock(*c.sendLock);
  if (c.clientGone && *c.clientGone) return EPIPE;
  // A send blocked behind a client that reads nothing must notice the kill
  // at once, not after the socket's send time-out: with a kill wake-up the
  // send waits on it too, and gives the client only the killed run's
  // patience once it fired.
  const std::span<const SendPiece> frames(pieces.data(), count);
  const net::SendWake wake{c.killed, kKilledSendPatience};
  const int error = net::SendAll(socket, frames, c.killed == kInvalidFile ? nullptr : &wake);
  if (error != 0 && c.clientGone) *c.clientGone = true;
  return error;
}

// The capture phase: the passed-through flag of `capture` (set to the
// pump's capture record) while it is clear, else null.
bool* CapturePhase(PumpContext& c, uint32_t stream, bool clientFailed, CaptureBuffer*& capture) {
  capture = c.capture.load();
  if (!capture || clientFailed) return nullptr;
  bool* passedThrough =
      stream == kStdoutStream ? &capture->stdoutPassedThrough : &capture->stderrPassedThrough;
  return *passedThrough ? nullptr : passedThrough;
}

// Gives one read to its capture record or its client (or drops it: no
// client, or the client failed before).
void PassOn(PumpContext& c, uint32_t stream, const char* begin, size_t n, bool& clientFailed) {
  if (clientFailed) return;
  // Read the targets again: a preloaded program's pumps may have been
  // pointed at a new run or step while the read waited.
  CaptureBuffer* capture = nullptr;
  bool* passedThrough = CapturePhase(c, stream, clientFailed, capture);
  const char* end = begin + n;
  if (passedThrough != nullptr) {
    std::string& data = stream == kStdoutStream ? capture->stdoutData : capture->stderrData;
    const char* eot = std::find(begin, end, kEndOfTransmission);
    data.append(begin, eot);
    if (eot != end) {
      *passedThrough = true;
      c.captureComplete.Set();
    }
    return;
  }
  const SocketHandle socket = c.socket.load();
  if (socket == kInvalidSocket) return;  // no client: dropped
  if (SendFrames(c, socket, stream, begin, n) != 0) clientFailed = true;
}

int OutputPump(PumpContext& c, uint32_t stream) {
  // The read area starts small and grows to kPassThroughRead once a read
  // fills it: a quiet stream (most standard errors, most short runs) never
  // holds a large one. Its bytes are never cleared: only what a read wrote
  // is used, and untouched pages cost nothing.
  size_t areaSize = kFirstOutputRead;
  std::unique_ptr<char[]> area = std::make_unique_for_overwrite<char[]>(areaSize);
  bool clientFailed = false;
  int readsAfterKill = 0;
  for (;;) {
    CaptureBuffer* capture = nullptr;
    // The capture phase reads one frame's worth at a time: its 0x04 rule
    // drops the rest of a read, which must not swallow more than that.
    const bool capturingBefore = CapturePhase(c, stream, clientFailed, capture) != nullptr;
    if (c.killed != kInvalidFile) {
      // Output already in the pipe wins over the wake-up, for a bounded
      // number of reads: an escaped writer cannot keep the run alive.
      if (WaitForInput(c.pipe.get(), c.killed) != InputWait::Ready) break;
      if (IsSignalled(c.killed) && ++readsAfterKill > kReadsAfterKill) break;
    }
    int error = 0;
    const long n =
        ReadSome(c.pipe.get(), area.get(), capturingBefore ? kMaxFrameData : areaSize, &error);
    if (n <= 0) break;  // every holder of the program's end has closed it
    PassOn(c, stream, area.get(), static_cast<size_t>(n), clientFailed);
    if (c.tap && !capturingBefore)
      c.tap->Output(static_cast<StreamCode>(stream), area.get(), static_cast<size_t>(n));
    if (static_cast<size_t>(n) == areaSize && areaSize < kPassThroughRead) {
      areaSize = kPassThroughRead;
      area = std::make_unique_for_overwrite<char[]>(areaSize);
    }
  }
  return clientFailed ? 1 : 0;
}

}  // namespace

int ReadAll(SocketHandle socket, void* buffer, size_t count) {
  return ReceiveExactly(socket, static_cast<char*>(buffer), count, kInvalidFile) == Receive::Done
             ? 0
             : -1;
}

int StdInThread(PumpContext& context) {
  // A program that has closed its input shows as EPIPE on this thread only.
  BlockBrokenPipeSignal();
  if (const CaptureBuffer* capture = context.capture.load())
    return WriteGivenInput(context, *capture);
  const SocketHandle socket = context.socket.load();
  if (socket == kInvalidSocket) {
    // No client and no given input: the program reads end-of-file at once.
    context.pipe.Reset();
    return 0;
  }
  return RelayClientInput(context, socket);
}

int StdOutThread(PumpContext& context) {
  return OutputPump(context, kStdoutStream);
}
int StdErrThread(PumpContext& context) {
  return OutputPump(context, kStderrStream);
}

}  // namespace kestrun

namespace kestrun {

StreamPumps::StreamPumps(UniqueFd stdinWrite, UniqueFd stdoutRead, UniqueFd stderrRead, Wakeup stop,
                         SocketHandle client, CaptureBuffer* capture, ThreadStarter startThread)
    : startThread_(std::move(startThread)), stop_(std::move(stop)) {
  input_.pipe = std::move(stdinWrite);
  output_.pipe = std::move(stdoutRead);
  error_.pipe = std::move(stderrRead);
  for (PumpContext* c : {&input_, &output_, &error_}) {
    c->socket = client;
    c->capture = capture;
  }
  output_.sendLock = error_.sendLock = &sendLock_;
  output_.clientGone = error_.clientGone = &clientGone_;
  input_.stop = stop_.fd();
}

StreamPumps::~StreamPumps() {
  Finish();
}

int StreamPumps::Start() {
  return StartThreads(false);
}

int StreamPumps::StartAndPumpOutput() {
  if (const int error = StartThreads(true)) {
    output_.pipe.Reset();
    return error;
  }
  codes_[1] = StdOutThread(output_);
  return 0;
}

int StreamPumps::StartThreads(bool outputOnCaller) {
  PumpContext* contexts[3] = {&input_, &output_, &error_};
  int (*pumps[3])(PumpContext&) = {StdInThread, StdOutThread, StdErrThread};
  // An input pump with nothing to carry (no client and no given input) would
  // only close the program's input: that is done here, without a thread, as
  // short captured runs are many.
  const CaptureBuffer* capture = input_.capture.load();
  const bool inputIdle =
      input_.socket.load() == kInvalidSocket && (capture == nullptr || capture->stdinData.empty());
  if (inputIdle) input_.pipe.Reset();
  for (int i = 0; i < 3; ++i) {
    if ((i == 0 && inputIdle) || (i == 1 && outputOnCaller)) continue;
    std::function<void()> body = [this, i, pump = pumps[i], c = contexts[i]] {
      codes_[i] = pump(*c);
    };
    try {
      threads_[i] = startThread_ ? startThread_(std::move(body)) : std::thread(std::move(body));
    } catch (const std::system_error& failure) {
      // Without its pump a stream's pipe would fill and block the program
      // for ever: close the pipes of this pump and of those not yet started.
      for (int k = i; k < 3; ++k) contexts[k]->pipe.Reset();
      return failure.code().value() != 0 ? failure.code().value() : EAGAIN;
    }
  }
  return 0;
}

bool StreamPumps::Finish() {
  if (finished_) return codes_[0] == 1 || codes_[1] == 1 || codes_[2] == 1;
  finished_ = true;
  if (threads_[1].joinable()) threads_[1].join();
  if (threads_[2].joinable()) threads_[2].join();
  stop_.Signal();
  if (threads_[0].joinable()) threads_[0].join();
  output_.pipe.Reset();
  error_.pipe.Reset();
  input_.pipe.Reset();
  return codes_[0] == 1 || codes_[1] == 1 || codes_[2] == 1;
}

}  // namespace kestrun
