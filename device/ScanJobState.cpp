#include "device/ScanJobState.h"

#include "log/CLog2.h"
#include "log/GlobalLog.h"
#include "log/LogLevels.h"

namespace {

using Phase = ScanJobState::Phase;
using Session = ScanJobState::Session;
using Event = ScanJobState::Event;

constexpr uint8_t Bit(Phase phase) { return static_cast<uint8_t>(1u << static_cast<unsigned>(phase)); }

constexpr uint8_t kAnyPhase = 0xFF;
constexpr uint8_t kJobPhases = kAnyPhase & ~Bit(Phase::Idle);

constexpr int kSessions = 4;
constexpr Session kSame = static_cast<Session>(0xFF);
// The session after the event, by the session before it: Open, Closed, Stopping, ClosedAndStopping.
struct SessionMoves {
  Session to[kSessions];
};
// One row per event: the phases it applies in and the phase it leads to, and its session moves.
struct Row {
  Event event;
  const char* name;
  uint8_t fromPhases;
  Phase toPhase;
  SessionMoves sessions;
};
constexpr uint8_t kNone = 0;
constexpr SessionMoves kKeep = {{kSame, kSame, kSame, kSame}};
constexpr Row kRows[] = {
    {Event::JobCreated, "JobCreated", Bit(Phase::Idle), Phase::JobSetUp, kKeep},
    {Event::SetUpAbandoned, "SetUpAbandoned", Bit(Phase::JobSetUp), Phase::Idle, kKeep},
    {Event::PageStarted, "PageStarted", Bit(Phase::JobSetUp) | Bit(Phase::PageEnded), Phase::PageInFlight,
     kKeep},
    {Event::PageDelivered, "PageDelivered", Bit(Phase::PageInFlight), Phase::PageEnded, kKeep},
    {Event::PageFailed, "PageFailed", kJobPhases, Phase::Idle, kKeep},
    {Event::PlatenJobDone, "PlatenJobDone", kJobPhases, Phase::Idle, kKeep},
    {Event::FeederEmpty, "FeederEmpty", Bit(Phase::PageEnded), Phase::FeederJobEnding, kKeep},
    {Event::FeederJobEnded, "FeederJobEnded", kJobPhases, Phase::Idle, kKeep},
    {Event::DeviceCancelled, "DeviceCancelled", kJobPhases, Phase::Idle, kKeep},
    {Event::Reset, "Reset", kJobPhases, Phase::Idle, kKeep},
    {Event::Close, "Close", kNone, Phase::Idle, {{Session::Closed, kSame, Session::ClosedAndStopping, kSame}}},
    {Event::Cleanup, "Cleanup", kNone, Phase::Idle, {{Session::Stopping, Session::ClosedAndStopping, kSame, kSame}}},
};

constexpr const char* kPhaseNames[] = {"Idle", "JobSetUp", "PageInFlight", "PageEnded", "FeederJobEnding"};
constexpr const char* kSessionNames[] = {"Open", "Closed", "Stopping", "ClosedAndStopping"};

const Row* RowOf(Event event) {
  for (const Row& row : kRows) {
    if (row.event == event) return &row;
  }
  return nullptr;
}

}  // namespace

ScanJobState::State ScanJobState::Next(State from, Event event) {
  const Row* row = RowOf(event);
  if (!row) return from;
  State to = from;
  if (row->fromPhases & Bit(from.phase)) to.phase = row->toPhase;
  const auto session = static_cast<size_t>(from.session);
  if (session < kSessions && row->sessions.to[session] != kSame) to.session = row->sessions.to[session];
  return to;
}

const char* ScanJobState::NameOf(Phase phase) {
  const auto index = static_cast<size_t>(phase);
  return index < sizeof kPhaseNames / sizeof kPhaseNames[0] ? kPhaseNames[index] : "?";
}

const char* ScanJobState::NameOf(Session session) {
  const auto index = static_cast<size_t>(session);
  return index < sizeof kSessionNames / sizeof kSessionNames[0] ? kSessionNames[index] : "?";
}

const char* ScanJobState::NameOf(Event event) {
  const Row* row = RowOf(event);
  return row ? row->name : "?";
}

ScanJobState::State ScanJobState::Apply(Event event) {
  uint32_t word = word_.load();
  State from = Unpack(word);
  State to = Next(from, event);
  while (!(to == from) && !word_.compare_exchange_weak(word, Pack(to))) {
    from = Unpack(word);
    to = Next(from, event);
  }
  if (to == from) return from;
  if (CLog2* log = GetGlobalLog()) {
    if (from.session == to.session) {
      log->print(LOG_TRACE_INFO, "Scan job: %s->%s (%s)", NameOf(from.phase), NameOf(to.phase), NameOf(event));
    } else {
      log->print(LOG_TRACE_INFO, "Scan job: session %s->%s (%s)", NameOf(from.session), NameOf(to.session),
                 NameOf(event));
    }
  }
  return from;
}
