// The simulator served over HTTP on a loopback address, driven through the generated client
// calls and through hand-written raw requests.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include <jpeglib.h>

#include "service/ServiceFault.h"
#include "service/WscnService.h"
#include "sim/DeviceSimulator.h"
#include "sim/PageTransfer.h"
#include "tests/sim/SimTestSupport.h"

using namespace cavixsim;
using simtest::Client;

namespace {

// 75 dpi grey full platen page as the host asks for it: 637 x 876 pixels, 637 bytes a row.
Ticket GreyPage(int format = kFormatZkraw, int source = kSourcePlaten) {
  return simtest::HostTicket(source, kColorGray8, format, 75, 0, 0, 2550, 3507);
}

class SimServiceTest : public ::testing::Test {
 protected:
  void StartSim(SimConfig config) {
    config.listenAddress = simtest::UniqueLoopback();
    sim_.reset(new DeviceSimulator(config));
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    client_.reset(new Client(sim_->Endpoint()));
  }
  void TearDown() override {
    client_.reset();
    if (sim_) sim_->Stop();
  }

  int Create(const Ticket& t, wscn__CreateScanJobResponseType& r, const char* scanId = "") {
    return soap_call_wscn__CreateScanJobRequest(client_->soap(), client_->endpoint(), nullptr,
                                                const_cast<char*>(scanId), nullptr,
                                                simtest::ToRequest(client_->soap(), t), &r);
  }
  int Retrieve(unsigned jobId, const char* token) {
    client_->Reset();
    wscn__DocumentDescriptionType desc;
    wscn__RetrieveImageResponseType response;
    return soap_call_wscn__RetrieveImageRequest(client_->soap(), client_->endpoint(), nullptr, jobId,
                                                const_cast<char*>(token), &desc, response);
  }
  int JobInfo(unsigned jobId, wscn__JobSummaryType& r) {
    return soap_call_wscn__GetJobInfo(client_->soap(), client_->endpoint(), nullptr, jobId, &r);
  }
  int Elements(wscn__ScanElements& r) {
    return soap_call_wscn__GetScannerElements(client_->soap(), client_->endpoint(), nullptr, &r);
  }
  int PadInfo(wscn__PadInfoResponseType& r) {
    return soap_call_wscn__GetPreviousImagePadInfo(client_->soap(), client_->endpoint(), nullptr, &r);
  }
  int Cancel(unsigned jobId) {
    wscn__CancelRequestResponseType r;
    return soap_call_wscn__CancelJobRequest(client_->soap(), client_->endpoint(), nullptr, jobId, &r);
  }
  std::string Subcode() {
    const char* s = ServiceFault::Subcode(client_->soap());
    return s ? s : "";
  }

  std::unique_ptr<DeviceSimulator> sim_;
  std::unique_ptr<Client> client_;
};

// One DIME record as the DIME format lays it out.
struct DimeRecord {
  int version = 0;
  bool mb = false, me = false, cf = false;
  int typeFormat = 0;
  std::string id, type;
  std::string data;
};

bool ParseDime(const std::string& s, std::vector<DimeRecord>& out) {
  size_t p = 0;
  auto pad = [](size_t n) { return (n + 3) & ~size_t(3); };
  while (p + 12 <= s.size()) {
    const unsigned char* h = reinterpret_cast<const unsigned char*>(s.data() + p);
    DimeRecord r;
    r.version = h[0] >> 3;
    r.mb = h[0] & 4;
    r.me = h[0] & 2;
    r.cf = h[0] & 1;
    r.typeFormat = h[1] >> 4;
    size_t optLen = (h[2] << 8) | h[3], idLen = (h[4] << 8) | h[5], typeLen = (h[6] << 8) | h[7];
    size_t dataLen = (size_t(h[8]) << 24) | (h[9] << 16) | (h[10] << 8) | h[11];
    p += 12 + pad(optLen);
    if (p + pad(idLen) + pad(typeLen) > s.size()) return false;
    r.id = s.substr(p, idLen);
    p += pad(idLen);
    r.type = s.substr(p, typeLen);
    p += pad(typeLen);
    if (p + dataLen > s.size()) return false;
    r.data = s.substr(p, dataLen);
    p += pad(dataLen);
    out.push_back(r);
    if (r.me) return true;
  }
  return false;
}

// Decodes a JPEG into its dimensions and components.
bool DecodeJpeg(const std::vector<uint8_t>& bytes, int& width, int& height, int& components,
                std::vector<uint8_t>* pixels = nullptr) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  width = int(cinfo.output_width);
  height = int(cinfo.output_height);
  components = cinfo.output_components;
  std::vector<uint8_t> row(size_t(width) * size_t(components));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&cinfo, &r, 1);
    if (pixels) pixels->insert(pixels->end(), row.begin(), row.end());
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

TEST_F(SimServiceTest, PlatenPageFromCreationToPadInfo) {
  SimConfig c;
  c.padLines = 3;
  c.scanIdentifier = "scan-to-7";
  StartSim(c);

  wscn__ScanElements el;
  ASSERT_EQ(Elements(el), 0);
  EXPECT_STREQ(el.ScannerInfo.ModelNumber, "vqm440");
  EXPECT_EQ(el.ScannerStatus.ScannerState, wscn__ScannerStateType__Idle);
  EXPECT_EQ(el.ScannerStatus.ScannerStateReason, wscn__ScannerStateReasonsType__None);
  EXPECT_FALSE(el.ScannerStatus.ScanToStatus.PaperInADF);
  ASSERT_NE(el.ScannerStatus.ScanToStatus.ScanIdentifier, nullptr);
  EXPECT_STREQ(el.ScannerStatus.ScanToStatus.ScanIdentifier, "scan-to-7");
  ASSERT_EQ(el.ScannerConfiguration.DeviceSettings.FormatSupported.__size, 2);
  EXPECT_EQ(el.ScannerConfiguration.DeviceSettings.FormatSupported.__ptr[1], wscn__ScanDocumentFormat__zkraw);
  EXPECT_EQ(el.ScannerConfiguration.Platen.ColorSupported.__size, 3);

  const Ticket t = GreyPage();
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job, "scan-to-7"), 0);
  EXPECT_NE(job.JobId, 0u);
  ASSERT_NE(job.JobToken, nullptr);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.PixelsPerLine, 637);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.NumberOfLines, 876);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.BytesPerLine, 637);
  EXPECT_EQ(job.DocumentFinalParameters.Format, wscn__ScanDocumentFormat__zkraw);
  EXPECT_EQ(job.DocumentFinalParameters.MediaSides.MediaFront.ScanRegion.ScanRegionHeight, 11690);
  const std::string token = job.JobToken;

  ASSERT_EQ(Retrieve(job.JobId, token.c_str()), 0);
  EXPECT_EQ(client_->attachmentType, "application/octet-stream");
  ASSERT_EQ(client_->image.size(), size_t(876 + 3) * 637);
  EXPECT_EQ(client_->image, DeviceSimulator::RenderPage(t, 1, 0, 3, false));
  // The last three rows are white pad rows.
  for (size_t i = size_t(876) * 637; i < client_->image.size(); ++i) ASSERT_EQ(client_->image[i], 0xFF);

  wscn__JobSummaryType info;
  ASSERT_EQ(JobInfo(job.JobId, info), 0);
  EXPECT_EQ(info.JobState, wscn__JobStateType__Completed);
  EXPECT_EQ(info.JobStateReasons, wscn__JobStateReasonsType__JobCompletedSuccessfully);
  EXPECT_EQ(info.ScansCompleted, 1);
  wscn__PadInfoResponseType pad;
  ASSERT_EQ(PadInfo(pad), 0);
  EXPECT_EQ(pad.TotalPadLines, 3);

  // A platen job has one image.
  EXPECT_EQ(Retrieve(job.JobId, token.c_str()), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorNoImagesAvailable");
  EXPECT_TRUE(client_->image.empty());

  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(pages[0].complete);
  EXPECT_EQ(pages[0].bytes, uint64_t(879) * 637);
  EXPECT_EQ(pages[0].fnv1a, DeviceSimulator::Hash(DeviceSimulator::RenderPage(t, 1, 0, 3, false)));

  std::vector<RequestRecord> rec = sim_->Requests();
  ASSERT_EQ(rec.size(), 6u);
  EXPECT_EQ(rec[0].op, Operation::GetScannerElements);
  EXPECT_EQ(rec[1].op, Operation::CreateScanJob);
  EXPECT_TRUE(rec[1].hasTicket);
  EXPECT_EQ(rec[1].scanIdentifier, "scan-to-7");
  EXPECT_EQ(rec[1].ticket.regionWidth, 8500);
  EXPECT_EQ(rec[1].ticket.colorProcessing, kColorGray8);
  EXPECT_EQ(rec[2].op, Operation::RetrieveImage);
  EXPECT_EQ(rec[2].jobId, job.JobId);
  EXPECT_EQ(rec[2].jobToken, token);
  EXPECT_EQ(rec[3].op, Operation::GetJobInfo);
  EXPECT_EQ(rec[4].op, Operation::GetPreviousImagePadInfo);
  EXPECT_EQ(rec[5].faultSubcode, "wscn:ClientErrorNoImagesAvailable");
  EXPECT_LE(rec[0].msSinceStart, rec[5].msSinceStart);
}

TEST_F(SimServiceTest, JpegPagesDecodeAndCarryTheirHeaderInTheFirstPiece) {
  SimConfig c;
  c.padLines = 2;
  c.chunkSize = 1000;  // small writes: the first one still holds the headers
  StartSim(c);
  for (int color : {kColorRgb24, kColorGray8}) {
    SCOPED_TRACE(color);
    Ticket t = simtest::HostTicket(kSourcePlaten, color, kFormatJfif, 75, 0, 0, 2550, 3507);
    wscn__CreateScanJobResponseType job;
    ASSERT_EQ(Create(t, job), 0);
    ASSERT_EQ(Retrieve(job.JobId, job.JobToken), 0);
    EXPECT_EQ(client_->attachmentType, "image/jpeg");
    int w = 0, h = 0, comps = 0;
    ASSERT_TRUE(DecodeJpeg(client_->image, w, h, comps));
    EXPECT_EQ(w, 637);
    EXPECT_EQ(h, 876 + 2);
    EXPECT_EQ(comps, color == kColorRgb24 ? 3 : 1);
    // The first piece handed to the write hook reaches the start-of-scan marker.
    std::vector<uint8_t> first(client_->image.begin(), client_->image.begin() + long(client_->firstWrite));
    bool sos = false;
    for (size_t i = 0; i + 1 < first.size(); ++i) sos = sos || (first[i] == 0xFF && first[i + 1] == 0xDA);
    EXPECT_TRUE(sos) << "first write " << client_->firstWrite << " bytes";
    EXPECT_EQ(client_->image, DeviceSimulator::RenderPage(t, 1, 0, 2, false));
  }
}

// With one image for every sheet, feeder pages are the first sheet's chart, and with the page
// cache they come from memory after the first; the sheets still count as themselves.
TEST_F(SimServiceTest, OneImageForEverySheetRepeatsTheFirstSheetsPage) {
  SimConfig c;
  c.adfSheets = 3;
  c.sameImageEverySheet = true;
  c.cachePages = true;
  c.jpegQuality = 62;  // a page no other test caches
  StartSim(c);
  Ticket t = GreyPage(kFormatJfif, kSourceAdf);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job), 0);
  const std::string token = job.JobToken;
  const std::vector<uint8_t> first = DeviceSimulator::RenderPage(t, 1, 0, 0, false, 62);
  ASSERT_NE(first, DeviceSimulator::RenderPage(t, 2, 0, 0, false, 62)) << "sheets differ otherwise";
  const uint64_t encodedBefore = PageTransfer::PagesEncoded();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Retrieve(job.JobId, token.c_str()), 0) << i;
    EXPECT_EQ(client_->image, first) << i;
  }
  EXPECT_EQ(PageTransfer::PagesEncoded() - encodedBefore, 1u) << "drawn and encoded once";
  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pages[size_t(i)].imageInJob, i + 1);
    EXPECT_TRUE(pages[size_t(i)].complete);
    EXPECT_EQ(pages[size_t(i)].fnv1a, DeviceSimulator::Hash(first));
  }
  EXPECT_EQ(Retrieve(job.JobId, token.c_str()), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorNoImagesAvailable");
}

TEST_F(SimServiceTest, DuplexFeederGivesFrontThenBackUntilItRunsEmpty) {
  SimConfig c;
  c.adfSheets = 2;
  StartSim(c);
  Ticket t = GreyPage(kFormatZkraw, kSourceAdfDuplex);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job), 0);
  const std::string token = job.JobToken;
  std::vector<std::vector<uint8_t>> images;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(Retrieve(job.JobId, token.c_str()), 0) << i;
    images.push_back(client_->image);
    wscn__ScanElements el;
    ASSERT_EQ(Elements(el), 0);
    // Paper stays "in the feeder" while a back side is still to come.
    EXPECT_EQ(bool(el.ScannerStatus.ScanToStatus.PaperInADF), i < 3) << i;
  }
  EXPECT_EQ(Retrieve(job.JobId, token.c_str()), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorNoImagesAvailable");
  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 4u);
  const int sides[] = {0, 1, 0, 1};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(pages[size_t(i)].side, sides[i]);
    EXPECT_EQ(pages[size_t(i)].imageInJob, i + 1);
    EXPECT_EQ(images[size_t(i)], DeviceSimulator::RenderPage(t, i / 2 + 1, sides[i], 0, false));
  }
  // Front and back differ (the chart prints page and side).
  EXPECT_NE(images[0], images[1]);
  wscn__JobSummaryType info;
  ASSERT_EQ(JobInfo(job.JobId, info), 0);
  EXPECT_EQ(info.JobState, wscn__JobStateType__Completed);
  EXPECT_EQ(info.ScansCompleted, 4);
}

TEST_F(SimServiceTest, FeederTroubleAtASheetEndsTheJobAsTheStatusMappingExpects) {
  struct Case {
    const char* name;
    int SimConfig::*field;
    int jobReason;
    int scannerState;
    int scannerReason;
    bool refusesNextJob;
  };
  const Case cases[] = {
      {"jam", &SimConfig::jamAtSheet, kReasonMediaJam, kScannerStopped, kScannerMediaJam, true},
      {"cover", &SimConfig::coverOpenAtSheet, kReasonCoverOpen, kScannerStopped, kScannerCoverOpen, true},
      {"mispick", &SimConfig::mispickAtSheet, kReasonMediaMispick, kScannerIdle, kScannerMediaMispick, false},
      {"storage", &SimConfig::storageFullAtSheet, kReasonInternalStorageFull, kScannerIdle,
       kScannerInternalStorageFull, false},
  };
  StartSim(SimConfig());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SimConfig c = sim_->Config();
    c.adfSheets = 3;
    c.jamAtSheet = c.coverOpenAtSheet = c.mispickAtSheet = c.storageFullAtSheet = 0;
    c.*(k.field) = 2;
    ASSERT_TRUE(sim_->Reconfigure(c));
    Ticket t = GreyPage(kFormatZkraw, kSourceAdf);
    wscn__CreateScanJobResponseType job;
    ASSERT_EQ(Create(t, job), 0);
    const std::string token = job.JobToken;
    ASSERT_EQ(Retrieve(job.JobId, token.c_str()), 0);
    EXPECT_EQ(Retrieve(job.JobId, token.c_str()), 2);
    EXPECT_EQ(Subcode(), "wscn:ServerErrorTemporaryError");
    wscn__JobSummaryType info;
    ASSERT_EQ(JobInfo(job.JobId, info), 0);
    EXPECT_EQ(info.JobState, wscn__JobStateType__Aborted);
    EXPECT_EQ(int(info.JobStateReasons), k.jobReason);
    wscn__ScanElements el;
    ASSERT_EQ(Elements(el), 0);
    EXPECT_EQ(int(el.ScannerStatus.ScannerState), k.scannerState);
    EXPECT_EQ(int(el.ScannerStatus.ScannerStateReason), k.scannerReason);
    wscn__CreateScanJobResponseType next;
    EXPECT_EQ(Create(t, next) != 0, k.refusesNextJob);
    sim_->ClearScannerFault();
    EXPECT_EQ(Create(t, next), 0);
  }
}

TEST_F(SimServiceTest, RefusedJobsReportTheScannerCondition) {
  StartSim(SimConfig());
  const Ticket t = GreyPage();
  for (int condition : {kScannerBusy, kScannerCalibrating, kScannerAttentionRequired}) {
    SimConfig c = sim_->Config();
    c.scannerCondition = condition;
    sim_->Reconfigure(c);
    wscn__CreateScanJobResponseType job;
    EXPECT_EQ(Create(t, job), 2);
    EXPECT_EQ(Subcode(), "wscn:ServerErrorTemporaryError");
    wscn__ScanElements el;
    ASSERT_EQ(Elements(el), 0);
    EXPECT_EQ(int(el.ScannerStatus.ScannerStateReason), condition);
  }
  // Not accepting jobs for ever: the scanner stays Processing.
  SimConfig c = sim_->Config();
  c.scannerCondition = kScannerNone;
  c.notAcceptingSeconds = -1;
  sim_->Reconfigure(c);
  wscn__CreateScanJobResponseType job;
  EXPECT_EQ(Create(t, job), 2);
  EXPECT_EQ(Subcode(), "wscn:ServerErrorNotAcceptingJobs");
  wscn__ScanElements el;
  ASSERT_EQ(Elements(el), 0);
  EXPECT_EQ(el.ScannerStatus.ScannerState, wscn__ScannerStateType__Processing);
}

TEST_F(SimServiceTest, CancelJobCancelsAndJobIdNotFoundComesFirstWhenAsked) {
  SimConfig c;
  c.adfSheets = 5;
  c.cancelJobIdNotFound = 2;
  StartSim(c);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(GreyPage(kFormatZkraw, kSourceAdf), job), 0);
  const std::string token = job.JobToken;
  EXPECT_EQ(Cancel(job.JobId), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorJobIdNotFound");
  EXPECT_EQ(Cancel(job.JobId), 1);
  EXPECT_EQ(Cancel(job.JobId), 0);
  EXPECT_EQ(Retrieve(job.JobId, token.c_str()), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorJobCancelled");
  wscn__JobSummaryType info;
  ASSERT_EQ(JobInfo(job.JobId, info), 0);
  EXPECT_EQ(info.JobState, wscn__JobStateType__Canceled);
  // Unknown jobs.
  EXPECT_EQ(Cancel(job.JobId + 100), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorJobIdNotFound");
  EXPECT_EQ(JobInfo(job.JobId + 100, info), 1);
  EXPECT_EQ(Retrieve(job.JobId, "wrong-token"), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorInvalidJobToken");
}

TEST_F(SimServiceTest, CancelOnAnotherConnectionStopsAPageInTransfer) {
  SimConfig c;
  c.chunkSize = 4096;
  c.rateBytesPerSecond = 100000;  // a full 300 dpi grey page would take about 90 s
  StartSim(c);
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatZkraw, 300, 0, 0, 2550, 3507);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job), 0);
  const unsigned id = job.JobId;
  const std::string token = job.JobToken;
  int status = 0;
  std::thread reader([&] { status = Retrieve(id, token.c_str()); });
  // Wait until the page is under way, then cancel on a connection of its own.
  for (int i = 0; i < 1000 && sim_->Requests().size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Client other(sim_->Endpoint());
  wscn__CancelRequestResponseType r;
  EXPECT_EQ(soap_call_wscn__CancelJobRequest(other.soap(), other.endpoint(), nullptr, id, &r), 0);
  reader.join();
  EXPECT_NE(status, 0);
  EXPECT_LT(client_->image.size(), size_t(2550) * 3507);
  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_FALSE(pages[0].complete);
  wscn__JobSummaryType info;
  ASSERT_EQ(soap_call_wscn__GetJobInfo(other.soap(), other.endpoint(), nullptr, id, &info), 0);
  EXPECT_EQ(info.JobState, wscn__JobStateType__Canceled);
}

TEST_F(SimServiceTest, ReconfiguringDuringATransferStopsItAndLeavesTheNewDeviceClean) {
  SimConfig c;
  c.chunkSize = 4096;
  c.rateBytesPerSecond = 100000;
  StartSim(c);
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatZkraw, 300, 0, 0, 2550, 3507);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job), 0);
  const unsigned id = job.JobId;
  const std::string token = job.JobToken;
  int status = 0;
  std::thread reader([&] { status = Retrieve(id, token.c_str()); });
  for (int i = 0; i < 1000 && sim_->Requests().size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  SimConfig fresh;
  fresh.adfSheets = 1;
  ASSERT_TRUE(sim_->Reconfigure(fresh));
  reader.join();
  EXPECT_NE(status, 0);
  EXPECT_TRUE(sim_->SentPages().empty());
  EXPECT_TRUE(sim_->Requests().empty());
  EXPECT_EQ(sim_->AdfSheets(), 1);
  // The new device starts its own jobs.
  Client other(sim_->Endpoint());
  wscn__JobSummaryType info;
  EXPECT_EQ(soap_call_wscn__GetJobInfo(other.soap(), other.endpoint(), nullptr, id, &info), 1);
}

TEST_F(SimServiceTest, BrokenOffPageAndSilentOperations) {
  SimConfig c;
  c.closeMidPage = 1;
  c.noAnswer.push_back(Operation::GetJobInfo);
  StartSim(c);
  Ticket t = GreyPage();
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(t, job), 0);
  const unsigned id = job.JobId;
  EXPECT_EQ(Retrieve(id, job.JobToken), -1);
  EXPECT_LT(client_->image.size(), size_t(876) * 637);
  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_FALSE(pages[0].complete);
  EXPECT_EQ(pages[0].bytes, uint64_t(876) * 637 / 2);

  Client shortWait(sim_->Endpoint(), 1);
  wscn__JobSummaryType info;
  EXPECT_EQ(soap_call_wscn__GetJobInfo(shortWait.soap(), shortWait.endpoint(), nullptr, id, &info), -1);
  std::vector<RequestRecord> rec = sim_->Requests();
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.back().op, Operation::GetJobInfo);
  EXPECT_FALSE(rec.back().answered);
}

// Hostile answers, as bytes on the wire against hand-written expectations.
TEST_F(SimServiceTest, HostileAnswersGoOnTheWireAsDescribed) {
  SimConfig c;
  c.hugeBytes = 10;
  c.misbehave = {{Operation::GetScannerElements, Misbehaviour::Huge, 1},
                 {Operation::CancelJob, Misbehaviour::Huge, 1},
                 {Operation::GetJobInfo, Misbehaviour::HttpError, 1},
                 {Operation::CreateScanJob, Misbehaviour::AbsurdNumbers, 1},
                 {Operation::RetrieveImage, Misbehaviour::LyingRecord, 1},
                 {Operation::RetrieveImage, Misbehaviour::Bomb, 1}};
  StartSim(c);
  const std::string addr = sim_->Config().listenAddress;
  const std::string env =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
      "xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body>";
  const std::string end = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  auto post = [&](const std::string& body, int silenceMs = 10000) {
    return simtest::RawExchange(addr, simtest::PostRequest(env + body + end), silenceMs);
  };

  // Texts of hugeBytes in the element that keeps them; a fault's reason elsewhere.
  const struct {
    const char* request;
    const char* answer;
  } texts[] = {
      {"<wscn:GetScannerElements/>",
       "<wscn:ScanElements><ScannerInfo><ModelNumber>xxxxxxxxxx</ModelNumber></ScannerInfo></wscn:ScanElements>"},
      {"<wscn:CancelJobRequest><JobId>5</JobId></wscn:CancelJobRequest>",
       "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Receiver</SOAP-ENV:Value></SOAP-ENV:Code>"
       "<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">xxxxxxxxxx</SOAP-ENV:Text></SOAP-ENV:Reason>"
       "</SOAP-ENV:Fault>"},
  };
  for (const auto& t : texts) {
    const std::string resp = post(t.request);
    EXPECT_EQ(resp.compare(0, 15, "HTTP/1.1 200 OK"), 0) << resp;
    EXPECT_NE(resp.find("Transfer-Encoding: chunked"), std::string::npos);
    EXPECT_EQ(simtest::HttpBody(resp), env + t.answer + end + "\n");
  }
  // An error page instead of SOAP.
  std::string resp = post("<wscn:GetJobInfo><jobId>1</jobId></wscn:GetJobInfo>");
  EXPECT_EQ(resp.compare(0, 34, "HTTP/1.1 503 Service Unavailable\r\n"), 0) << resp;
  EXPECT_NE(resp.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(simtest::HttpBody(resp).compare(0, 6, "<html>"), 0);

  // Absurd image information with the job.
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(GreyPage(kFormatJfif), job), 0);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.PixelsPerLine, 2147483647);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.NumberOfLines, 2147483647);
  EXPECT_EQ(job.ImageInformation.MediaFrontImageInfo.BytesPerLine, 2147483647);
  const std::string retrieve =
      "<wscn:RetrieveImageRequest><JobId>" + std::to_string(job.JobId) + "</JobId></wscn:RetrieveImageRequest>";

  // A record announcing 0x7FFFFFF0 bytes after the envelope's record, then silence.
  std::string body = simtest::HttpBody(post(retrieve, 1000));
  std::vector<DimeRecord> envelope;
  ParseDime(body, envelope);
  ASSERT_FALSE(envelope.empty());
  EXPECT_TRUE(envelope[0].mb);
  const size_t at = body.find(std::string("\x0a\x10\x00\x00", 4));
  ASSERT_NE(at, std::string::npos);
  const std::string id = "page-" + std::to_string(job.JobId) + "-1";
  EXPECT_EQ(body.substr(at + 4, 8), std::string("\x00", 1) + char(id.size()) + std::string("\x00\x0a", 2) +
                                        std::string("\x7f\xff\xff\xf0", 4));
  EXPECT_EQ(body.substr(at + 12, id.size()), id);

  // A whole JPEG whose frame header announces 65500 x 65500 pixels (the page of a new job).
  ASSERT_EQ(Create(GreyPage(kFormatJfif), job), 0);
  std::vector<DimeRecord> records;
  ASSERT_TRUE(ParseDime(simtest::HttpBody(post("<wscn:RetrieveImageRequest><JobId>" + std::to_string(job.JobId) +
                                               "</JobId></wscn:RetrieveImageRequest>")),
                        records));
  std::string jpeg;
  for (size_t i = 1; i < records.size(); ++i) jpeg += records[i].data;
  ASSERT_EQ(jpeg.compare(0, 2, "\xff\xd8"), 0);
  const size_t sof = jpeg.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  EXPECT_EQ(jpeg.substr(sof + 5, 4), "\xff\xdc\xff\xdc");
}

TEST_F(SimServiceTest, InjectedFaultsAndPadInfoNotImplemented) {
  SimConfig c;
  InjectedFault f;
  ASSERT_TRUE(ParseFaultOption("GetPreviousImagePadInfo:Sender:wscn:ClientErrorInvalidArgs:Bad pad query:1", f));
  c.faults.push_back(f);
  ASSERT_TRUE(ParseFaultOption("GetScannerElements:Receiver:-:Firmware update", f));
  c.faults.push_back(f);
  StartSim(c);
  wscn__PadInfoResponseType pad;
  EXPECT_EQ(PadInfo(pad), 1);
  EXPECT_EQ(Subcode(), "wscn:ClientErrorInvalidArgs");
  EXPECT_STREQ(ServiceFault::Reason(client_->soap()), "Bad pad query");
  EXPECT_EQ(PadInfo(pad), 0);
  wscn__ScanElements el;
  EXPECT_EQ(Elements(el), 2);
  EXPECT_EQ(Elements(el), 2);
  EXPECT_STREQ(ServiceFault::Reason(client_->soap()), "Firmware update");

  c = sim_->Config();
  c.faults.clear();
  c.padInfoNotImplemented = true;
  sim_->Reconfigure(c);
  EXPECT_EQ(PadInfo(pad), 1);
  ASSERT_NE(ServiceFault::Reason(client_->soap()), nullptr);
  EXPECT_NE(std::strstr(ServiceFault::Reason(client_->soap()), "not implemented"), nullptr);
}

TEST_F(SimServiceTest, RewrittenEnvelopesReadAsTheSameValues) {
  StartSim(SimConfig());
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(Create(GreyPage(), job), 0);
  ASSERT_EQ(Retrieve(job.JobId, job.JobToken), 0);
  const unsigned id = job.JobId;
  const std::vector<uint8_t> plain = client_->image;
  for (int variant = 0; variant < 4; ++variant) {
    SCOPED_TRACE(variant);
    SimConfig c = sim_->Config();
    c.soap11 = variant == 0;
    c.reorderElements = variant == 1 || variant == 3;
    c.extraElements = variant == 2 || variant == 3;
    c.enumNumbers = variant == 3;
    sim_->Reconfigure(c);
    ASSERT_EQ(Create(GreyPage(), job), 0);
    ASSERT_EQ(job.ImageInformation.MediaFrontImageInfo.BytesPerLine, 637);
    ASSERT_EQ(job.DocumentFinalParameters.Format, wscn__ScanDocumentFormat__zkraw);
    ASSERT_EQ(job.DocumentFinalParameters.InputSource, wscn__ScanInputSource__Platen);
    ASSERT_EQ(Retrieve(job.JobId, job.JobToken), 0);
    EXPECT_EQ(client_->image, plain);
    wscn__JobSummaryType info;
    ASSERT_EQ(JobInfo(job.JobId, info), 0);
    EXPECT_EQ(info.JobId, job.JobId);
    EXPECT_EQ(info.JobState, wscn__JobStateType__Completed);
    EXPECT_EQ(info.JobStateReasons, wscn__JobStateReasonsType__JobCompletedSuccessfully);
    wscn__ScanElements el;
    ASSERT_EQ(Elements(el), 0);
    EXPECT_STREQ(el.ScannerInfo.ModelNumber, "vqm440");
    EXPECT_EQ(el.ScannerConfiguration.Platen.ColorSupported.__size, 3);
    EXPECT_EQ(el.ScannerConfiguration.Platen.ColorSupported.__ptr[2], wscn__ColorEntryType__RGB24);
    EXPECT_EQ(el.ScannerConfiguration.ADF.ADFMaximumSize.Height, 14000);
    EXPECT_TRUE(el.ScannerConfiguration.Platen.FlatbedSupported);
    // A fault in the rewritten form still carries its reason.
    EXPECT_NE(JobInfo(id + 1000, info), 0);
    EXPECT_STREQ(ServiceFault::Reason(client_->soap()), "No such job");
  }
}

TEST_F(SimServiceTest, HandWrittenRequestsGetTheDocumentedAnswers) {
  SimConfig c;
  c.padLines = 4;
  StartSim(c);
  const std::string addr = simtest::UniqueLoopback();
  const std::string env =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
      "xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body>";
  const std::string end = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

  // Pad info, sent with a length.
  std::string resp = simtest::RawExchange(addr, simtest::PostRequest(env + "<wscn:GetPreviousImagePadInfo/>" + end));
  ASSERT_EQ(resp.compare(0, 15, "HTTP/1.1 200 OK"), 0) << resp;
  std::string body = simtest::HttpBody(resp);
  EXPECT_NE(body.find("<SOAP-ENV:Body><wscn:PadInfoResponseType><TotalPadLines>0</TotalPadLines>"
                      "</wscn:PadInfoResponseType></SOAP-ENV:Body>"),
            std::string::npos)
      << body;

  // The scanner's elements: capability arrays in the SOAP-encoded arrayType form.
  resp = simtest::RawExchange(addr, simtest::PostRequest(env + "<wscn:GetScannerElements/>" + end));
  body = simtest::HttpBody(resp);
  EXPECT_NE(body.find("<wscn:ScanElements><ScannerConfiguration><DeviceSettings><FormatSupported "
                      "SOAP-ENC:arrayType=\"wscn:ScanDocumentFormat[2]\"><item>jfif</item><item>zkraw</item>"
                      "</FormatSupported><QualityFactorSupported>false</QualityFactorSupported><ContentSupported "
                      "SOAP-ENC:arrayType=\"wscn:ContentType[3]\"><item>Auto</item><item>Document</item>"
                      "<item>Photo</item></ContentSupported>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<ColorSupported SOAP-ENC:arrayType=\"wscn:ColorEntryType[3]\"><item>BlackandWhite1</item>"
                      "<item>GrayScale8</item><item>RGB24</item></ColorSupported>"),
            std::string::npos);
  EXPECT_NE(body.find("<ScannerStatus><ScannerState>Idle</ScannerState><ScannerStateReason>None</ScannerStateReason>"
                      "<ScanToStatus><PaperInADF>false</PaperInADF><ScanToAvailable>false</ScanToAvailable>"
                      "</ScanToStatus></ScannerStatus><ScannerInfo><ModelNumber>vqm440</ModelNumber></ScannerInfo>"
                      "</wscn:ScanElements>"),
            std::string::npos);
  EXPECT_NE(resp.find("Content-Length: "), std::string::npos);

  // A job created by hand, sent chunked.
  const std::string create =
      env +
      "<wscn:CreateScanJobRequest><ScanIdentifier></ScanIdentifier><ScanTicket><JobDescription/>"
      "<DocumentParameters><Format>zkraw</Format><CompressionQualityFactor>0</CompressionQualityFactor>"
      "<ImagesToTransfer>0</ImagesToTransfer><InputSource>Platen</InputSource><ContentType>Auto</ContentType>"
      "<InputSize><InputMediaSize><Width>8500</Width><Height>11690</Height></InputMediaSize>"
      "<DocumentSizeAutoDetect>false</DocumentSizeAutoDetect></InputSize><Exposure><AutoExposure>false"
      "</AutoExposure><ExposureSettings><Contrast>0</Contrast></ExposureSettings></Exposure><MediaSides>"
      "<MediaFront><ScanRegion><ScanRegionXOffset>0</ScanRegionXOffset><ScanRegionYOffset>0</ScanRegionYOffset>"
      "<ScanRegionWidth>8480</ScanRegionWidth><ScanRegionHeight>11690</ScanRegionHeight></ScanRegion>"
      "<ColorProcessing>BlackandWhite1</ColorProcessing><Resolution><Width>75</Width><Height>75</Height>"
      "</Resolution></MediaFront></MediaSides></DocumentParameters><RetrieveImageTimeout>300"
      "</RetrieveImageTimeout><ScanManufacturingParameters><ImageProcessingRemoval>removeNone"
      "</ImageProcessingRemoval></ScanManufacturingParameters></ScanTicket></wscn:CreateScanJobRequest>" + end;
  char size[16];
  std::snprintf(size, sizeof size, "%zx", create.size());
  resp = simtest::RawExchange(addr, "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"
                                    "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + create + "\r\n0\r\n\r\n");
  body = simtest::HttpBody(resp);
  // 75 dpi one-bit: 632 pixels (a multiple of 8), 79 bytes a row, 876 rows.
  EXPECT_NE(body.find("<wscn:CreateScanJobResponseType><JobId>1</JobId><JobToken>token-1</JobToken>"
                      "<ImageInformation><MediaFrontImageInfo><PixelsPerLine>632</PixelsPerLine>"
                      "<NumberOfLines>876</NumberOfLines><BytesPerLine>79</BytesPerLine>"),
            std::string::npos)
      << body;

  // The page: a DIME message whose first record is the envelope naming the attachment.
  resp = simtest::RawExchange(addr, simtest::PostRequest(
      env + "<wscn:RetrieveImageRequest><JobId>1</JobId><JobToken>token-1</JobToken><DocumentDescription/>"
            "</wscn:RetrieveImageRequest>" + end));
  EXPECT_NE(resp.find("Content-Type: application/dime"), std::string::npos) << resp.substr(0, 300);
  std::vector<DimeRecord> records;
  ASSERT_TRUE(ParseDime(simtest::HttpBody(resp), records));
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].version, 1);
  EXPECT_TRUE(records[0].mb);
  EXPECT_NE(records[0].data.find("<wscn:RetrieveImageRequestResponse><Response href=\"page-1-1\""), std::string::npos)
      << records[0].data;
  EXPECT_EQ(records[1].id, "page-1-1");
  EXPECT_EQ(records[1].type, "application/octet-stream");
  EXPECT_TRUE(records.back().me);
  std::string image;
  for (size_t i = 1; i < records.size(); ++i) {
    image += records[i].data;
    EXPECT_EQ(records[i].cf, i + 1 < records.size()) << i;
  }
  ASSERT_EQ(image.size(), size_t(876 + 4) * 79);
  // One-bit rows: a set bit is white. The top left corner of the chart is white; the
  // registration mark's bar 1/3 inch down runs from 0.13 to 0.53 inch: pixels 10 to 40 of
  // row 25 at 75 dpi, so byte 3 of the row (pixels 24 to 31) is black and byte 0 white.
  EXPECT_EQ(uint8_t(image[0]), 0xFF);
  EXPECT_EQ(uint8_t(image[size_t(25) * 79]), 0xFF);
  EXPECT_EQ(uint8_t(image[size_t(25) * 79 + 3]), 0x00);

  // Job info as a number-free document.
  resp = simtest::RawExchange(addr, simtest::PostRequest(env + "<wscn:GetJobInfo><jobId>1</jobId></wscn:GetJobInfo>" + end));
  body = simtest::HttpBody(resp);
  EXPECT_NE(body.find("<wscn:JobSummaryType><JobId>1</JobId><JobState>Completed</JobState>"
                      "<JobStateReasons>JobCompletedSuccessfully</JobStateReasons><ScansCompleted>1</ScansCompleted>"
                      "</wscn:JobSummaryType>"),
            std::string::npos)
      << body;
}

TEST_F(SimServiceTest, RewritingOptionsChangeTheWireAsAsked) {
  SimConfig c;
  c.enumNumbers = true;
  c.soap11 = true;
  StartSim(c);
  const std::string addr = simtest::UniqueLoopback();
  const std::string env11 =
      "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body>";
  std::string resp = simtest::RawExchange(addr, simtest::PostRequest(env11 + "<wscn:GetScannerElements/></SOAP-ENV:Body></SOAP-ENV:Envelope>"));
  EXPECT_NE(resp.find("Content-Type: text/xml; charset=utf-8"), std::string::npos);
  std::string body = simtest::HttpBody(resp);
  EXPECT_NE(body.find("xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""), std::string::npos) << body;
  EXPECT_EQ(body.find("http://www.w3.org/2003/05/soap-envelope"), std::string::npos);
  EXPECT_NE(body.find("<ScannerState>0</ScannerState><ScannerStateReason>9</ScannerStateReason>"
                      "<ScanToStatus><PaperInADF>0</PaperInADF>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<item>0</item><item>1</item></FormatSupported>"), std::string::npos) << body;
  // The page's envelope (first DIME record) is a SOAP 1.1 envelope as well.
  Client c11(sim_->Endpoint());
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(soap_call_wscn__CreateScanJobRequest(c11.soap(), c11.endpoint(), nullptr, const_cast<char*>(""), nullptr,
                                                 simtest::ToRequest(c11.soap(), GreyPage()), &job),
            0);
  resp = simtest::RawExchange(addr, simtest::PostRequest(env11 + "<wscn:RetrieveImageRequest><JobId>" +
                                                         std::to_string(job.JobId) +
                                                         "</JobId></wscn:RetrieveImageRequest></SOAP-ENV:Body></SOAP-ENV:Envelope>"));
  std::vector<DimeRecord> records;
  ASSERT_TRUE(ParseDime(simtest::HttpBody(resp), records)) << resp.substr(0, 400);
  EXPECT_NE(records[0].data.find("xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""), std::string::npos)
      << records[0].data;
  // A SOAP 1.1 fault: the reason code stands in the faultcode.
  resp = simtest::RawExchange(addr, simtest::PostRequest(env11 + "<wscn:GetJobInfo><jobId>77</jobId></wscn:GetJobInfo></SOAP-ENV:Body></SOAP-ENV:Envelope>"));
  EXPECT_NE(simtest::HttpBody(resp).find("<SOAP-ENV:Fault><faultcode>wscn:ClientErrorJobIdNotFound</faultcode>"
                                         "<faultstring>No such job</faultstring></SOAP-ENV:Fault>"),
            std::string::npos)
      << resp;
}

TEST_F(SimServiceTest, BadRequestsGetSenderFaultsAndTheDeviceGoesOn) {
  StartSim(SimConfig());
  const std::string addr = simtest::UniqueLoopback();
  const std::string env =
      "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
      "xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body>";
  const std::string bad[] = {
      simtest::PostRequest(env + "<wscn:FormatHardDisk/></SOAP-ENV:Body></SOAP-ENV:Envelope>"),
      simtest::PostRequest(env + "<wscn:GetJobInfo><jobId>12</job"),
      simtest::PostRequest("this is not XML at all"),
      simtest::PostRequest(env + "<wscn:GetJobInfo><jobId>twelve</jobId></wscn:GetJobInfo></SOAP-ENV:Body></SOAP-ENV:Envelope>"),
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "\x01\x02 garbage\r\n\r\n",
  };
  for (const std::string& request : bad) {
    std::string resp = simtest::RawExchange(addr, request, 5000);
    std::string body = simtest::HttpBody(resp);
    EXPECT_NE(body.find("<SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"), std::string::npos)
        << request << "\n--->\n" << resp;
    EXPECT_NE(body.find("<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">"), std::string::npos) << resp;
  }
  // A connection that closes half way: no answer needed, but the device must go on.
  simtest::RawExchange(addr, "POST / HTTP/1.1\r\nContent-Length: 500\r\n\r\n<?xml", 200);
  wscn__ScanElements el;
  EXPECT_EQ(Elements(el), 0);
  bool recorded = false;
  for (const RequestRecord& r : sim_->Requests()) recorded = recorded || r.op == Operation::Unknown;
  EXPECT_TRUE(recorded);
}

TEST_F(SimServiceTest, HundredPagesInARowKeepMemoryFlatAndBytesEqual) {
  StartSim(SimConfig());
  const Ticket t = GreyPage();
  const uint64_t expected = DeviceSimulator::Hash(DeviceSimulator::RenderPage(t, 1, 0, 0, false));
  long afterWarmUp = 0;
  for (int i = 0; i < 100; ++i) {
    wscn__CreateScanJobResponseType job;
    ASSERT_EQ(Create(t, job), 0);
    ASSERT_EQ(Retrieve(job.JobId, job.JobToken), 0);
    ASSERT_EQ(DeviceSimulator::Hash(client_->image), expected) << i;
    soap_destroy(client_->soap());
    soap_end(client_->soap());
    if (i == 9) afterWarmUp = simtest::ResidentKb();
  }
  const long growth = simtest::ResidentKb() - afterWarmUp;
#if defined(__SANITIZE_ADDRESS__)
  (void)growth;  // freed memory sits in the address sanitizer's quarantine
#else
  EXPECT_LT(growth, 8 * 1024) << "kB grown over 90 pages";
#endif
  std::vector<SentPage> pages = sim_->SentPages();
  ASSERT_EQ(pages.size(), 100u);
  for (const SentPage& p : pages) {
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.fnv1a, expected);
    EXPECT_TRUE(p.data.empty());  // not kept unless asked
  }
}

size_t ThreadsOfThisProcess() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++n;
    closedir(dir);
  }
  return n;
}

bool ThreadsSettleAtMost(size_t limit) {
  for (int i = 0; i < 100 && ThreadsOfThisProcess() > limit; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return ThreadsOfThisProcess() <= limit;
}

// Connections at once, more than the threads kept waiting, are all served; a long run of
// exchanges one after the other then leaves no more threads than are kept waiting, and the
// stop ends the waiting ones.
TEST_F(SimServiceTest, ConnectionsAtOnceAndInARowAreServedByAFewThreads) {
  const size_t before = ThreadsOfThisProcess();
  StartSim(SimConfig());
  constexpr int kClients = 10;
  std::vector<int> failures(kClients, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client own(sim_->Endpoint());
      for (int i = 0; i < 5; ++i) {
        wscn__ScanElements elements;
        if (soap_call_wscn__GetScannerElements(own.soap(), own.endpoint(), nullptr, &elements) != 0) ++failures[c];
      }
    });
  }
  for (std::thread& t : clients) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(0, failures[c]) << "client " << c;
  for (int i = 0; i < 50; ++i) {
    wscn__ScanElements elements;
    ASSERT_EQ(0, Elements(elements)) << i;
  }
  EXPECT_EQ(size_t(kClients) * 5 + 50, sim_->Requests().size());
  // The accept loop, the WS-Discovery responder and the threads kept waiting. A thread that has
  // ended is listed for a moment longer, so the count is given a second to settle.
  EXPECT_TRUE(ThreadsSettleAtMost(before + 2 + 4));
  sim_->Stop();
  EXPECT_TRUE(ThreadsSettleAtMost(before));
}
