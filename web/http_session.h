// One HTTP connection of the web console, plain or TLS: requests one after
// the other (keep-alive), each answered in order. Included by the two files
// that instantiate it (http_session_plain.cpp, http_session_tls.cpp).
#pragma once

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>
#include <charconv>
#include <filesystem>

#include "web/console_impl.h"
#include "web/json_requests.h"
#include "web/pam_login.h"

namespace kestrun::web::httpsession {

namespace json = boost::json;

inline constexpr auto kLoginDelay = std::chrono::seconds(1);  // the least time a failed login takes
inline constexpr const char* kCookie = "kestrun_session";

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
                              // A request without a body (most are GETs) is
                              // whole with its head.
                              if (self->parser_->is_done())
                                return self->Serve(self->parser_->release());
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
    // The job list is answered here, without a worker, while the caller's
    // list is kept (Api::KeptJobs does not block).
    if (method == "GET" && sub == "jobs") {
      bool renew = false;
      if (std::optional<ApiReply> kept = console_->api.KeptJobs(caller_, &renew)) {
        if (renew) {
          std::shared_ptr<ConsoleImpl> console = console_;
          const std::string user = caller_.user;
          if (!console_->workers.Spawn([console, user] { console->api.RenewJobList(user); }))
            console_->api.RenewNotStarted(user);
        }
        return Answer(std::move(*kept));
      }
    }
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
    if (!console_->settings.tls() && !console_->settings.insecure && !peer_.is_loopback())
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
      return StartRunSocket(console_, WebSocket<Stream>(std::move(stream_)), caller_, p[1],
                            std::move(request_));
    }
    if (p.size() == 3 && p[0] == "runs" && p[2] == "follow") {
      int64_t id = 0;
      const auto [end, error] = std::from_chars(p[1].data(), p[1].data() + p[1].size(), id);
      if (error != std::errc() || end != p[1].data() + p[1].size() || id < 1)
        return Answer(ErrorReply(400, "The run id is not valid"));
      // Only a run the caller may see can be followed.
      auto self = this->shared_from_this();
      const bool spawned = console_->workers.Spawn([self, id] {
        ApiReply check =
            self->console_->api.Handle(self->caller_, "GET", "runs/" + std::to_string(id), {}, {});
        asio::post(self->stream_.get_executor(), [self, id, check] {
          if (check.status != 200) return self->Answer(check);
          StartFollowSocket(self->console_, WebSocket<Stream>(std::move(self->stream_)), id,
                            std::move(self->request_));
        });
      });
      if (!spawned) Answer(ErrorReply(503, "The server is busy"));
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

  // A reply goes out as one buffer in one write: its head and body laid out
  // here as Beast's serializer would, without its walk over every field.
  void Write(Response r) {
    AddSecurityHeaders(r);
    r.prepare_payload();
    const bool keep = r.keep_alive();
    auto bytes = std::make_shared<std::string>();
    const beast::string_view reason = r.reason();
    bytes->reserve(256 + r.body().size());
    *bytes += "HTTP/1.1 ";
    *bytes += std::to_string(r.result_int());
    *bytes += ' ';
    bytes->append(reason.data(), reason.size());
    *bytes += "\r\n";
    for (const auto& field : r) {
      const beast::string_view name = field.name_string(), value = field.value();
      bytes->append(name.data(), name.size());
      *bytes += ": ";
      bytes->append(value.data(), value.size());
      *bytes += "\r\n";
    }
    *bytes += "\r\n";
    *bytes += r.body();
    Lowest(stream_).expires_after(console_->idleTime);
    asio::async_write(stream_, asio::buffer(*bytes),
                      [self = this->shared_from_this(), bytes, keep](beast::error_code ec, size_t) {
                        if (ec || !keep) return self->Done();
                        self->WaitForRequest();
                      });
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

}  // namespace kestrun::web::httpsession
