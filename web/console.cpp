// The listener of the web console on Boost.Beast: HTTP sessions, the
// WebSocket runs and follows, TLS, static files. The design and the locks
// are described in web_console.h.
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <charconv>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "history/run_history.h"
#include "jobs/run_recording.h"
#include "launch/running_jobs.h"
#include "platform/thread.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/run.h"
#include "protocol/run_stream.h"
#include "web/api.h"
#include "web/json_requests.h"
#include "web/pam_login.h"
#include "web/sessions.h"
#include "web/web_console.h"
#include "web/workers.h"

namespace kestrun::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kHeadTime = 10s;  // a request head, from its first byte
constexpr std::chrono::milliseconds kIdleTime = 30s;  // a peer that sends or takes nothing
constexpr auto kLoginDelay = 1s;                      // the least time a failed login takes
constexpr const char* kCookie = "kestrun_session";
constexpr size_t kFollowBacklog = 64 * 1024 * 1024;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void AddSecurityHeaders(http::fields& f) {
  f.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  f.set("X-Content-Type-Options", "nosniff");
  f.set("X-Frame-Options", "DENY");
  f.set("Referrer-Policy", "no-referrer");
  f.set(http::field::cache_control, "no-store");
}

std::string_view Sv(beast::string_view s) {
  return {s.data(), s.size()};
}

std::string ContentTypeOf(std::string_view path) {
  static const std::map<std::string, std::string, std::less<>> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".gif", "image/gif"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
      {".map", "application/json"},
      {".woff2", "font/woff2"},
      {".wasm", "application/wasm"}};
  const size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && path.find('/', dot) == std::string_view::npos) {
    const auto it = kTypes.find(LowerCase(path.substr(dot)));
    if (it != kTypes.end()) return it->second;
  }
  return "application/octet-stream";
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t semi = header.find(';');
    std::string_view item = header.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.size() > name.size() && item.substr(0, name.size()) == name &&
        item[name.size()] == '=')
      return std::string(item.substr(name.size() + 1));
    if (semi == std::string_view::npos) break;
    header.remove_prefix(semi + 1);
  }
  return std::nullopt;
}

std::map<std::string, std::string> QueryOf(std::string_view query) {
  std::map<std::string, std::string> values;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const size_t eq = item.find('=');
    auto key = PercentDecode(item.substr(0, eq), true);
    auto value = PercentDecode(eq == std::string_view::npos ? "" : item.substr(eq + 1), true);
    if (key && value) values[*key] = *value;
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return values;
}

bool IsLoopback(const asio::ip::address& a) {
  return a.is_loopback();
}

uint32_t V4Of(const asio::ip::address& a) {
  if (a.is_v4()) return a.to_v4().to_uint();
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_uint();
  return 0;
}

// The stream of one connection, plain or TLS.
using PlainStream = beast::tcp_stream;
using TlsStream = ssl::stream<beast::tcp_stream>;

beast::tcp_stream& Lowest(PlainStream& s) {
  return s;
}
beast::tcp_stream& Lowest(TlsStream& s) {
  return s.next_layer();
}

}  // namespace

// What every connection shares.
class ConsoleImpl : public std::enable_shared_from_this<ConsoleImpl> {
 public:
  ConsoleImpl(ServerContext& server, HandlerLookup lookup, std::string home)
      : server(server),
        settings(server.config->web()),
        api(server, std::move(lookup)),
        webRoot(std::move(home) + "/web"),
        acceptor(ioc) {}

  ServerContext& server;
  const WebSettings settings;
  Api api;
  std::string webRoot;
  std::string pamConfigDir;
  asio::io_context ioc{2};
  std::optional<ssl::context> tls;
  tcp::acceptor acceptor;
  SessionTable sessions;
  LoginThrottle throttle;
  Workers workers;
  std::vector<std::thread> threads;
  int port = 0;
  std::chrono::milliseconds headTime = kHeadTime;
  std::chrono::milliseconds idleTime = kIdleTime;

  // The open connections: each one's close function and whether it waits
  // for a request (idle), by age. Guards `connections` and `nextId`.
  struct Open {
    std::function<void()> close;
    bool idle = false;
  };
  std::mutex connectionsLock;
  std::map<uint64_t, Open> connections;
  uint64_t nextId = 1;

  uint64_t Register(std::function<void()> close) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    const uint64_t id = nextId++;
    connections[id] = Open{std::move(close), false};
    return id;
  }
  void SetIdle(uint64_t id, bool idle) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    if (auto it = connections.find(id); it != connections.end()) it->second.idle = idle;
  }
  void Unregister(uint64_t id) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    connections.erase(id);
  }
  // Room for one more connection: at the limit the oldest idle one is
  // closed; false when every open connection is busy.
  bool MakeRoom() {
    std::function<void()> close;
    {
      std::lock_guard<std::mutex> hold(connectionsLock);
      if (connections.size() < kMaxConnections) return true;
      for (auto& [id, open] : connections) {
        if (open.idle) {
          close = std::move(open.close);
          connections.erase(id);
          break;
        }
      }
    }
    if (!close) return false;
    close();
    return true;
  }

  void Accept();
  void Log(const std::string& line) { LogMessage(*server.config, "%s", line.c_str()); }
};

namespace {

// One run over a WebSocket: bridges the browser and the run's handler,
// which streams on one end of a socket pair from a worker thread.
template <class Stream>
class RunSocket : public std::enable_shared_from_this<RunSocket<Stream>> {
 public:
  RunSocket(std::shared_ptr<ConsoleImpl> console, websocket::stream<Stream> ws, Caller caller,
            std::string job)
      : console_(std::move(console)),
        ws_(std::move(ws)),
        pipe_(ws_.get_executor()),
        caller_(std::move(caller)),
        job_(std::move(job)) {}

  void Start(Request request) {
    ws_.read_message_max(kMaxMessageBytes);
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
  void ReadPipe() {
    std::span<char> area = decoder_.queue().Area(256 * 1024);
    pipe_.async_read_some(
        asio::buffer(area.data(), area.size()),
        [self = this->shared_from_this()](beast::error_code ec, size_t n) { self->OnPipe(ec, n); });
  }

  void OnPipe(beast::error_code ec, size_t n) {
    if (ec) {
      streamEnded_ = true;
      return MaybeEnd();
    }
    decoder_.queue().Commit(n);
    std::string batch;
    uint32_t batchStream = 0;
    auto flushBatch = [&] {
      if (batch.size() > 1) Output(std::move(batch));
      batch.clear();
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
    console_->workers.Spawn([self, stopId = header_.stopId] {
      CallNative(self->console_->server, self->console_->api.lookup(),
                 messages::StopRequest{stopId}, AtAddress(self->caller_.address));
    });
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
                      self->outgoing_.pop_front();
                      if (!self->outgoing_.empty() || self->closeAfterWrites_) return self->Flush();
                      if (self->pipeWaiting_) {
                        self->pipeWaiting_ = false;
                        self->ReadPipe();
                      }
                    });
  }

  std::shared_ptr<ConsoleImpl> console_;
  websocket::stream<Stream> ws_;
  asio::local::stream_protocol::socket pipe_;
  Caller caller_;
  std::string job_;
  beast::flat_buffer in_;
  runstream::OutputDecoder decoder_;
  runstream::StartHeader header_;
  std::deque<std::pair<bool, std::string>> outgoing_, held_;
  std::deque<std::string> input_;
  std::string ending_;
  int64_t runId_ = 0;
  uint32_t pid_ = 0;
  // Both must be true before "started" goes out (AnnounceStart).
  bool runKnown_ = false, headerSeen_ = false;
  bool started_ = false, handlerDone_ = false, streamEnded_ = false, ended_ = false;
  bool writing_ = false, pipeWaiting_ = false, browserGone_ = false, inputEnded_ = false;
  bool closeAfterWrites_ = false, closing_ = false;
};

// A read-only follow of a live run's output over a WebSocket.
template <class Stream>
class FollowSocket : public std::enable_shared_from_this<FollowSocket<Stream>> {
 public:
  FollowSocket(std::shared_ptr<ConsoleImpl> console, websocket::stream<Stream> ws, int64_t id)
      : console_(std::move(console)), ws_(std::move(ws)), id_(id) {}

  void Start(Request request) {
    ws_.read_message_max(kMaxMessageBytes);
    ws_.set_option(websocket::stream_base::timeout{console_->headTime, console_->idleTime, true});
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& r) { AddSecurityHeaders(r); }));
    ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->Open();
      self->Read();
    });
  }

 private:
  void Open() {
    auto self = this->shared_from_this();
    console_->workers.Spawn([self] {
      history::RunHistory* history = self->console_->server.history;
      std::weak_ptr<FollowSocket> weak = self;
      auto executor = self->ws_.get_executor();
      auto handle =
          history->Follow(self->id_, [weak, executor](const history::OutputChunk& c, bool ended) {
            std::string data(1, static_cast<char>(c.stream == history::kStderr ? 2 : 1));
            data += c.data;
            asio::post(executor, [weak, data = std::move(data), ended] {
              if (auto s = weak.lock()) s->Live(std::move(data), ended);
            });
          });
      std::optional<history::StoredOutput> stored = history->ReadOutput(self->id_);
      auto follow = std::make_shared<std::optional<history::FollowHandle>>(std::move(handle));
      asio::post(executor, [self, stored = std::move(stored), follow]() mutable {
        self->Stored(std::move(stored), std::move(*follow));
      });
    });
  }

  void Stored(std::optional<history::StoredOutput> stored,
              std::optional<history::FollowHandle> follow) {
    follow_ = std::move(follow);
    if (stored)
      for (const history::OutputChunk& c : stored->chunks) {
        std::string data(1, static_cast<char>(c.stream == history::kStderr ? 2 : 1));
        Queue(false, data + c.data);
      }
    storedSent_ = true;
    for (auto& [data, ended] : pending_) {
      if (data.size() > 1) Queue(false, std::move(data));
      if (ended) liveEnded_ = true;
    }
    pending_.clear();
    if (!follow_) liveEnded_ = true;
    if (liveEnded_) Finish();
    Flush();
  }

  void Live(std::string data, bool ended) {
    if (!storedSent_) {
      pending_.emplace_back(std::move(data), ended);
      return;
    }
    if (data.size() > 1) Queue(false, std::move(data));
    if (ended) {
      liveEnded_ = true;
      Finish();
    }
    Flush();
  }

  void Finish() {
    if (finished_) return;
    finished_ = true;
    follow_.reset();
    auto self = this->shared_from_this();
    console_->workers.Spawn([self] {
      json::object end{{"type", "ended"}};
      if (auto r = self->console_->server.history->FindRun(self->id_)) {
        end["exit_code"] = r->exitCode;
        end["outcome"] = r->outcome;
      }
      asio::post(self->ws_.get_executor(), [self, text = json::serialize(end)] {
        self->Queue(true, text);
        self->closeAfterWrites_ = true;
        self->Flush();
      });
    });
  }

  void Queue(bool text, std::string data) {
    if (gone_) return;
    backlog_ += data.size();
    if (backlog_ > kFollowBacklog) return Gone();
    outgoing_.emplace_back(text, std::move(data));
  }

  void Read() {
    ws_.async_read(in_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Gone();
      self->in_.consume(self->in_.size());
      self->Read();
    });
  }

  void Gone() {
    gone_ = true;
    outgoing_.clear();
    follow_.reset();
    beast::error_code ignored;
    Lowest(ws_.next_layer()).socket().close(ignored);
  }

  void Flush() {
    if (writing_ || gone_) return;
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
                      if (ec) return self->Gone();
                      self->backlog_ -= self->outgoing_.front().second.size();
                      self->outgoing_.pop_front();
                      self->Flush();
                    });
  }

  std::shared_ptr<ConsoleImpl> console_;
  websocket::stream<Stream> ws_;
  int64_t id_;
  beast::flat_buffer in_;
  std::optional<history::FollowHandle> follow_;
  std::deque<std::pair<bool, std::string>> outgoing_;
  std::vector<std::pair<std::string, bool>> pending_;
  size_t backlog_ = 0;
  bool storedSent_ = false, liveEnded_ = false, finished_ = false;
  bool writing_ = false, gone_ = false, closeAfterWrites_ = false, closing_ = false;
};

// One HTTP connection: requests one after the other (keep-alive), each
// answered in order.
template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(std::shared_ptr<ConsoleImpl> console, Stream stream, asio::ip::address peer)
      : console_(std::move(console)), stream_(std::move(stream)), peer_(peer) {
    node_ = peer_.is_v6() && peer_.to_v6().is_v4_mapped()
                ? asio::ip::make_address_v4(asio::ip::v4_mapped, peer_.to_v6()).to_string()
                : peer_.to_string();
  }

  void Start() {
    std::weak_ptr<HttpSession> weak = this->shared_from_this();
    auto executor = stream_.get_executor();
    id_ = console_->Register([weak, executor] {
      asio::post(executor, [weak] {
        if (auto s = weak.lock()) s->Close();
      });
    });
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      Lowest(stream_).expires_after(console_->headTime);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Done();
                                self->WaitForRequest();
                              });
    } else {
      WaitForRequest();
    }
  }

  ~HttpSession() { console_->Unregister(id_); }

 private:
  void Close() {
    beast::error_code ignored;
    Lowest(stream_).socket().close(ignored);
  }
  void Done() { Close(); }

  // Between requests the connection is idle; its first byte starts the
  // head's clock.
  void WaitForRequest() {
    if (buffer_.size() > 0) return ReadHead();
    console_->SetIdle(id_, true);
    Lowest(stream_).expires_after(console_->idleTime);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                              self->console_->SetIdle(self->id_, false);
                              if (ec) return self->Done();
                              self->buffer_.commit(n);
                              self->ReadHead();
                            });
  }

  void ReadHead() {
    parser_.emplace();
    parser_->header_limit(kMaxHeadBytes);
    parser_->body_limit(kMaxBodyBytes);
    Lowest(stream_).expires_after(console_->headTime);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              if (ec) return self->Malformed(ec);
                              self->ReadBody();
                            });
  }

  void ReadBody() {
    Lowest(stream_).expires_after(console_->idleTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->Malformed(ec);
                       self->Serve(self->parser_->release());
                     });
  }

  void Malformed(beast::error_code ec) {
    if (ec == http::error::header_limit) return Fail(431, "The request head is too large");
    if (ec == http::error::body_limit) return Fail(413, "The request body is too large");
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset)
      return Done();
    Fail(400, "The request is malformed");
  }

  void Fail(int status, std::string_view text) {
    ApiReply reply = ErrorReply(status, text);
    Response r{static_cast<http::status>(status), 11};
    r.set(http::field::content_type, "application/json");
    r.body() = std::move(reply.body);
    r.keep_alive(false);
    Write(std::move(r));
  }

  // --- serving one request ---
  void Serve(Request request) {
    request_ = std::move(request);
    const std::string_view target = Sv(request_.target());
    const size_t q = target.find('?');
    path_ = std::string(target.substr(0, q));
    query_ = q == std::string_view::npos ? "" : std::string(target.substr(q + 1));
    if (console_->settings.proxyAuth && !ProxyPeerAllowed())
      return Answer(ErrorReply(403, "This address may not use the console"));
    if (path_.rfind("/api/", 0) != 0) return ServeFile();
    const std::string method(Sv(request_.method_string()));
    const std::string sub = path_.substr(5);
    if (sub == "login" && method == "POST") return Login();
    std::optional<Session> session = CurrentSession();
    if (!session) return Answer(ErrorReply(401, "Not logged in"));
    caller_ = Caller{session->user, session->node, V4Of(peer_), session->admin, session->clientId};
    caller_.node = node_;
    if (websocket::is_upgrade(request_)) return Upgrade(sub);
    if (method != "GET" && method != "HEAD" && !CsrfOk(*session))
      return Answer(ErrorReply(403, "Missing or wrong X-Kestrun-CSRF header"));
    if (sub == "logout" && method == "POST") {
      if (auto token = SessionCookie()) console_->sessions.Remove(*token);
      expireCookie_ = true;
      return Answer({204, {}});
    }
    if (sub == "me" && method == "GET")
      return Answer({200, json::serialize(json::object{{"user", session->user},
                                                       {"node", node_},
                                                       {"admin", session->admin},
                                                       {"csrf", session->csrf}})});
    auto self = this->shared_from_this();
    std::string body = request_.body();
    if (!console_->workers.Spawn([self, method, sub, body = std::move(body)] {
          ApiReply reply =
              self->console_->api.Handle(self->caller_, method, sub, QueryOf(self->query_), body);
          asio::post(self->stream_.get_executor(), [self, reply = std::move(reply)]() mutable {
            self->Answer(std::move(reply));
          });
        }))
      Answer(ErrorReply(503, "The server is busy"));
  }

  bool ProxyPeerAllowed() const {
    const uint32_t v4 = V4Of(peer_);
    for (const uint32_t a : console_->settings.proxyAddresses)
      if (a == v4) return true;
    return false;
  }

  std::optional<std::string> SessionCookie() const {
    const auto it = request_.find(http::field::cookie);
    if (it == request_.end()) return std::nullopt;
    return CookieValue(Sv(it->value()), kCookie);
  }

  // The session of the request. In proxy mode the proxy's header names the
  // user: a session of another user does not count, and a request without
  // one gets a new session (its cookie goes with the reply).
  std::optional<Session> CurrentSession() {
    std::optional<Session> session;
    if (auto token = SessionCookie()) session = console_->sessions.Find(*token);
    if (!console_->settings.proxyAuth) return session;
    const auto it = request_.find(console_->settings.proxyHeader);
    if (it == request_.end() || it->value().empty()) return std::nullopt;
    const std::string user(Sv(it->value()));
    if (session && session->user == user) return session;
    return NewSession(user);
  }

  std::optional<Session> NewSession(const std::string& user) {
    Session s;
    s.user = user;
    s.node = node_;
    s.admin = console_->api.IsAdmin(user);
    std::optional<std::string> token = console_->sessions.Create(s);
    if (!token) return std::nullopt;
    newCookie_ = *token;
    return s;
  }

  bool CsrfOk(const Session& session) const {
    const auto it = request_.find("X-Kestrun-CSRF");
    return it != request_.end() && Sv(it->value()) == session.csrf;
  }

  void Login() {
    if (console_->settings.proxyAuth) {
      std::optional<Session> session = CurrentSession();
      if (!session) return Answer(ErrorReply(401, "Login failed"));
      return Answer(
          {200, json::serialize(json::object{{"user", session->user}, {"csrf", session->csrf}})});
    }
    if (!console_->settings.tls() && !console_->settings.insecure && !IsLoopback(peer_))
      return Answer(ErrorReply(403, "Password logins need HTTPS"));
    Parsed<LoginBody> parsed = ParseLogin(request_.body());
    if (auto* bad = std::get_if<BadRequest>(&parsed)) return Answer(ErrorReply(400, bad->error));
    LoginBody login = std::move(std::get<LoginBody>(parsed));
    if (console_->throttle.Blocked(login.user, node_))
      return Answer(ErrorReply(429, "Too many failed logins; try again in a minute"));
    auto self = this->shared_from_this();
    if (!console_->workers.Spawn([self, login = std::move(login)] { self->CheckLogin(login); }))
      Answer(ErrorReply(503, "The server is busy"));
  }

  // On a worker thread: the PAM conversation, then the reply.
  void CheckLogin(const LoginBody& login) {
    const auto start = std::chrono::steady_clock::now();
    const WebSettings& settings = console_->settings;
    const bool ok =
        PamAuthenticate(settings.pamService, login.user, login.password, console_->pamConfigDir);
    ApiReply reply;
    std::string cookie;
    if (ok) {
      console_->throttle.Succeeded(login.user, node_);
      Session s;
      s.user = login.user;
      s.node = node_;
      s.admin = console_->api.IsAdmin(login.user);
      if (std::optional<std::string> token = console_->sessions.Create(s)) {
        cookie = *token;
        console_->Log(login.user + "@" + node_ + " logged in to the web console");
        reply = {200, json::serialize(json::object{{"user", s.user}, {"csrf", s.csrf}})};
      } else {
        reply = ErrorReply(500, "No session could be made");
      }
    } else {
      console_->throttle.Failed(login.user, node_);
      console_->Log(login.user + "@" + node_ + " failed to log in to the web console");
      // The same time for every failure, so that it tells nothing.
      std::this_thread::sleep_until(start + kLoginDelay);
      reply = ErrorReply(401, "Login failed");
    }
    asio::post(stream_.get_executor(), [self = this->shared_from_this(), reply, cookie]() mutable {
      self->newCookie_ = cookie;
      self->Answer(std::move(reply));
    });
  }

  std::string OwnOrigin() const {
    const auto it = request_.find(http::field::host);
    if (it == request_.end()) return {};
    return (console_->settings.tls() ? "https://" : "http://") + std::string(Sv(it->value()));
  }

  void Upgrade(const std::string& sub) {
    const auto origin = request_.find(http::field::origin);
    if (origin == request_.end() || Sv(origin->value()) != OwnOrigin())
      return Answer(ErrorReply(403, "The WebSocket's Origin is not this console"));
    const std::optional<std::vector<std::string>> parts = PathSegments(sub);
    if (!parts) return Answer(ErrorReply(400, "The path does not decode"));
    const std::vector<std::string>& p = *parts;
    Lowest(stream_).expires_never();
    if (p.size() == 3 && p[0] == "jobs" && p[2] == "run") {
      if (auto bad = CheckJobName(p[1])) return Answer(ErrorReply(400, bad->error));
      auto run = std::make_shared<RunSocket<Stream>>(
          console_, websocket::stream<Stream>(std::move(stream_)), caller_, p[1]);
      return run->Start(std::move(request_));
    }
    if (p.size() == 3 && p[0] == "runs" && p[2] == "follow") {
      int64_t id = 0;
      const auto [end, error] = std::from_chars(p[1].data(), p[1].data() + p[1].size(), id);
      if (error != std::errc() || end != p[1].data() + p[1].size() || id < 1)
        return Answer(ErrorReply(400, "The run id is not valid"));
      // Only a run the caller may see can be followed.
      auto self = this->shared_from_this();
      console_->workers.Spawn([self, id] {
        ApiReply check =
            self->console_->api.Handle(self->caller_, "GET", "runs/" + std::to_string(id), {}, {});
        asio::post(self->stream_.get_executor(), [self, id, check] {
          if (check.status != 200) return self->Answer(check);
          auto follow = std::make_shared<FollowSocket<Stream>>(
              self->console_, websocket::stream<Stream>(std::move(self->stream_)), id);
          follow->Start(std::move(self->request_));
        });
      });
      return;
    }
    Answer(ErrorReply(404, "Not found"));
  }

  void ServeFile() {
    const std::string method(Sv(request_.method_string()));
    if (method != "GET" && method != "HEAD") return Answer(ErrorReply(405, "Method not allowed"));
    std::optional<std::vector<std::string>> parts = PathSegments(path_);
    if (!parts) return Answer(ErrorReply(400, "The path does not decode"));
    std::string relative;
    for (const std::string& part : *parts) {
      // No climbing out of the folder and no hidden files.
      if (part.empty() || part[0] == '.' || part.find('\0') != std::string::npos ||
          part.find('\\') != std::string::npos)
        return Answer(ErrorReply(404, "Not found"));
      relative += "/" + part;
    }
    if (relative.empty()) relative = "/index.html";
    const std::string file = console_->webRoot + relative;
    std::error_code fsError;
    if (!std::filesystem::is_regular_file(file, fsError))
      return Answer(ErrorReply(404, "Not found"));
    http::file_body::value_type body;
    beast::error_code ec;
    body.open(file.c_str(), beast::file_mode::scan, ec);
    if (ec) return Answer(ErrorReply(404, "Not found"));
    http::response<http::file_body> r{http::status::ok, 11};
    r.set(http::field::content_type, ContentTypeOf(relative));
    AddSecurityHeaders(r);
    r.keep_alive(request_.keep_alive());
    if (method == "HEAD") {
      r.content_length(body.size());
      http::response<http::empty_body> head{http::status::ok, 11};
      head.base() = r.base();
      head.content_length(body.size());
      return WriteAny(std::move(head));
    }
    r.body() = std::move(body);
    r.prepare_payload();
    WriteAny(std::move(r));
  }

  void Answer(ApiReply reply) {
    Response r{static_cast<http::status>(reply.status), 11};
    if (!reply.body.empty()) r.set(http::field::content_type, "application/json");
    r.body() = std::move(reply.body);
    r.keep_alive(request_.keep_alive());
    std::string cookie;
    const std::string secure = console_->settings.tls() ? "; Secure" : "";
    if (!newCookie_.empty())
      r.set(http::field::set_cookie, std::string(kCookie) + "=" + newCookie_ +
                                         "; HttpOnly; SameSite=Strict; Path=/" + secure);
    else if (expireCookie_)
      r.set(http::field::set_cookie,
            std::string(kCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" + secure);
    newCookie_.clear();
    expireCookie_ = false;
    Write(std::move(r));
  }

  void Write(Response r) {
    AddSecurityHeaders(r);
    r.prepare_payload();
    WriteAny(std::move(r));
  }

  template <class Message>
  void WriteAny(Message message) {
    auto owned = std::make_shared<Message>(std::move(message));
    const bool keep = owned->keep_alive();
    Lowest(stream_).expires_after(console_->idleTime);
    http::async_write(stream_, *owned,
                      [self = this->shared_from_this(), owned, keep](beast::error_code ec, size_t) {
                        if (ec || !keep) return self->Done();
                        self->WaitForRequest();
                      });
  }

  std::shared_ptr<ConsoleImpl> console_;
  Stream stream_;
  asio::ip::address peer_;
  std::string node_;
  uint64_t id_ = 0;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;
  std::string path_, query_;
  Caller caller_;
  std::string newCookie_;
  bool expireCookie_ = false;
};

}  // namespace

void ConsoleImpl::Accept() {
  acceptor.async_accept(asio::make_strand(ioc), [self = shared_from_this()](beast::error_code ec,
                                                                            tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !self->acceptor.is_open()) return;
    if (!ec && self->MakeRoom()) {
      beast::error_code peerError;
      const asio::ip::address peer = socket.remote_endpoint(peerError).address();
      if (!peerError) {
        if (self->tls) {
          std::make_shared<HttpSession<TlsStream>>(
              self, TlsStream(beast::tcp_stream(std::move(socket)), *self->tls), peer)
              ->Start();
        } else {
          std::make_shared<HttpSession<PlainStream>>(self, PlainStream(std::move(socket)), peer)
              ->Start();
        }
      }
    }
    self->Accept();
  });
}

WebConsole::WebConsole(std::shared_ptr<ConsoleImpl> impl) : impl_(std::move(impl)) {}

WebConsole::~WebConsole() {
  Stop();
}

int WebConsole::port() const {
  return impl_ ? impl_->port : 0;
}

std::unique_ptr<WebConsole> WebConsole::Start(ServerContext& server, HandlerLookup lookup,
                                              const std::string& home, std::string* error) {
  auto impl = std::make_shared<ConsoleImpl>(server, std::move(lookup), home);
  const WebSettings& settings = impl->settings;
  impl->pamConfigDir = GetEnvLocked("KESTRUN_PAM_CONFDIR").value_or("");
  // Tests shorten the head and idle limits ("HEAD_MS,IDLE_MS") so that they
  // can await them.
  if (const std::optional<std::string> t = GetEnvLocked("KESTRUN_WEB_TIMEOUTS_MS")) {
    const size_t comma = t->find(',');
    if (comma != std::string::npos) {
      impl->headTime = std::chrono::milliseconds(std::atol(t->c_str()));
      impl->idleTime = std::chrono::milliseconds(std::atol(t->c_str() + comma + 1));
    }
  }
  beast::error_code ec;
  if (settings.tls()) {
    impl->tls.emplace(ssl::context::tls_server);
    impl->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1);
    impl->tls->use_certificate_chain_file(settings.cert, ec);
    if (ec) {
      *error = "webcert " + settings.cert + ": " + ec.message();
      return nullptr;
    }
    impl->tls->use_private_key_file(settings.key, ssl::context::pem, ec);
    if (ec) {
      *error = "webkey " + settings.key + ": " + ec.message();
      return nullptr;
    }
  }
  const asio::ip::address address = asio::ip::make_address(settings.address, ec);
  if (ec) {
    *error = "webaddress " + settings.address + " is not an address";
    return nullptr;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(settings.port));
  impl->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl->acceptor.bind(endpoint, ec);
  if (!ec) impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "could not listen on " + settings.address + ":" + std::to_string(settings.port) +
             ": " + ec.message();
    return nullptr;
  }
  impl->port = impl->acceptor.local_endpoint().port();
  impl->Accept();
  for (int k = 0; k < 2; ++k) impl->threads.emplace_back([impl = impl.get()] { impl->ioc.run(); });
  return std::unique_ptr<WebConsole>(new WebConsole(std::move(impl)));
}

void WebConsole::Stop() {
  if (!impl_ || impl_->threads.empty()) return;
  impl_->ioc.stop();
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
  // No listener thread runs now: the acceptor is ours alone.
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace kestrun::web
