// The simulated scanner as a library: tests, tools and the cavix-devsim program embed it.
//
//   SimConfig config;
//   config.listenAddress = "127.0.0.2";   // or config.usb = true
//   config.adfSheets = 3;
//   DeviceSimulator sim(config);
//   if (!sim.Start(&error)) ...;           // accepting once Start returns true
//   ... drive the driver against sim.Endpoint() or sim.PtyPath() ...
//   sim.Requests();  sim.SentPages();
//   sim.Reconfigure(other);                // between tests: a fresh device, same transport
//   sim.Stop();                            // also done by the destructor
//
// Over HTTP it accepts on port 8289 of an address SimAddress takes and serves each connection on a
// thread of its own (a CancelJob can come while a page streams). A connection thread that is
// done waits for the next connection, up to kIdleThreads of them, so that a run of exchanges
// one after the other does not start a thread for each. Over USB it holds the master side of
// a pseudo-terminal in raw mode and serves one exchange after the other.
//
// Threads: every public operation may be called from any thread. `lock_` guards the
// connection threads list, the accepted connections not taken yet and the idle count; the
// model locks itself; `stopping_` is atomic. Start and Stop are serialised by `lifeLock_`,
// which guards the accepting (or pseudo-terminal) thread and is taken before `lock_` (Stop
// reaps the connection threads).
#ifndef CAVIX_SIM_DEVICESIMULATOR_H
#define CAVIX_SIM_DEVICESIMULATOR_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Mutex.h"
#include "sim/ScannerModel.h"
#include "sim/SimConfig.h"
#include "sim/SimTypes.h"
#include "sim/AvahiPublisher.h"
#include "sim/WsDiscoveryResponder.h"

namespace cavixsim {

class DeviceSimulator {
 public:
  explicit DeviceSimulator(const SimConfig& config = SimConfig());
  ~DeviceSimulator();
  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;

  // Binds the address (or opens the pseudo-terminal) and starts serving. False with a
  // message when SimAddress does not take the address, it is taken, or an image file is bad.
  bool Start(std::string* error = nullptr);
  // Stops accepting, breaks off every exchange in progress and joins all threads. Idempotent.
  void Stop();
  bool Running() const { return running_; }

  // "http://ADDRESS:8289" (network) or "http:" + the slave path (USB).
  std::string Endpoint() const;
  // The first line the program prints: "listening ADDRESS:8289", or the slave path.
  std::string ReadyLine() const;
  std::string PtyPath() const { return ptyPath_; }
  // "MAC ADDRESS" for a neighbour-table fixture (empty without a MAC address).
  std::string NeighbourTableLine() const;

  // Replaces the device's configuration and state (jobs, feeder, scenarios, records); the
  // transport settings of the running simulator stay as they are.
  bool Reconfigure(const SimConfig& config, std::string* error = nullptr);
  SimConfig Config() const { return model_.Config(); }
  void LoadAdf(int sheets) { model_.LoadAdf(sheets); }
  int AdfSheets() const { return model_.AdfSheets(); }
  void ClearScannerFault() { model_.ClearScannerFault(); }
  std::vector<RequestRecord> Requests() const { return model_.Requests(); }
  void ClearRequests() { model_.ClearRequests(); }
  std::vector<SentPage> SentPages() const { return model_.SentPages(); }

  // The attachment bytes the device sends for `ticket` as sheet `sheet`, side `side` with the
  // chart (what SentPages() hashes), rendered again; the same arguments give the same bytes.
  static std::vector<uint8_t> RenderPage(const Ticket& ticket, int sheet, int side,
                                         uint32_t padLines, bool padDark, int jpegQuality = 85);
  static uint64_t Hash(const std::vector<uint8_t>& bytes);

 private:
  bool LoadFiles(const SimConfig& config, std::string* error);
  bool StartNetwork(std::string* error);
  bool StartPty(std::string* error);
  void AcceptLoop();
  void PtyLoop();
  // A connection thread: serves `fd`, then the connections handed to it while it is idle.
  void ServeConnections(int fd, std::atomic<bool>* done);
  void ServeSocket(int fd);
  // Hands an accepted connection to an idle connection thread, or to a new one.
  void Dispatch(int fd);
  void ReapConnections(bool all);

  static constexpr int kIdleThreads = 4;

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  SimConfig transport_;  // the configuration Start used; written only by Start
  ScannerModel model_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> running_{false};
  Mutex lifeLock_ ACQUIRED_BEFORE(lock_);
  int listenFd_ = -1;
  std::unique_ptr<WsDiscoveryResponder> announcer_;  // while running, unless config.announce is off
  std::unique_ptr<AvahiPublisher> publisher_;        // while running, unless config.publish is off
  int accepted_ = 0;  // connections accepted (accept loop only)
  int ptyMaster_ = -1;
  int ptySlave_ = -1;  // held open so the master never sees a hang-up between exchanges
  std::string ptyPath_;
  std::thread mainThread_ GUARDED_BY(lifeLock_);
  mutable Mutex lock_;
  std::condition_variable connectionWaiting_;   // a connection for an idle thread, or a stop
  std::list<std::unique_ptr<Worker>> workers_ GUARDED_BY(lock_);
  std::deque<int> waiting_ GUARDED_BY(lock_);   // accepted, not taken yet
  int idle_ GUARDED_BY(lock_) = 0;              // threads waiting for one
};

}  // namespace cavixsim

#endif
