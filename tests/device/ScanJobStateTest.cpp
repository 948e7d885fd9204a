// The scan job's state machine: the transition table, and Apply following it from any thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "device/ScanJobState.h"

namespace {

using Phase = ScanJobState::Phase;
using Session = ScanJobState::Session;
using Event = ScanJobState::Event;
using State = ScanJobState::State;

TEST(ScanJobState, EveryEventLeadsWhereTheJobFlowExpects) {
  const State idle{Phase::Idle, Session::Open};
  const State setUp{Phase::JobSetUp, Session::Open};
  const State inFlight{Phase::PageInFlight, Session::Open};
  const State ended{Phase::PageEnded, Session::Open};
  const State ending{Phase::FeederJobEnding, Session::Open};
  struct Case {
    State from;
    Event event;
    State to;
  };
  const Case cases[] = {
      // A feeder job of two pages, then a platen job.
      {idle, Event::JobCreated, setUp},
      {setUp, Event::PageStarted, inFlight},
      {inFlight, Event::PageDelivered, ended},
      {ended, Event::PageStarted, inFlight},
      {ended, Event::FeederEmpty, ending},
      {ending, Event::FeederJobEnded, idle},
      {ended, Event::PlatenJobDone, idle},
      // Ends of a job from each phase it can be in.
      {setUp, Event::SetUpAbandoned, idle},
      {inFlight, Event::PageFailed, idle},
      {ending, Event::PageFailed, idle},
      {inFlight, Event::DeviceCancelled, idle},
      {ended, Event::DeviceCancelled, idle},
      {ending, Event::Reset, idle},
      // Events that do not apply leave the state: a job ended by a cancel stays ended.
      {idle, Event::PageStarted, idle},
      {idle, Event::PageDelivered, idle},
      {idle, Event::FeederEmpty, idle},
      {inFlight, Event::JobCreated, inFlight},
      {inFlight, Event::FeederEmpty, inFlight},
      {setUp, Event::PageDelivered, setUp},
      {ended, Event::SetUpAbandoned, ended},
      // The session beside the phase, which it keeps.
      {inFlight, Event::Close, {Phase::PageInFlight, Session::Closed}},
      {{Phase::PageInFlight, Session::Closed}, Event::Cleanup, {Phase::PageInFlight, Session::ClosedAndStopping}},
      {ended, Event::Cleanup, {Phase::PageEnded, Session::Stopping}},
      {{Phase::Idle, Session::Stopping}, Event::Close, {Phase::Idle, Session::ClosedAndStopping}},
      {{Phase::Idle, Session::Closed}, Event::Close, {Phase::Idle, Session::Closed}},
      {{Phase::PageInFlight, Session::Closed}, Event::DeviceCancelled, {Phase::Idle, Session::Closed}},
  };
  for (const Case& c : cases) {
    const State to = ScanJobState::Next(c.from, c.event);
    EXPECT_TRUE(to == c.to) << ScanJobState::NameOf(c.from.phase) << "/" << ScanJobState::NameOf(c.from.session)
                            << " on " << ScanJobState::NameOf(c.event) << " gave " << ScanJobState::NameOf(to.phase)
                            << "/" << ScanJobState::NameOf(to.session);
  }
}

TEST(ScanJobState, ApplyFollowsTheTableAndAnswersTheFlowsQuestions) {
  ScanJobState job;
  EXPECT_FALSE(job.JobActive());
  EXPECT_FALSE(job.Closed());
  EXPECT_EQ(Phase::Idle, job.Apply(Event::JobCreated).phase);
  EXPECT_TRUE(job.JobActive());
  // Concurrent starts and cancels (scan and cancel threads) never leave a phase outside the table.
  std::vector<std::thread> threads;
  for (Event event : {Event::PageStarted, Event::DeviceCancelled, Event::PageDelivered}) {
    threads.emplace_back([&job, event] {
      for (int i = 0; i < 1000; ++i) job.Apply(event);
    });
  }
  for (std::thread& t : threads) t.join();
  const Phase phase = job.Current().phase;
  EXPECT_TRUE(phase == Phase::Idle || phase == Phase::PageInFlight || phase == Phase::PageEnded);
  // A device stopped without a close (a failed Init) is not a closed session.
  job.Apply(Event::Cleanup);
  EXPECT_TRUE(job.Stopping());
  EXPECT_FALSE(job.Closed());
  job.Apply(Event::Close);
  EXPECT_TRUE(job.Closed());
  EXPECT_TRUE(job.Stopping());
}

}  // namespace
