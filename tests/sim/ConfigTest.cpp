// Options of the simulator from the command line and from a config file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/SimConfig.h"

using namespace cavixsim;

namespace {

ParseResult Parse(std::vector<const char*> args, SimConfig& c) {
  args.insert(args.begin(), "cavix-devsim");
  return ParseCommandLine(int(args.size()), args.data(), c);
}

std::string TempFile(const std::string& text) {
  char name[] = "/tmp/cavix-sim-config-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  FILE* f = fdopen(fd, "w");
  fputs(text.c_str(), f);
  fclose(f);
  return name;
}

}  // namespace

TEST(ConfigTest, CommandLineSetsEveryScenario) {
  SimConfig c;
  ParseResult r = Parse({"--listen", "127.0.0.5", "--adf-sheets", "7", "--pad-lines=12", "--pad-dark",
                         "--scan-id", "host-a", "--chunk-size", "512", "--rate", "100000", "--jam-at", "2",
                         "--cover-open-at", "3", "--mispick-at", "4", "--storage-full-at", "5",
                         "--scanner-condition", "Calibrating", "--not-accepting", "2.5", "--cancel-not-found", "3",
                         "--padinfo-not-implemented", "--close-mid-page", "2", "--no-answer", "getjobinfo",
                         "--soap11", "--reorder", "--extra-elements", "--enum-numbers", "--mac",
                         "00:1B:78:AA:BB:CC", "--neighbour-table", "/tmp/n.txt", "--jpeg-quality", "50", "--page-cache",
                         "--same-image", "--misbehave", "RetrieveImage:empty-chunks", "--misbehave",
                         "createscanjob:huge:2", "--huge-bytes", "1000", "--trickle-ms", "20"},
                        c);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_FALSE(r.help);
  EXPECT_EQ(c.listenAddress, "127.0.0.5");
  EXPECT_EQ(c.adfSheets, 7);
  EXPECT_EQ(c.padLines, 12u);
  EXPECT_TRUE(c.padDark);
  EXPECT_EQ(c.scanIdentifier, "host-a");
  EXPECT_EQ(c.chunkSize, 512u);
  EXPECT_EQ(c.rateBytesPerSecond, 100000u);
  EXPECT_EQ(c.jamAtSheet, 2);
  EXPECT_EQ(c.coverOpenAtSheet, 3);
  EXPECT_EQ(c.mispickAtSheet, 4);
  EXPECT_EQ(c.storageFullAtSheet, 5);
  EXPECT_EQ(c.scannerCondition, kScannerCalibrating);
  EXPECT_DOUBLE_EQ(c.notAcceptingSeconds, 2.5);
  EXPECT_EQ(c.cancelJobIdNotFound, 3);
  EXPECT_TRUE(c.padInfoNotImplemented);
  EXPECT_EQ(c.closeMidPage, 2);
  ASSERT_EQ(c.noAnswer.size(), 1u);
  EXPECT_EQ(c.noAnswer[0], Operation::GetJobInfo);
  EXPECT_TRUE(c.soap11 && c.reorderElements && c.extraElements && c.enumNumbers);
  EXPECT_EQ(c.macAddress, "00:1B:78:AA:BB:CC");
  EXPECT_EQ(c.neighbourTableFile, "/tmp/n.txt");
  EXPECT_EQ(c.jpegQuality, 50);
  EXPECT_TRUE(c.cachePages && c.sameImageEverySheet);
  ASSERT_EQ(c.misbehave.size(), 2u);
  EXPECT_EQ(c.misbehave[0].op, Operation::RetrieveImage);
  EXPECT_EQ(c.misbehave[0].kind, Misbehaviour::EmptyChunks);
  EXPECT_EQ(c.misbehave[0].remaining, -1);
  EXPECT_EQ(c.misbehave[1].op, Operation::CreateScanJob);
  EXPECT_EQ(c.misbehave[1].kind, Misbehaviour::Huge);
  EXPECT_EQ(c.misbehave[1].remaining, 2);
  EXPECT_EQ(c.hugeBytes, 1000u);
  EXPECT_EQ(c.trickleIntervalMs, 20u);

  SimConfig h;
  r = Parse({"--usb", "--help"}, h);
  EXPECT_TRUE(r.ok && r.help);
  EXPECT_TRUE(h.usb);
}

TEST(ConfigTest, BadOptionsAreRefusedWithTheirName) {
  const std::vector<std::vector<const char*>> bad = {
      {"--adf-sheets"},           {"--adf-sheets", "many"},       {"--pad-lines", "-1"},
      {"--jpeg-quality", "0"},    {"--scanner-condition", "hot"}, {"--no-answer", "Ping"},
      {"--frobnicate"},           {"listen"},                     {"--fault", "CancelJob:Maybe:-:x"},
      {"--chunk-size", "0"},      {"--rate", "1e3"},
      {"--misbehave", "RetrieveImage"},  {"--misbehave", "RetrieveImage:sulk"},
      {"--misbehave", "Ping:huge"},      {"--misbehave", "GetJobInfo:huge:x"},
      {"--huge-bytes", "0"},             {"--trickle-ms", "0"},
  };
  for (const auto& args : bad) {
    SimConfig c;
    ParseResult r = Parse(args, c);
    EXPECT_FALSE(r.ok) << args[0];
    EXPECT_FALSE(r.error.empty());
  }
  SimConfig c;
  ParseResult r = Parse({"--adf-sheets", "many"}, c);
  EXPECT_NE(r.error.find("adf-sheets"), std::string::npos) << r.error;
}

TEST(ConfigTest, FaultSpecsNameOperationCodeSubcodeReasonAndCount) {
  InjectedFault f;
  ASSERT_TRUE(ParseFaultOption("RetrieveImage:Receiver:wscn:ServerErrorTemporaryError:Try later:2", f));
  EXPECT_EQ(f.op, Operation::RetrieveImage);
  EXPECT_EQ(f.fault.code, "Receiver");
  EXPECT_EQ(f.fault.subcode, "wscn:ServerErrorTemporaryError");
  EXPECT_EQ(f.fault.reason, "Try later");
  EXPECT_EQ(f.remaining, 2);
  ASSERT_TRUE(ParseFaultOption("cancelJob:client:-:No reason given", f));
  EXPECT_EQ(f.op, Operation::CancelJob);
  EXPECT_EQ(f.fault.code, "Sender");
  EXPECT_EQ(f.fault.subcode, "");
  EXPECT_EQ(f.remaining, -1);
  EXPECT_FALSE(ParseFaultOption("GetJobInfo:Sender:wscn:X", f));           // no reason
  EXPECT_FALSE(ParseFaultOption("Reboot:Sender:-:now", f));                // unknown operation
  EXPECT_FALSE(ParseFaultOption("GetJobInfo:Sender:-:why:often", f));      // bad count
  EXPECT_FALSE(ParseFaultOption("GetJobInfo:Sender:wscn:X:why:1:extra", f));
}

TEST(ConfigTest, ConfigFileReadsInPlaceAndLaterOptionsWin) {
  const std::string path = TempFile(
      "# scanner for the feeder tests\n"
      "adf-sheets 4\n"
      "pad-lines=6   # trailing comment\n"
      "  duplex-ignored-by-nobody\n");
  SimConfig c;
  ParseResult r = LoadConfigFile(path, c);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find(path + ":4:"), std::string::npos) << r.error;
  unlink(path.c_str());

  const std::string good = TempFile(
      "adf-sheets 4\n"
      "pad-lines = 6\n"
      "soap11 true\n"
      "reorder 0\n"
      "fault GetJobInfo:Sender:wscn:ClientErrorInvalidArgs:nope:1\n"
      "no-answer CancelJob\n");
  SimConfig d;
  r = Parse({"--pad-lines", "1", "--config", good.c_str(), "--adf-sheets", "9"}, d);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(d.adfSheets, 9);
  EXPECT_EQ(d.padLines, 6u);
  EXPECT_TRUE(d.soap11);
  EXPECT_FALSE(d.reorderElements);
  ASSERT_EQ(d.faults.size(), 1u);
  EXPECT_EQ(d.faults[0].remaining, 1);
  ASSERT_EQ(d.noAnswer.size(), 1u);
  unlink(good.c_str());

  SimConfig e;
  EXPECT_FALSE(LoadConfigFile("/nonexistent/cavix.conf", e).ok);
}
