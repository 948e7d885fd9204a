#include "device/MessageThread.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>

#include "log/LogHelpers.h"
#include "platform/SystemInfo.h"
#include "platform/TimeLimits.h"
#include "platform/Waitable.h"
#include "platform/Win32Constants.h"

namespace {

// The answer of a synchronous message travels in wParam as a heap-held shared reference, which
// Receive takes over.
using DoneHolder = std::shared_ptr<DoneEvent::Answer>;

bool WaitFor(Event& event, uint32_t limitMs) {
  try {
    return event.Wait(limitMs);
  } catch (...) {
    return false;
  }
}

}  // namespace

MessageThread::MessageThread(Procedure procedure) : procedure_(procedure), state_(std::make_shared<State>()) {}

MessageThread::~MessageThread() {
  if (HasThread()) Stop();
}

void MessageThread::Entry(std::shared_ptr<State> state, std::shared_ptr<Event> started, Procedure procedure,
                          void* user, std::shared_ptr<void> keepAlive) {
  state->threadId.store(GetCurrentThreadId());
  try {
    started->Set();
  } catch (...) {
  }
  started.reset();
  try {
    procedure(user);
  } catch (...) {
    // A procedure that throws ends the thread like one that returns.
  }
  // Later posts fail; messages still queued (and their done holders) are dropped.
  QueuedMessage dropped;
  while (state->queue.Peek(&dropped, true)) delete reinterpret_cast<DoneHolder*>(dropped.wParam);
  state->queue.Close();
  try {
    state->ended.Set();
  } catch (...) {
  }
  // keepAlive goes last: it may be the final reference to the user object.
  keepAlive.reset();
}

void MessageThread::Start(void* user, std::shared_ptr<void> keepAlive) {
  MutexLock guard(threadLock_);
  if (hasThread_.load()) RaiseError(CERR_UNKNOWN);
  std::shared_ptr<Event> started;
  try {
    started = std::make_shared<Event>(false, false);
    user_ = user;
    thread_ = std::thread(&MessageThread::Entry, state_, started, procedure_, user, std::move(keepAlive));
  } catch (const std::system_error& e) {
    RaiseError(e.code() == std::errc::resource_unavailable_try_again ? CERR_OUT_OF_MEMORY : CERR_UNKNOWN);
  } catch (const std::bad_alloc&) {
    RaiseError(CERR_OUT_OF_MEMORY);
  }
  hasThread_.store(true);
  if (!WaitFor(*started, TimeLimits::Instance().threadStartMs.load())) RaiseError(CERR_UNKNOWN);
  threadId_.store(state_->threadId.load());
}

bool MessageThread::Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (!hasThread_.load()) return false;
  return state_->queue.Post(message, wParam, lParam);
}

void MessageThread::PostMessageAsynchronously(uint32_t message) {
  if (!Post(message)) RaiseError(CERR_UNKNOWN);
}

uint32_t MessageThread::PostMessageSynchronously(uint32_t message) {
  if (state_->abandonedEvent.IsSet()) RaiseError(CERR_INVALID_SESSION);
  std::shared_ptr<DoneEvent::Answer> done = std::make_shared<DoneEvent::Answer>();
  auto* holder = new DoneHolder(done);
  if (!Post(message, reinterpret_cast<uintptr_t>(holder))) {
    delete holder;
    RaiseError(CERR_UNKNOWN);
  }
  // The done event is listed first: an answer that came wins over a later abandonment.
  DWORD which = WAIT_FAILED;
  try {
    which = WaitForAny({&done->event, &state_->abandonedEvent}, TimeLimits::Instance().doneEventMs.load());
  } catch (...) {
    RaiseError(CERR_UNKNOWN);
  }
  if (which == WAIT_OBJECT_0 + 1) RaiseError(CERR_INVALID_SESSION);
  if (which != WAIT_OBJECT_0) {
    WaitExpired();
    RaiseError(CERR_UNKNOWN);
  }
  return done->result.load();
}

void MessageThread::WaitForIdle() {
  if (!hasThread_.load()) RaiseError(CERR_UNKNOWN);
  State& state = *state_;
  MutexUniqueLock guard(state.idleLock);
  if (state.abandoned) RaiseError(CERR_INVALID_SESSION);
  // Numbered and posted under one lock, so that the queue holds idle requests in number order.
  const uint64_t ticket = state.idleRequested + 1;
  if (!Post(kIdleRequest, 0, static_cast<intptr_t>(ticket))) RaiseError(CERR_UNKNOWN);
  state.idleRequested = ticket;
  const auto limit = std::chrono::milliseconds(TimeLimits::Instance().idleMs.load());
  const bool answered = state.idleAnswered.wait_for(guard.Native(), limit, [&]() REQUIRES(state.idleLock) {
    return state.abandoned || state.idleAnswer >= ticket;
  });
  if (state.idleAnswer >= ticket) return;
  guard.Unlock();
  if (!answered) WaitExpired();
  RaiseError(answered ? CERR_INVALID_SESSION : CERR_UNKNOWN);
}

void MessageThread::OnWaitExpired(std::function<void()> handler) { waitExpired_ = std::move(handler); }

void MessageThread::WaitExpired() {
  if (!waitExpired_) return;
  try {
    waitExpired_();
  } catch (...) {
  }
}

void MessageThread::NotifyIdle() {
  if (!hasThread_.load()) RaiseError(CERR_UNKNOWN);
  State& state = *state_;
  {
    MutexLock guard(state.idleLock);
    if (state.idleReceived > state.idleAnswer) state.idleAnswer = state.idleReceived;
  }
  state.idleAnswered.notify_all();
}

void MessageThread::Abandon() {
  State& state = *state_;
  {
    MutexLock guard(state.idleLock);
    state.abandoned = true;
  }
  state.idleAnswered.notify_all();
  try {
    state.abandonedEvent.Set();
  } catch (const std::exception& e) {
    LogTextWith("Error: Set() failed unexpectedly", e.what());
  } catch (...) {
    LogText("Error: Set() failed unexpectedly");
  }
}

bool MessageThread::Stop(uint32_t graceMs, const std::function<void()>& hurry) {
  MutexLock guard(threadLock_);
  if (!hasThread_.load()) return true;
  if (std::this_thread::get_id() == thread_.get_id()) {
    // A worker cannot wait for itself: it ends once it reaches the Quit.
    state_->queue.Post(kQuit);
    thread_.detach();
    hasThread_.store(false);
    return false;
  }
  // A refused post means the queue is closed: the thread is already on its way out.
  const bool posted = state_->queue.Post(kQuit);
  uint32_t limitMs = TimeLimits::Instance().threadStopMs.load();
  if (posted && hurry && graceMs < limitMs && !WaitFor(state_->ended, graceMs)) {
    // Still busy after the grace: end what holds it up, then wait the rest of the limit.
    hurry();
    limitMs -= graceMs;
  }
  if (posted && !WaitFor(state_->ended, limitMs)) {
    LogText("Warning! worker thread did not end in time; it is left to end on its own");
    thread_.detach();
    hasThread_.store(false);
    return false;
  }
  thread_.join();
  hasThread_.store(false);
  return true;
}

uint32_t MessageThread::Receive(DoneEvent* done) {
  QueuedMessage msg;
  if (!state_->queue.Get(&msg)) RaiseError(CERR_UNKNOWN);
  std::unique_ptr<DoneHolder> holder(reinterpret_cast<DoneHolder*>(msg.wParam));
  if (msg.message == kIdleRequest && msg.lParam > 0) {
    MutexLock guard(state_->idleLock);
    state_->idleReceived = static_cast<uint64_t>(msg.lParam);
  }
  DoneEvent received(holder ? *holder : nullptr);
  if (done) *done = std::move(received);
  return msg.message;
}
