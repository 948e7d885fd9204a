#include "tests/service/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {

// Generous: only a stuck client would take this long.
constexpr int kIoTimeoutMs = 30000;

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, kIoTimeoutMs) == 1;
}

// Appends more bytes from fd to buffer; false at end of stream, error or time-out.
bool ReadMore(int fd, std::string& buffer) {
  if (!WaitReadable(fd)) return false;
  char chunk[4096];
  ssize_t n = recv(fd, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

bool ReadUntil(int fd, std::string& buffer, size_t& pos, const std::string& delimiter,
               std::string& out) {
  for (;;) {
    size_t at = buffer.find(delimiter, pos);
    if (at != std::string::npos) {
      out = buffer.substr(pos, at - pos);
      pos = at + delimiter.size();
      return true;
    }
    if (!ReadMore(fd, buffer)) return false;
  }
}

bool ReadBytes(int fd, std::string& buffer, size_t& pos, size_t count, std::string& out) {
  while (buffer.size() - pos < count)
    if (!ReadMore(fd, buffer)) return false;
  out.append(buffer, pos, count);
  pos += count;
  return true;
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string LoopbackHttpServer::Request::Header(const std::string& name) const {
  for (const auto& header : headers)
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  return "";
}

bool LoopbackHttpServer::Request::HasHeader(const std::string& name) const {
  for (const auto& header : headers)
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return true;
  return false;
}

LoopbackHttpServer::LoopbackHttpServer(const std::string& address) : address_(address) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = 0;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw std::runtime_error("bad address " + address);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(listenFd_, 16) != 0)
    throw std::runtime_error("bind/listen on " + address);
  socklen_t len = sizeof sa;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  if (pipe(stopPipe_) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread(&LoopbackHttpServer::Run, this);
}

LoopbackHttpServer::~LoopbackHttpServer() {
  if (write(stopPipe_[1], "x", 1) != 1) std::abort();
  thread_.join();
  close(listenFd_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

void LoopbackHttpServer::SetReply(std::string reply) {
  MutexLock guard(lock_);
  reply_ = std::move(reply);
}

void LoopbackHttpServer::SetMode(Mode mode) {
  MutexLock guard(lock_);
  mode_ = mode;
}

std::string LoopbackHttpServer::Endpoint() const {
  return "http://" + address_ + ":" + std::to_string(port_);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::Requests() const {
  MutexLock guard(lock_);
  return requests_;
}

std::string LoopbackHttpServer::HttpReply(const std::string& contentType,
                                          const std::string& body, const std::string& status) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void LoopbackHttpServer::Run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
    close(fd);
  }
}

void LoopbackHttpServer::Serve(int fd) {
  std::string buffer;
  size_t pos = 0;
  Request request;
  std::string line;
  if (!ReadUntil(fd, buffer, pos, "\r\n", request.requestLine)) return;
  for (;;) {
    if (!ReadUntil(fd, buffer, pos, "\r\n", line)) return;
    if (line.empty()) break;
    size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers.emplace_back(line.substr(0, colon), value);
  }
  if (strcasecmp(request.Header("Transfer-Encoding").c_str(), "chunked") == 0) {
    request.chunked = true;
    for (;;) {
      if (!ReadUntil(fd, buffer, pos, "\r\n", line)) return;
      size_t size = std::strtoul(line.c_str(), nullptr, 16);
      if (size == 0) {
        ReadUntil(fd, buffer, pos, "\r\n", line);  // end of trailers
        break;
      }
      if (!ReadBytes(fd, buffer, pos, size, request.body)) return;
      if (!ReadUntil(fd, buffer, pos, "\r\n", line)) return;
    }
  } else if (request.HasHeader("Content-Length")) {
    size_t size = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    if (!ReadBytes(fd, buffer, pos, size, request.body)) return;
  }
  std::string reply;
  Mode mode;
  {
    MutexLock guard(lock_);
    requests_.push_back(request);
    reply = reply_;
    mode = mode_;
  }
  if (mode == Mode::kReply) WriteAll(fd, reply);
}
