// A one-thread HTTP server on a loopback address for the service tests: it accepts each
// connection, reads one request completely (Content-Length or chunked body), records it,
// answers with the canned reply bytes and closes the connection. The reply is raw bytes, so
// tests hand-write the status line, headers and body (XML or DIME).
#ifndef CAVIX_TESTS_SERVICE_LOOPBACKHTTPSERVER_H
#define CAVIX_TESTS_SERVICE_LOOPBACKHTTPSERVER_H

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

class LoopbackHttpServer {
 public:
  struct Request {
    std::string requestLine;                                   // "POST / HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string body;                                          // de-chunked
    bool chunked = false;
    // The value of the first header named name (case-insensitive), or "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
  };

  enum class Mode {
    kReply,              // read the request, send the reply, close
    kCloseAfterRequest,  // read the request, close without a reply
  };

  // Listens on address:0 (a free port). Throws std::runtime_error on failure.
  explicit LoopbackHttpServer(const std::string& address = "127.0.0.1");
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  void SetReply(std::string reply);
  void SetMode(Mode mode);
  std::string Endpoint() const;  // "http://<address>:<port>"
  int Port() const { return port_; }
  std::vector<Request> Requests() const;
  int Connections() const { return connections_; }

  // "HTTP/1.1 <status>" reply with Content-Type, Content-Length and Connection: close.
  static std::string HttpReply(const std::string& contentType, const std::string& body,
                               const std::string& status = "200 OK");

 private:
  void Run();
  void Serve(int fd);

  std::string address_;
  int port_ = 0;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  mutable Mutex lock_;
  std::string reply_ GUARDED_BY(lock_);
  Mode mode_ GUARDED_BY(lock_) = Mode::kReply;
  std::vector<Request> requests_ GUARDED_BY(lock_);
  std::thread thread_;
};

#endif
