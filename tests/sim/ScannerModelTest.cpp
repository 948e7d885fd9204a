// The device model on its own: job life, feeder, refusals and the record.
#include <gtest/gtest.h>

#include <thread>

#include "sim/ScannerModel.h"
#include "tests/sim/SimTestSupport.h"

using namespace cavixsim;

namespace {

Ticket Page(int source = kSourcePlaten) {
  return simtest::HostTicket(source, kColorGray8, kFormatZkraw, 75, 0, 0, 2550, 3507);
}

// Plays one page through: retrieve, then report the whole page sent.
Answer<PagePlan> Deliver(ScannerModel& m, uint32_t job, const std::string& token, bool complete = true) {
  Answer<PagePlan> a = m.RetrieveImage(job, token.c_str());
  if (a.ok) m.PageTransferEnded(a.value, 100, 7, complete, {});
  return a;
}

}  // namespace

TEST(ScannerModelTest, JobsGetNewIdsAndANewJobEndsTheOpenOne) {
  SimConfig c;
  c.adfSheets = 5;
  ScannerModel m(c);
  Answer<CreatedJob> a = m.CreateScanJob("", Page(kSourceAdf));
  Answer<CreatedJob> b = m.CreateScanJob(nullptr, Page());
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(b.value.jobId, a.value.jobId + 1);
  EXPECT_NE(a.value.token, b.value.token);
  Answer<JobSummary> s = m.GetJobInfo(a.value.jobId);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.value.state, kJobAborted);
  EXPECT_FALSE(m.RetrieveImage(a.value.jobId, a.value.token.c_str()).ok);
  EXPECT_EQ(m.GetJobInfo(b.value.jobId).value.state, kJobPending);
}

TEST(ScannerModelTest, TicketsAndIdentifiersAreChecked) {
  SimConfig c;
  c.scanIdentifier = "desk-3";
  ScannerModel m(c);
  EXPECT_TRUE(m.CreateScanJob("desk-3", Page()).ok);
  EXPECT_TRUE(m.CreateScanJob("", Page()).ok);
  Answer<CreatedJob> wrong = m.CreateScanJob("desk-4", Page());
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.fault.subcode, "wscn:ClientErrorInvalidScanIdentifier");
  EXPECT_EQ(wrong.fault.code, "Sender");
  Ticket bad = Page();
  bad.inputSource = kSourceS2;
  EXPECT_EQ(m.CreateScanJob("", bad).fault.subcode, "wscn:ClientErrorInvalidArgs");
  bad = Page();
  bad.colorProcessing = kColorBw1;
  bad.format = kFormatJfif;
  EXPECT_EQ(m.CreateScanJob("", bad).fault.subcode, "wscn:ClientErrorInvalidArgs");
  std::vector<RequestRecord> rec = m.Requests();
  ASSERT_EQ(rec.size(), 5u);
  EXPECT_EQ(rec[2].scanIdentifier, "desk-4");
  EXPECT_EQ(rec[2].faultSubcode, "wscn:ClientErrorInvalidScanIdentifier");
  EXPECT_EQ(rec[0].faultSubcode, "");
}

TEST(ScannerModelTest, EmptyFeederAndPlatenEndInNoImages) {
  ScannerModel m{SimConfig()};
  Answer<CreatedJob> adf = m.CreateScanJob("", Page(kSourceAdf));
  Answer<PagePlan> none = m.RetrieveImage(adf.value.jobId, nullptr);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.fault.subcode, "wscn:ClientErrorNoImagesAvailable");
  EXPECT_EQ(m.GetJobInfo(adf.value.jobId).value.state, kJobCompleted);
  EXPECT_EQ(m.GetJobInfo(adf.value.jobId).value.reason, kReasonNone);
  EXPECT_FALSE(m.GetScannerElements().value.status.paperInAdf);

  Answer<CreatedJob> platen = m.CreateScanJob("", Page());
  const std::string token = platen.value.token;
  EXPECT_TRUE(Deliver(m, platen.value.jobId, token).ok);
  EXPECT_EQ(m.RetrieveImage(platen.value.jobId, token.c_str()).fault.subcode, "wscn:ClientErrorNoImagesAvailable");
  EXPECT_EQ(m.GetPreviousImagePadInfo().value, 0);
}

TEST(ScannerModelTest, FeederSheetsCountDownAndReloadWorks) {
  SimConfig c;
  c.adfSheets = 2;
  c.padLines = 9;
  ScannerModel m(c);
  Answer<CreatedJob> job = m.CreateScanJob("", Page(kSourceAdf));
  const std::string token = job.value.token;
  Answer<PagePlan> p1 = Deliver(m, job.value.jobId, token);
  ASSERT_TRUE(p1.ok);
  EXPECT_EQ(p1.value.sheet, 1);
  EXPECT_EQ(p1.value.padLines, 9u);
  EXPECT_EQ(m.AdfSheets(), 1);
  EXPECT_EQ(m.GetJobInfo(job.value.jobId).value.state, kJobProcessing);
  EXPECT_EQ(Deliver(m, job.value.jobId, token).value.sheet, 2);
  EXPECT_EQ(m.GetJobInfo(job.value.jobId).value.state, kJobCompleted);
  EXPECT_FALSE(m.GetScannerElements().value.status.paperInAdf);
  // Paper put back after the last page: the open job goes on.
  m.LoadAdf(1);
  EXPECT_TRUE(m.GetScannerElements().value.status.paperInAdf);
  EXPECT_EQ(Deliver(m, job.value.jobId, token).value.sheet, 3);
  EXPECT_EQ(m.GetJobInfo(job.value.jobId).value.scansCompleted, 3);
  EXPECT_EQ(m.GetPreviousImagePadInfo().value, 9);
}

TEST(ScannerModelTest, AnIncompleteTransferAbortsTheJob) {
  SimConfig c;
  c.adfSheets = 3;
  ScannerModel m(c);
  Answer<CreatedJob> job = m.CreateScanJob("", Page(kSourceAdf));
  ASSERT_TRUE(Deliver(m, job.value.jobId, job.value.token, false).ok);
  Answer<JobSummary> s = m.GetJobInfo(job.value.jobId);
  EXPECT_EQ(s.value.state, kJobAborted);
  EXPECT_EQ(s.value.reason, kReasonImageTransferError);
  std::vector<SentPage> pages = m.SentPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_FALSE(pages[0].complete);
}

TEST(ScannerModelTest, NotAcceptingJobsForAWhileThenAccepting) {
  SimConfig c;
  c.notAcceptingSeconds = 0.01;
  ScannerModel m(c);
  EXPECT_EQ(m.GetScannerElements().value.status.state, kScannerProcessing);
  Answer<CreatedJob> a = m.CreateScanJob("", Page());
  EXPECT_EQ(a.fault.subcode, "wscn:ServerErrorNotAcceptingJobs");
  EXPECT_EQ(a.fault.code, "Receiver");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(m.GetScannerElements().value.status.state, kScannerIdle);
  EXPECT_TRUE(m.CreateScanJob("", Page()).ok);

  c.notAcceptingSeconds = 3600;
  m.Reset(c);
  EXPECT_FALSE(m.CreateScanJob("", Page()).ok);
  EXPECT_FALSE(m.CreateScanJob("", Page()).ok);
  EXPECT_EQ(m.GetScannerElements().value.status.state, kScannerProcessing);
}

TEST(ScannerModelTest, InjectedFaultsCountDownAndSilenceIsRecorded) {
  SimConfig c;
  InjectedFault f;
  ASSERT_TRUE(ParseFaultOption("GetJobInfo:Receiver:wscn:ServerErrorTemporaryError:later:2", f));
  c.faults.push_back(f);
  c.noAnswer.push_back(Operation::CancelJob);
  ScannerModel m(c);
  Answer<CreatedJob> job = m.CreateScanJob("", Page());
  EXPECT_FALSE(m.GetJobInfo(job.value.jobId).ok);
  EXPECT_FALSE(m.GetJobInfo(job.value.jobId).ok);
  EXPECT_TRUE(m.GetJobInfo(job.value.jobId).ok);
  EXPECT_TRUE(m.Silent(Operation::CancelJob, job.value.jobId));
  EXPECT_FALSE(m.Silent(Operation::GetJobInfo, job.value.jobId));
  std::vector<RequestRecord> rec = m.Requests();
  ASSERT_EQ(rec.size(), 5u);
  EXPECT_EQ(rec[1].faultSubcode, "wscn:ServerErrorTemporaryError");
  EXPECT_EQ(rec[4].op, Operation::CancelJob);
  EXPECT_FALSE(rec[4].answered);
  m.ClearRequests();
  EXPECT_TRUE(m.Requests().empty());
  // A reset gives a fresh device: faults armed again, records and jobs gone.
  m.Reset(c);
  EXPECT_FALSE(m.GetJobInfo(1).ok);
  EXPECT_TRUE(m.SentPages().empty());
}
