// A read-only follow of a live run's output over a WebSocket.
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <deque>

#include "history/run_history.h"
#include "web/console_impl.h"

namespace kestrun::web {

namespace json = boost::json;

namespace {

constexpr size_t kFollowBacklog = 64 * 1024 * 1024;

// A read-only follow of a live run's output over a WebSocket.
template <class Stream>
class FollowSocket : public std::enable_shared_from_this<FollowSocket<Stream>> {
 public:
  FollowSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<Stream> ws, int64_t id)
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
    const bool spawned = console_->workers.Spawn([self] {
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
    if (!spawned) Busy();
  }

  // No worker was free: the browser is told and the follow ends.
  void Busy() {
    finished_ = true;
    Queue(true,
          json::serialize(json::object{{"type", "error"}, {"message", "The server is busy"}}));
    closeAfterWrites_ = true;
    Flush();
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
    const bool spawned = console_->workers.Spawn([self] {
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
    if (!spawned) {  // the end without its exit code rather than no end
      Queue(true, json::serialize(json::object{{"type", "ended"}}));
      closeAfterWrites_ = true;
      Flush();
    }
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
  WebSocket<Stream> ws_;
  int64_t id_;
  beast::flat_buffer in_;
  std::optional<history::FollowHandle> follow_;
  std::deque<std::pair<bool, std::string>> outgoing_;
  std::vector<std::pair<std::string, bool>> pending_;
  size_t backlog_ = 0;
  bool storedSent_ = false, liveEnded_ = false, finished_ = false;
  bool writing_ = false, gone_ = false, closeAfterWrites_ = false, closing_ = false;
};

}  // namespace

void StartFollowSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<PlainStream> ws, int64_t id,
                       Request request) {
  std::make_shared<FollowSocket<PlainStream>>(std::move(console), std::move(ws), id)
      ->Start(std::move(request));
}

void StartFollowSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<TlsStream> ws, int64_t id,
                       Request request) {
  std::make_shared<FollowSocket<TlsStream>>(std::move(console), std::move(ws), id)
      ->Start(std::move(request));
}

}  // namespace kestrun::web
