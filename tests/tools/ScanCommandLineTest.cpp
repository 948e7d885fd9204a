// The command line of cavix-scan: wrong options are refused with a message that names them,
// and accepted ones become the parameters record the driver gets (1/300 inch, modes, depths).
#include <gtest/gtest.h>

#include <vector>

#include "tools/ScanCommandLine.h"
#include "tools/ScanRunner.h"

namespace {

ParsedCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "cavix-scan");
  return ScanCommandLine::Parse(static_cast<int>(args.size()), args.data());
}

TEST(ScanCommandLineTest, WrongOptionsAreRefusedWithAMessageNamingThem) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--colour"}, "unknown option '--colour'"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"--mode", "sepia"}, "--mode takes color, gray or bw, not 'sepia'"},
      {{"--mode"}, "option --mode needs a value"},
      {{"--resolution", "250"}, "--resolution takes 75, 100, 150, 200, 300, 600 or 1200"},
      {{"--resolution", "300x"}, "--resolution takes"},
      {{"--source", "adf", "--resolution", "600", "-o", "p%d.png"}, "--resolution 600 is not available from the feeder"},
      {{"--source", "tray"}, "--source takes platen, adf or duplex"},
      {{"--pages", "3"}, "--pages is for the feeder"},
      {{"--source", "adf", "--pages", "0"}, "--pages takes a number of pages above 0"},
      {{"--region", "10,10,200"}, "--region takes X,Y,WIDTH,HEIGHT"},
      {{"--region", "0,0,-5,10"}, "--region takes"},
      {{"--region", "0,0,0,10"}, "width and a height above 0"},
      {{"--region", "20,0,200,100"}, "--region reaches outside the platen (215.9 x 296.9 mm)"},
      {{"--region", "legal"}, "--region reaches outside the platen"},
      {{"--size", "B4"}, "--size takes A4, A5, letter or legal"},
      {{"-o", "scan.jpg"}, "cannot tell the output format of 'scan.jpg'"},
      {{"-o", "page-%s.png"}, "may hold one page number"},
      {{"-o", "page-%d-%d.png"}, "may hold one page number"},
      {{"--source", "duplex", "-o", "all.png"}, "give a pattern such as page-%03d.png, or a .tif or .pdf file"},
      {{"caps", "--mode", "gray"}, "option --mode is only for scanning"},
      {{"register", "--device", "192.0.2.1"}, "not used by this command"},
      {{"list", "--device", "192.0.2.1"}, "not used by this command"},
      {{"list", "--discovery", "avahi,mdns"}, "unknown discovery source 'mdns' (wsd, avahi, neighbours or off)"},
      {{"list", "--discovery", "avahi off"}, "discovery takes wsd, avahi, neighbours, any of them, or off"},
      {{"log", "maybe"}, "log takes on, off or show"},
      {{"log", "on", "--roll", "9"}, "--roll takes 0 to 5 copies"},
      {{"log", "on", "--size-kb", "20000"}, "--size-kb takes 0 (no roll-over) to 10240"},
      {{"log", "on", "--level", "loud"}, "--level takes errors, normal, all or a mask"},
      {{"log", "off", "--file", "x.log"}, "option --file is only for log on"},
      {{"--lock-timeout", "soon"}, "--lock-timeout takes milliseconds"},
  };
  for (const auto& c : cases) {
    ParsedCommandLine p = Parse(c.args);
    EXPECT_FALSE(p.ok) << c.args[0];
    EXPECT_NE(p.error.find(c.message), std::string::npos) << "got: " << p.error;
  }
}

TEST(ScanCommandLineTest, DefaultsAndOutputNames) {
  ParsedCommandLine p = Parse({});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.command, ScanCommand::Scan);
  EXPECT_EQ(p.options.output, "scan.png");
  EXPECT_EQ(p.options.resolution, 300u);
  // A feeder job without a page limit writes one file per page by default.
  p = Parse({"--source", "duplex"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.output, "scan-%03d.png");
  // A TIFF, PDF or PNM file may hold every page; one PNG page needs no pattern.
  EXPECT_TRUE(Parse({"-s", "adf", "-o", "all.tif"}).ok);
  EXPECT_TRUE(Parse({"-s", "duplex", "-o", "all.PDF"}).ok);
  EXPECT_TRUE(Parse({"-s", "adf", "-o", "all.pnm"}).ok);
  EXPECT_TRUE(Parse({"-s", "adf", "--pages", "1", "-o", "one.png"}).ok);
  p = Parse({"log", "on", "--level", "1000000a", "--file=/tmp/x.log"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.log.level, 0x1000000A);
  EXPECT_EQ(p.options.log.file, "/tmp/x.log");
  EXPECT_TRUE(Parse({"log"}).options.log.show);
  EXPECT_EQ(Parse({"list"}).options.command, ScanCommand::List);
}

TEST(ScanCommandLineTest, RegionsBecomeDriverUnitsInsideTheSource) {
  // A4 on the platen: 210 x 297 mm is 2480.3 x 3507.9 units; the length stops at the glass.
  ParsedCommandLine p = Parse({"--region", "a4", "--mode", "gray", "-r", "150"});
  ASSERT_TRUE(p.ok) << p.error;
  SCANNER_PARAMETERS s = ScanRunner::Parameters(p.options);
  EXPECT_EQ(s.dwLeft, 0u);
  EXPECT_EQ(s.dwTop, 0u);
  EXPECT_EQ(s.dwWidth, 2480u);
  EXPECT_EQ(s.dwLength, 3507u);
  EXPECT_EQ(s.dwScanMode, C_SCANMODE_GREYSCALE);
  EXPECT_EQ(s.byBitsPerChannel, 8);
  EXPECT_EQ(s.wXResolution, 150);
  EXPECT_EQ(s.wYResolution, 150);
  EXPECT_EQ(s.wScanMethod, C_SCANMETHOD_FLATBED);

  // Edges are converted, not the width: 10..60 mm is units 118..708, 20..80 mm 236..944.
  p = Parse({"--region", "10,20,50,60", "--mode", "bw"});
  ASSERT_TRUE(p.ok) << p.error;
  s = ScanRunner::Parameters(p.options);
  EXPECT_EQ(s.dwLeft, 118u);
  EXPECT_EQ(s.dwTop, 236u);
  EXPECT_EQ(s.dwWidth, 590u);
  EXPECT_EQ(s.dwLength, 708u);
  EXPECT_EQ(s.dwScanMode, C_SCANMODE_BW);
  EXPECT_EQ(s.byBitsPerChannel, 1);

  // Legal fits the feeder; without a region the feeder's whole sheet is scanned.
  p = Parse({"--source", "duplex", "--region", "legal", "-o", "p%d.png"});
  ASSERT_TRUE(p.ok) << p.error;
  s = ScanRunner::Parameters(p.options);
  EXPECT_EQ(s.dwWidth, 2550u);
  EXPECT_EQ(s.dwLength, 4200u);
  EXPECT_EQ(s.wScanMethod, C_SCANMETHOD_ADF);
  p = Parse({"--source", "adf", "-o", "p%d.png"});
  s = ScanRunner::Parameters(p.options);
  EXPECT_EQ(s.dwWidth, 2550u);
  EXPECT_EQ(s.dwLength, 4200u);
  EXPECT_EQ(s.dwScanMode, C_SCANMODE_COLOR);
}

}  // namespace
