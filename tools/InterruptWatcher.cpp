#include "tools/InterruptWatcher.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<int> g_signals{0};

void OnSignal(int) {
  const int saved = errno;
  if (g_signals.fetch_add(1) >= 1) ::_exit(130);
  const char c = 'i';
  ssize_t ignored = ::write(g_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {}

InterruptWatcher::~InterruptWatcher() { Stop(); }

bool InterruptWatcher::Start() {
  if (started_) return true;
  if (::pipe2(g_pipe, O_CLOEXEC) != 0) return false;
  g_signals = 0;
  thread_ = std::thread([this] {
    char c;
    while (true) {
      ssize_t n = ::read(g_pipe[0], &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == 'q') return;
      onInterrupt_();
    }
  });
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  started_ = true;
  return true;
}

void InterruptWatcher::Stop() {
  if (!started_) return;
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  const char q = 'q';
  ssize_t ignored = ::write(g_pipe[1], &q, 1);
  (void)ignored;
  thread_.join();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
  started_ = false;
}
