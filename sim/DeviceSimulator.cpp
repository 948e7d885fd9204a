#include "sim/DeviceSimulator.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "sim/PageEncoder.h"
#include "sim/PageImage.h"
#include "sim/PageTransfer.h"
#include "sim/SimAddress.h"
#include "sim/SoapConnection.h"

namespace cavixsim {

namespace {

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// The address as the host part of a URL.
std::string UrlHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

DeviceSimulator::DeviceSimulator(const SimConfig& config) : transport_(config), model_(config) {}

DeviceSimulator::~DeviceSimulator() { Stop(); }

bool DeviceSimulator::LoadFiles(const SimConfig& config, std::string* error) {
  std::vector<std::shared_ptr<const PnmImage>> files;
  for (const std::string& path : config.imageFiles) {
    auto image = std::make_shared<PnmImage>();
    std::string message;
    if (!PnmImage::Load(path, *image, message)) {
      SetError(error, message);
      return false;
    }
    files.push_back(image);
  }
  model_.SetPageFiles(std::move(files));
  return true;
}

bool DeviceSimulator::Reconfigure(const SimConfig& config, std::string* error) {
  model_.Reset(config);
  return LoadFiles(config, error);
}

bool DeviceSimulator::Start(std::string* error) {
  MutexLock life(lifeLock_);
  if (running_) return true;
  transport_ = model_.Config();
  if (!LoadFiles(transport_, error)) return false;
  stopping_ = false;
  if (!(transport_.usb ? StartPty(error) : StartNetwork(error))) return false;
  if (!transport_.neighbourTableFile.empty() && !transport_.macAddress.empty()) {
    std::ofstream table(transport_.neighbourTableFile, std::ios::app);
    table << NeighbourTableLine() << "\n";
    if (!table) {
      SetError(error, "cannot write " + transport_.neighbourTableFile);
      stopping_ = true;
      if (listenFd_ >= 0) close(listenFd_);
      listenFd_ = -1;
      return false;
    }
  }
  // Announcing is best effort: a loopback without multicast leaves the device unannounced, and
  // with no Avahi daemon it is not published.
  if (!transport_.usb && transport_.announce) {
    announcer_ = std::make_unique<WsDiscoveryResponder>(transport_.listenAddress, transport_.port,
                                                        !transport_.xaddrsOnResolve);
    if (!announcer_->Start()) announcer_.reset();
  }
  if (!transport_.usb && transport_.publish) {
    publisher_ = std::make_unique<AvahiPublisher>(transport_.listenAddress, transport_.port, transport_.model);
    if (!publisher_->Start()) publisher_.reset();
  }
  running_ = true;
  if (transport_.usb) mainThread_ = std::thread(&DeviceSimulator::PtyLoop, this);
  else mainThread_ = std::thread(&DeviceSimulator::AcceptLoop, this);
  return true;
}

bool DeviceSimulator::StartNetwork(std::string* error) {
  sockaddr_storage sa{};
  socklen_t saLength = 0;
  std::string why;
  if (!SimAddress::Resolve(transport_.listenAddress, transport_.port, &sa, &saLength, &why)) {
    SetError(error, why);
    return false;
  }
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, std::string("socket: ") + strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), saLength) != 0 || listen(fd, 32) != 0) {
    SetError(error, "cannot listen on " + transport_.listenAddress + ":" +
                        std::to_string(transport_.port) + ": " + strerror(errno));
    close(fd);
    return false;
  }
  SetNonBlocking(fd);
  listenFd_ = fd;
  accepted_ = 0;
  return true;
}

bool DeviceSimulator::StartPty(std::string* error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    SetError(error, std::string("pseudo-terminal: ") + strerror(errno));
    if (master >= 0) close(master);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    SetError(error, std::string("ptsname: ") + strerror(errno));
    close(master);
    return false;
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    SetError(error, std::string("pseudo-terminal slave: ") + strerror(errno));
    if (slave >= 0) close(slave);
    close(master);
    return false;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  SetNonBlocking(master);
  ptyMaster_ = master;
  ptySlave_ = slave;
  ptyPath_ = name;
  return true;
}

void DeviceSimulator::Stop() {
  MutexLock life(lifeLock_);
  if (!running_) return;
  if (announcer_) announcer_->Stop();
  announcer_.reset();
  publisher_.reset();
  stopping_ = true;
  if (mainThread_.joinable()) mainThread_.join();
  ReapConnections(true);
  if (listenFd_ >= 0) close(listenFd_);
  if (ptyMaster_ >= 0) close(ptyMaster_);
  if (ptySlave_ >= 0) close(ptySlave_);
  listenFd_ = ptyMaster_ = ptySlave_ = -1;
  ptyPath_.clear();
  running_ = false;
}

void DeviceSimulator::ReapConnections(bool all) {
  std::list<std::unique_ptr<Worker>> finished;
  std::deque<int> untaken;
  {
    MutexLock guard(lock_);
    if (all) {
      // Idle threads end on the stop; connections nobody took are closed unanswered.
      connectionWaiting_.notify_all();
      untaken.swap(waiting_);
    }
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (int fd : untaken) close(fd);
  for (auto& w : finished)
    if (w->thread.joinable()) w->thread.join();
}

void DeviceSimulator::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    int r = poll(&p, 1, 100);
    ReapConnections(false);
    if (r <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    const int limit = model_.Config().connectionLimit;
    if (limit > 0 && ++accepted_ >= limit) {
      // The device stops listening: later connects are refused.
      close(listenFd_);
      listenFd_ = -1;
    }
    Dispatch(fd);
  }
}

void DeviceSimulator::Dispatch(int fd) {
  MutexLock guard(lock_);
  if (idle_ > static_cast<int>(waiting_.size())) {
    waiting_.push_back(fd);
    connectionWaiting_.notify_one();
    return;
  }
  auto worker = std::make_unique<Worker>();
  Worker* w = worker.get();
  try {
    w->thread = std::thread(&DeviceSimulator::ServeConnections, this, fd, &w->done);
  } catch (const std::exception&) {
    close(fd);  // no thread for it: the peer sees the connection closed
    return;
  }
  workers_.push_back(std::move(worker));
}

void DeviceSimulator::ServeConnections(int fd, std::atomic<bool>* done) {
  for (;;) {
    ServeSocket(fd);
    MutexUniqueLock guard(lock_);
    if (stopping_ || idle_ >= kIdleThreads) break;
    ++idle_;
    connectionWaiting_.wait(guard.Native(), [this]() REQUIRES(lock_) { return stopping_ || !waiting_.empty(); });
    --idle_;
    if (waiting_.empty()) break;  // stopping
    fd = waiting_.front();
    waiting_.pop_front();
  }
  *done = true;
}

void DeviceSimulator::ServeSocket(int fd) {
  {
    SoapConnection connection(model_, stopping_, fd, false);
    connection.ServeOne();
  }
  close(fd);
}

void DeviceSimulator::PtyLoop() {
  SoapConnection connection(model_, stopping_, ptyMaster_, true);
  while (!stopping_) connection.ServeOne();
}

std::string DeviceSimulator::Endpoint() const {
  if (transport_.usb) return "http:" + ptyPath_;
  return "http://" + UrlHost(transport_.listenAddress) + ":" + std::to_string(transport_.port);
}

std::string DeviceSimulator::ReadyLine() const {
  if (transport_.usb) return ptyPath_;
  return "listening " + UrlHost(transport_.listenAddress) + ":" + std::to_string(transport_.port);
}

std::string DeviceSimulator::NeighbourTableLine() const {
  SimConfig c = model_.Config();
  if (c.macAddress.empty()) return "";
  return c.macAddress + " " + (c.listenAddress.empty() ? transport_.listenAddress : c.listenAddress);
}

std::vector<uint8_t> DeviceSimulator::RenderPage(const Ticket& ticket, int sheet, int side,
                                                 uint32_t padLines, bool padDark, int jpegQuality) {
  PagePlan plan;
  plan.ticket = ticket;
  plan.sheet = sheet;
  plan.side = side;
  plan.padLines = padLines;
  plan.padDark = padDark;
  plan.jpegQuality = jpegQuality;
  PageTransfer transfer(plan, true, nullptr);
  std::vector<uint8_t> buf(65536);
  while (transfer.Read(buf.data(), buf.size()) > 0) {
  }
  return std::move(transfer.data());
}

uint64_t DeviceSimulator::Hash(const std::vector<uint8_t>& bytes) {
  return PageTransfer::Fnv1a(bytes.data(), bytes.size());
}

}  // namespace cavixsim
