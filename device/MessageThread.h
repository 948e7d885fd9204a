// A worker thread with a first-in first-out message queue that runs one procedure with a user
// pointer (the scan device). Other threads post messages to it and wait for its answers: a
// done event per synchronous message, or the answer to their own idle request.
//
// Idle requests are numbered in posting order; NotifyIdle answers the request the worker took
// last, and a wait ends only once its own request (or a later one) is answered. A wait that
// gave up leaves its request queued, and that late answer cannot end another waiter's wait
// early.
//
// Abandon (the owner closes the device): every wait in progress and every later one fails at
// once with CERR_INVALID_SESSION; posts still reach a running worker.
//
// Threads: Start, Stop and the destructor are called by the owner (the device's Init and
// Cleanup); the posts, WaitForIdle and NotifyIdle by any thread; Receive only by the worker.
// Owns: the thread, and together with the running thread the shared state (queue, idle event,
// ended event), so that a worker abandoned by Stop never touches freed memory.
//
// Ending a thread on Linux: Stop posts Quit and waits for the worker to end; if it does not
// end within the limit, the thread cannot be killed safely (it may hold locks or be inside the
// SOAP runtime), so it is detached and left to run until it reaches the Quit already queued.
// Whatever it still uses stays alive: its queue and events through this class's shared state,
// and its user object through the `keepAlive` reference given to Start. Later posts fail as
// for an ended thread.
#ifndef CAVIX_DEVICE_MESSAGETHREAD_H
#define CAVIX_DEVICE_MESSAGETHREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "device/DoneEvent.h"
#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Mutex.h"

class MessageThread {
 public:
  // The two messages every worker understands; the others belong to the procedure.
  static constexpr uint32_t kIdleRequest = 0x8000;
  static constexpr uint32_t kQuit = 0x8001;

  using Procedure = void (*)(void* user);

  explicit MessageThread(Procedure procedure);
  // Stops a thread still running (as Stop).
  ~MessageThread();
  MessageThread(const MessageThread&) = delete;
  MessageThread& operator=(const MessageThread&) = delete;

  // Starts the thread running procedure(user) and waits for its started signal. `keepAlive`
  // (may be empty) is held by the thread until it ends. Throws CERR_OUT_OF_MEMORY when the
  // system lacks the resources for a thread, CERR_UNKNOWN on other failures or when the
  // started signal does not come within the start limit.
  void Start(void* user, std::shared_ptr<void> keepAlive = nullptr);

  // Posts a message without a done event; throws CERR_UNKNOWN when the thread is not running.
  void PostMessageAsynchronously(uint32_t message);
  // Posts a message with a done event and waits for the handler to signal it (done-event
  // limit); returns the result the handler signalled with. Throws CERR_UNKNOWN when the post
  // fails or the event is not signalled in time, CERR_INVALID_SESSION when the worker was
  // abandoned.
  uint32_t PostMessageSynchronously(uint32_t message);
  // Posts an idle request and waits for the worker's NotifyIdle (idle limit): success means
  // every message posted before has been handled. Throws CERR_UNKNOWN on failure,
  // CERR_INVALID_SESSION when the worker was abandoned.
  void WaitForIdle();
  // Worker side: answers the idle request received last. Throws CERR_UNKNOWN when there is no
  // thread.
  void NotifyIdle();
  // Ends every wait for this worker's answers, now and later (see above). Any thread.
  void Abandon();
  // Posts Quit and waits for the thread to end (stop limit). True when there is no thread any
  // more; false when the thread did not end in time and was left to finish on its own.
  // With `hurry`: when the thread has not ended after graceMs, runs hurry (which ends what the
  // worker is blocked in) before it waits the rest of the stop limit.
  bool Stop(uint32_t graceMs = 0, const std::function<void()>& hurry = nullptr);

  // Worker side: waits for the next message; `done` receives its done event (empty for a
  // message posted without one). Throws CERR_UNKNOWN when the queue is closed.
  uint32_t Receive(DoneEvent* done);

  // Runs `handler` on the waiting thread when a done event or idle answer does not come in
  // time (the worker is stuck in a handler: the owner ends what it is waiting on). Set before
  // Start.
  void OnWaitExpired(std::function<void()> handler);

  bool HasThread() const { return hasThread_.load(); }
  uint32_t ThreadId() const { return threadId_.load(); }
  void* User() const { return user_; }

 private:
  // What the thread and its owner share; outlives a detached thread.
  // idleLock guards the idle numbers and `abandoned`; idleAnswered wakes idle waiters.
  struct State {
    MessageQueue queue;
    Event ended{true, false};      // manual-reset: the thread has left its procedure
    Event abandonedEvent{true, false};  // manual-reset: set by Abandon, ends done-event waits
    std::atomic<uint32_t> threadId{0};
    Mutex idleLock;
    std::condition_variable idleAnswered;
    uint64_t idleRequested GUARDED_BY(idleLock) = 0;  // number of the last idle request posted
    uint64_t idleAnswer GUARDED_BY(idleLock) = 0;  // number of the last idle request answered
    uint64_t idleReceived GUARDED_BY(idleLock) = 0;  // the last idle request the worker took
    bool abandoned GUARDED_BY(idleLock) = false;
  };

  // Posts to a running thread's queue; false when there is no thread or its queue is closed.
  bool Post(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  void WaitExpired();
  static void Entry(std::shared_ptr<State> state, std::shared_ptr<Event> started, Procedure procedure,
                    void* user, std::shared_ptr<void> keepAlive);

  std::atomic<uint32_t> threadId_{0};
  Mutex threadLock_;                  // serialises Start and Stop
  std::thread thread_ GUARDED_BY(threadLock_);
  std::atomic<bool> hasThread_{false};
  const Procedure procedure_;
  void* user_ = nullptr;              // set by Start before the thread runs
  std::shared_ptr<State> state_;      // created by the constructor, shared with the thread
  std::function<void()> waitExpired_;  // set before Start
};

#endif
