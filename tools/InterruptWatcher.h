// Turns SIGINT and SIGTERM into a call on an ordinary thread: the handler only writes to a
// pipe; the watcher thread reads it and runs the callback (which may take locks and call the
// driver). A second signal ends the process at once with status 130. One watcher per process;
// Start and Stop from the main thread.
#ifndef CAVIX_TOOLS_INTERRUPTWATCHER_H
#define CAVIX_TOOLS_INTERRUPTWATCHER_H

#include <functional>
#include <thread>

class InterruptWatcher {
 public:
  explicit InterruptWatcher(std::function<void()> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  bool Start();
  void Stop();

 private:
  std::function<void()> onInterrupt_;
  std::thread thread_;
  bool started_ = false;
};

#endif
