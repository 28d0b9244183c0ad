// Runs a job of the web console over its run WebSocket, as a browser does:
//
//   web_ws_client PORT COOKIE JOB RUNS CONCURRENT
//
// makes RUNS runs one after the other in each of CONCURRENT threads, each
// from the connection to the "ended" message, and prints one line per run:
// the output bytes received and the seconds it took. Exit status 1 when a
// run failed or did not end.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct Result {
  size_t bytes = 0;
  double seconds = 0;
  bool ended = false;
};

Result RunOnce(const std::string& port, const std::string& cookie, const std::string& job) {
  Result result;
  const auto start = std::chrono::steady_clock::now();
  asio::io_context ioc;
  tcp::resolver resolver(ioc);
  websocket::stream<tcp::socket, false> ws(ioc);  // no permessage-deflate: the server offers none
  asio::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port));
  ws.next_layer().set_option(tcp::no_delay(true));
  const std::string origin = "http://127.0.0.1:" + port;
  ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& r) {
    r.set(beast::http::field::origin, origin);
    r.set(beast::http::field::cookie, "kestrun_session=" + cookie);
  }));
  ws.read_message_max(64 << 20);
  ws.handshake("127.0.0.1:" + port, "/api/jobs/" + job + "/run");
  ws.text(true);
  ws.write(asio::buffer(std::string("{}")));
  beast::flat_buffer buffer;
  for (;;) {
    beast::error_code ec;
    ws.read(buffer, ec);
    if (ec) break;
    if (ws.got_binary()) {
      result.bytes += buffer.size() - 1;
    } else {
      const std::string text = beast::buffers_to_string(buffer.data());
      if (text.find("\"type\":\"ended\"") != std::string::npos) {
        result.ended = true;
        break;
      }
      if (text.find("\"type\":\"refused\"") != std::string::npos) break;
    }
    buffer.consume(buffer.size());
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  beast::error_code ignored;
  ws.close(websocket::close_code::normal, ignored);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: web_ws_client PORT COOKIE JOB RUNS CONCURRENT\n");
    return 2;
  }
  const std::string port = argv[1], cookie = argv[2], job = argv[3];
  const int runs = std::atoi(argv[4]), concurrent = std::atoi(argv[5]);
  std::mutex lock;  // guards results
  std::vector<Result> results;
  std::vector<std::thread> threads;
  for (int t = 0; t < concurrent; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < runs; ++k) {
        Result r;
        try {
          r = RunOnce(port, cookie, job);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "web_ws_client: %s\n", e.what());
        }
        std::lock_guard<std::mutex> hold(lock);
        results.push_back(r);
      }
    });
  for (std::thread& t : threads) t.join();
  bool ok = true;
  for (const Result& r : results) {
    std::printf("%zu %.6f\n", r.bytes, r.seconds);
    ok = ok && r.ended;
  }
  return ok ? 0 : 1;
}
