// One run over a WebSocket.
#include <algorithm>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <deque>
#include <span>

#include "history/run_history.h"
#include "launch/running_jobs.h"
#include "platform/thread.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/run.h"
#include "protocol/run_stream.h"
#include "web/console_impl.h"
#include "web/json_requests.h"

namespace kestrun::web {

namespace json = boost::json;

namespace {

// The most read from the run at a time, which bounds a batch (one WebSocket
// message, sent as one frame in one write). Once each batch is one write,
// 32 KB costs little more per byte than larger batches, which would hold
// more memory per run (a run holds its read area and one batch).
constexpr size_t kPipeRead = 32 * 1024;

// One run over a WebSocket: bridges the browser and the run's handler,
// which streams on one end of a socket pair from a worker thread.
template <class Stream>
class RunSocket : public std::enable_shared_from_this<RunSocket<Stream>> {
 public:
  RunSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<Stream> ws, Caller caller,
            std::string job)
      : console_(std::move(console)),
        ws_(std::move(ws)),
        pipe_(ws_.get_executor()),
        caller_(std::move(caller)),
        job_(std::move(job)) {}

  void Start(Request request) {
    ws_.read_message_max(kMaxMessageBytes);
    // Each message goes out as one frame in one write: Beast would otherwise
    // cut a batch into frames of its 4 KB write buffer, each its own write.
    ws_.auto_fragment(false);
    ws_.set_option(websocket::stream_base::timeout{console_->headTime, console_->idleTime, true});
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& r) { AddSecurityHeaders(r); }));
    ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->ReadFirst();
    });
  }

 private:
  void ReadFirst() {
    ws_.async_read(in_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return;
      self->Begin();
    });
  }

  void Begin() {
    const std::string text = beast::buffers_to_string(in_.data());
    in_.consume(in_.size());
    Parsed<DialogValues> parsed = ParseDialogValues(text);
    if (auto* bad = std::get_if<BadRequest>(&parsed)) return Refuse(bad->error);
    DialogValues values = std::move(std::get<DialogValues>(parsed));
    int error = 0;
    auto pair = net::ConnectedPair(&error);
    if (!pair) return Refuse("Could not start the run: no socket pair");
    boost::system::error_code ec;
    pipe_.assign(asio::local::stream_protocol(), pair->second.release(), ec);
    if (ec) return Refuse("Could not start the run: " + ec.message());
    auto handlerEnd = std::make_shared<Socket>(std::move(pair->first));
    messages::RunServerScriptRequest request;
    request.programId = job_;
    request.clientUser = caller_.user;
    request.parameters = values.arguments;
    request.blocks.fields.values = values.fields;
    request.blocks.listBox.selections = values.selections;
    request.blocks.listBox.headings = values.headings;
    request.blocks.listBox.variables = values.listBox;
    request.clientNode = caller_.node;
    request.clientProcessId = caller_.clientId;
    auto self = this->shared_from_this();
    const bool spawned = console_->workers.Spawn([self, handlerEnd, request] {
      ServerContext& server = self->console_->server;
      NativeCaller caller{self->caller_.address, handlerEnd->get(), history::kOriginWeb, {}};
      // Called on this thread, before any output of the run is sent.
      int64_t runId = 0;
      caller.runStarted = [self, &server, &runId](int64_t id) {
        runId = id;
        uint32_t pid = 0;
        const uint32_t me = CurrentThreadId();
        for (const RunningJob& job : server.runningJobs->ListRunningJobs())
          if (job.ownerThreadId == me) pid = job.processId;
        asio::post(self->ws_.get_executor(), [self, id, pid] { self->Started(id, pid); });
      };
      std::optional<messages::RunServerScriptReply> reply;
      try {
        XDRWRAP answer = CallNative(server, self->console_->api.lookup(), request, caller);
        reply = messages::DecodeRunServerScriptReply(answer);
      } catch (const DecodeFailure&) {
      }
      handlerEnd->Close();
      std::string outcome = history::kExited;
      if (runId > 0 && server.history != nullptr)
        if (auto record = server.history->FindRun(runId); record && !record->outcome.empty())
          outcome = record->outcome;
      asio::post(self->ws_.get_executor(),
                 [self, reply, outcome] { self->HandlerDone(reply, outcome); });
    });
    if (!spawned) return Refuse("Could not start the run: no thread");
    ReadPipe();
    ReadBrowser();
  }

  void Refuse(const std::string& message) {
    Send(true, json::serialize(json::object{{"type", "refused"}, {"message", message}}));
    closeAfterWrites_ = true;
    Flush();
  }

  // The run has its history id and process: announced once the run
  // stream's start header (which says whether the job may be stopped) has
  // been read as well.
  void Started(int64_t runId, uint32_t pid) {
    runId_ = runId;
    pid_ = pid;
    runKnown_ = true;
    AnnounceStart();
  }

  void AnnounceStart() {
    if (started_ || !runKnown_ || !headerSeen_) return;
    started_ = true;
    Send(true, json::serialize(json::object{{"type", "started"},
                                            {"run", runId_},
                                            {"pid", pid_},
                                            {"allowstop", header_.stopId != 0}}));
    for (auto& [text, data] : held_) Send(text, std::move(data));
    held_.clear();
    Flush();
  }

  void HandlerDone(const std::optional<messages::RunServerScriptReply>& reply,
                   const std::string& outcome) {
    handlerDone_ = true;
    if (!reply) {
      ending_ = json::serialize(json::object{
          {"type", "ended"}, {"exit_code", -1}, {"outcome", history::kConnectionLost}});
    } else if (const auto* refused = std::get_if<messages::RunScriptRefused>(&*reply)) {
      if (!started_) {
        ending_ = json::serialize(json::object{{"type", "refused"}, {"message", refused->message}});
      } else {
        ending_ = json::serialize(json::object{{"type", "ended"},
                                               {"exit_code", -1},
                                               {"outcome", outcome},
                                               {"message", refused->message}});
      }
    } else {
      const auto& ran = std::get<messages::RunScriptRan>(*reply);
      if (!started_) {  // ran without a start announced: announce it now
        headerSeen_ = true;
        Started(runId_, pid_);
      }
      ending_ = json::serialize(
          json::object{{"type", "ended"}, {"exit_code", ran.exitCode}, {"outcome", outcome}});
    }
    MaybeEnd();
  }

  void MaybeEnd() {
    if (!handlerDone_ || !streamEnded_ || ended_) return;
    ended_ = true;
    Send(true, ending_);
    closeAfterWrites_ = true;
    Flush();
  }

  // Output of the run, read from our end of the pair and passed on.
  // At most kPipeRead bytes at a time (one batch).
  void ReadPipe() {
    std::span<char> area = decoder_.queue().Area(kPipeRead);
    pipe_.async_read_some(
        asio::buffer(area.data(), std::min(area.size(), kPipeRead)),
        [self = this->shared_from_this()](beast::error_code ec, size_t n) { self->OnPipe(ec, n); });
  }

  void OnPipe(beast::error_code ec, size_t n) {
    if (ec) {
      streamEnded_ = true;
      return MaybeEnd();
    }
    decoder_.queue().Commit(n);
    // A batch never holds more than what was received: its room is taken
    // once, not grown by doubling.
    const size_t room = decoder_.queue().size() + 1;
    // The room of the last batch written is taken again: no allocation
    // and no fresh pages per batch.
    std::string batch = std::move(spare_);
    batch.clear();
    uint32_t batchStream = 0;
    auto flushBatch = [&] {
      if (batch.size() > 1) Output(std::move(batch));
      batch = std::string();
    };
    for (;;) {
      const runstream::OutputEvent e = decoder_.Next();
      if (e.kind == runstream::OutputEvent::Kind::NeedMore) break;
      if (e.kind == runstream::OutputEvent::Kind::Start) {
        header_ = e.start;
        headerSeen_ = true;
        AnnounceStart();
        continue;
      }
      if (e.kind == runstream::OutputEvent::Kind::Data) {
        if (!batch.empty() && batchStream != e.stream) flushBatch();
        if (batch.empty()) {
          batch.reserve(room);
          batchStream = e.stream;
          batch.push_back(static_cast<char>(e.stream == runstream::kStderrStream ? 2 : 1));
        }
        batch.append(e.data);
        continue;
      }
      // The end word or a broken stream: nothing more comes.
      flushBatch();
      streamEnded_ = true;
      Flush();
      return MaybeEnd();
    }
    flushBatch();
    Flush();
    // The next read waits for the browser to take what was sent: a slow
    // browser slows the run's output as a slow native client does.
    if (writing_ && !browserGone_) {
      pipeWaiting_ = true;
      return;
    }
    ReadPipe();
  }

  void Output(std::string data) {
    if (browserGone_) return;
    if (!started_) {
      held_.emplace_back(false, std::move(data));
      return;
    }
    Send(false, std::move(data));
  }

  // Messages from the browser: standard input and control.
  void ReadBrowser() {
    ws_.async_read(in_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      self->OnBrowser(ec);
    });
  }

  void OnBrowser(beast::error_code ec) {
    if (ec) return BrowserGone();
    std::string data = beast::buffers_to_string(in_.data());
    in_.consume(in_.size());
    if (!ws_.got_text()) {
      if (!data.empty() && !inputEnded_) WriteInput(runstream::EncodeChunk(data));
    } else {
      Parsed<RunControl> control = ParseRunControl(data);
      if (auto* bad = std::get_if<BadRequest>(&control)) {
        Send(true, json::serialize(json::object{{"type", "error"}, {"message", bad->error}}));
        Flush();
      } else if (std::get<RunControl>(control).kind == RunControl::Kind::Eof) {
        EndInput();
      } else {
        Stop();
      }
    }
    ReadBrowser();
  }

  void Stop() {
    if (header_.stopId == 0) {
      Send(true, json::serialize(
                     json::object{{"type", "error"}, {"message", "This job cannot be stopped"}}));
      return Flush();
    }
    auto self = this->shared_from_this();
    const bool spawned = console_->workers.Spawn([self, stopId = header_.stopId] {
      CallNative(self->console_->server, self->console_->api.lookup(),
                 messages::StopRequest{stopId}, AtAddress(self->caller_.address));
    });
    if (!spawned) {
      Send(true,
           json::serialize(json::object{{"type", "error"}, {"message", "The server is busy"}}));
      Flush();
    }
  }

  void EndInput() {
    if (inputEnded_) return;
    inputEnded_ = true;
    WriteInput(runstream::EncodeChunk({}));
  }

  void WriteInput(std::string chunk) {
    input_.push_back(std::move(chunk));
    if (input_.size() == 1) WriteNextInput();
  }

  void WriteNextInput() {
    asio::async_write(pipe_, asio::buffer(input_.front()),
                      [self = this->shared_from_this()](beast::error_code ec, size_t) {
                        self->input_.pop_front();
                        if (ec) {
                          self->input_.clear();
                          return;
                        }
                        if (!self->input_.empty()) self->WriteNextInput();
                      });
  }

  // The browser went away: the run goes on, its input ends and its output
  // is read and dropped as a native client's would be lost.
  void BrowserGone() {
    if (browserGone_) return;
    browserGone_ = true;
    outgoing_.clear();
    held_.clear();
    EndInput();
    if (pipeWaiting_) {
      pipeWaiting_ = false;
      ReadPipe();
    }
  }

  void Send(bool text, std::string data) {
    if (browserGone_) return;
    outgoing_.emplace_back(text, std::move(data));
  }

  void Flush() {
    if (writing_ || browserGone_) return;
    if (outgoing_.empty()) {
      if (closeAfterWrites_ && !closing_) {
        closing_ = true;
        ws_.async_close(websocket::close_code::normal,
                        [self = this->shared_from_this()](beast::error_code) {});
      }
      return;
    }
    writing_ = true;
    ws_.text(outgoing_.front().first);
    ws_.async_write(asio::buffer(outgoing_.front().second),
                    [self = this->shared_from_this()](beast::error_code ec, size_t) {
                      self->writing_ = false;
                      if (ec) return self->BrowserGone();
                      if (!self->outgoing_.front().first)
                        self->spare_ = std::move(self->outgoing_.front().second);
                      self->outgoing_.pop_front();
                      if (!self->outgoing_.empty() || self->closeAfterWrites_) return self->Flush();
                      if (self->pipeWaiting_) {
                        self->pipeWaiting_ = false;
                        self->ReadPipe();
                      }
                    });
  }

  std::shared_ptr<ConsoleImpl> console_;
  WebSocket<Stream> ws_;
  asio::local::stream_protocol::socket pipe_;
  Caller caller_;
  std::string job_;
  beast::flat_buffer in_;
  // Room for one read and the start of a frame header left from the last.
  runstream::OutputDecoder decoder_{kPipeRead + 64};
  runstream::StartHeader header_;
  std::deque<std::pair<bool, std::string>> outgoing_, held_;
  std::deque<std::string> input_;
  std::string ending_;
  std::string spare_;  // a written batch, whose room the next batch takes
  int64_t runId_ = 0;
  uint32_t pid_ = 0;
  // Both must be true before "started" goes out (AnnounceStart).
  bool runKnown_ = false, headerSeen_ = false;
  bool started_ = false, handlerDone_ = false, streamEnded_ = false, ended_ = false;
  bool writing_ = false, pipeWaiting_ = false, browserGone_ = false, inputEnded_ = false;
  bool closeAfterWrites_ = false, closing_ = false;
};

}  // namespace

void StartRunSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<PlainStream> ws, Caller caller,
                    std::string job, Request request) {
  std::make_shared<RunSocket<PlainStream>>(std::move(console), std::move(ws), std::move(caller),
                                           std::move(job))
      ->Start(std::move(request));
}

void StartRunSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<TlsStream> ws, Caller caller,
                    std::string job, Request request) {
  std::make_shared<RunSocket<TlsStream>>(std::move(console), std::move(ws), std::move(caller),
                                         std::move(job))
      ->Start(std::move(request));
}

}  // namespace kestrun::web
