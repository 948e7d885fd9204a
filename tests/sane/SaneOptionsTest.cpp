// The backend's options as a frontend drives them (constraints, clamping, what a change of
// source does) and its configuration file.
#include <gtest/gtest.h>

#include <sane/saneopts.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sane/SaneConfig.h"
#include "sane/SaneOptionSet.h"

namespace {

SANE_Int Find(const SaneOptionSet& o, const char* name) {
  for (SANE_Int i = 0; i < SaneOptionSet::kCount; ++i)
    if (std::string(o.Descriptor(i)->name ? o.Descriptor(i)->name : "") == name) return i;
  return -1;
}

TEST(SaneOptionsTest, ListsAreEnforcedAndRangesClamped) {
  SaneOptionSet o;
  SANE_Int count = 0, info = 0;
  ASSERT_EQ(o.Control(0, SANE_ACTION_GET_VALUE, &count, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(count, SaneOptionSet::kCount);
  EXPECT_EQ(o.Control(0, SANE_ACTION_SET_VALUE, &count, &info), SANE_STATUS_INVAL) << "the count is read-only";

  const SANE_Int mode = Find(o, SANE_NAME_SCAN_MODE);
  char text[32] = "gray";
  ASSERT_EQ(o.Control(mode, SANE_ACTION_SET_VALUE, text, &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
  EXPECT_TRUE(info & SANE_INFO_INEXACT) << "the value is spelt as the list has it";
  ASSERT_EQ(o.Control(mode, SANE_ACTION_GET_VALUE, text, &info), SANE_STATUS_GOOD);
  EXPECT_STREQ(text, "Gray");
  std::strcpy(text, "Sepia");
  EXPECT_EQ(o.Control(mode, SANE_ACTION_SET_VALUE, text, &info), SANE_STATUS_INVAL);

  const SANE_Int res = Find(o, SANE_NAME_SCAN_RESOLUTION);
  SANE_Word dpi = 250;
  EXPECT_EQ(o.Control(res, SANE_ACTION_SET_VALUE, &dpi, &info), SANE_STATUS_INVAL);
  dpi = 1200;
  EXPECT_EQ(o.Control(res, SANE_ACTION_SET_VALUE, &dpi, &info), SANE_STATUS_GOOD);

  const SANE_Int brx = Find(o, SANE_NAME_SCAN_BR_X);
  SANE_Fixed v = SANE_FIX(300.0);
  ASSERT_EQ(o.Control(brx, SANE_ACTION_SET_VALUE, &v, &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_INEXACT);
  ASSERT_EQ(o.Control(brx, SANE_ACTION_GET_VALUE, &v, &info), SANE_STATUS_GOOD);
  EXPECT_NEAR(SANE_UNFIX(v), 215.9, 0.01);
  EXPECT_EQ(o.Control(SaneOptionSet::kModeGroup, SANE_ACTION_GET_VALUE, &v, &info), SANE_STATUS_INVAL);
  EXPECT_EQ(o.Control(SaneOptionSet::kCount, SANE_ACTION_GET_VALUE, &v, &info), SANE_STATUS_INVAL);
  EXPECT_EQ(o.Descriptor(SaneOptionSet::kCount), nullptr);
}

TEST(SaneOptionsTest, TheFeederChangesResolutionsAndLengthAndTheScanFollows) {
  SaneOptionSet o;
  const SANE_Int res = Find(o, SANE_NAME_SCAN_RESOLUTION), src = Find(o, SANE_NAME_SCAN_SOURCE);
  const SANE_Int bry = Find(o, SANE_NAME_SCAN_BR_Y);
  SANE_Int info = 0;
  SANE_Word dpi = 600;
  ASSERT_EQ(o.Control(res, SANE_ACTION_SET_VALUE, &dpi, &info), SANE_STATUS_GOOD);
  char duplex[32] = "ADF Duplex";
  ASSERT_EQ(o.Control(src, SANE_ACTION_SET_VALUE, duplex, &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
  // The feeder stops at 300 dpi, and its sheets are longer than the glass.
  const SANE_Word* list = o.Descriptor(res)->constraint.word_list;
  EXPECT_EQ(list[0], 5);
  EXPECT_EQ(list[list[0]], 300);
  ASSERT_EQ(o.Control(res, SANE_ACTION_GET_VALUE, &dpi, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(dpi, 300);
  EXPECT_NEAR(SANE_UNFIX(o.Descriptor(bry)->constraint.range->max), 355.6, 0.01);
  SANE_Fixed y = 0;
  ASSERT_EQ(o.Control(bry, SANE_ACTION_GET_VALUE, &y, &info), SANE_STATUS_GOOD);
  EXPECT_NEAR(SANE_UNFIX(y), 355.6, 0.01) << "a full-length area stays full length";

  ScanOptions scan;
  std::string why;
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_EQ(scan.source, ScanSource::Duplex);
  EXPECT_EQ(scan.resolution, 300u);
  EXPECT_EQ(scan.mode, ColorMode::Color);
  EXPECT_NEAR(scan.region.height, 355.6, 0.01);

  // Back on the glass, an area longer than the glass is cut to it.
  char flatbed[32] = "Flatbed";
  ASSERT_EQ(o.Control(src, SANE_ACTION_SET_VALUE, flatbed, &info), SANE_STATUS_GOOD);
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_NEAR(scan.region.height, 296.93, 0.01);

  // An empty area is refused.
  const SANE_Int tlx = Find(o, SANE_NAME_SCAN_TL_X), brx = Find(o, SANE_NAME_SCAN_BR_X);
  SANE_Fixed x = SANE_FIX(50.0);
  o.Control(tlx, SANE_ACTION_SET_VALUE, &x, &info);
  o.Control(brx, SANE_ACTION_SET_VALUE, &x, &info);
  EXPECT_FALSE(o.ToScanOptions(&scan, &why));
}

TEST(SaneOptionsTest, ConfigurationLinesBecomeDevices) {
  SaneConfig c = SaneConfig::Parse(
      "# devices\n"
      "192.0.2.10 00:1B:78:AA:BB:CC   # the office scanner\n"
      "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CD\\port1\\ipaddr:192.0.2.11\\guid{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}\n"
      "/dev/usb/lp0\n"
      "simulator sheets 3 address 127.0.78.9\n"
      "module /opt/cavix/libcavixdriver.so\n"
      "\n"
      "scanner-two\n"
      "simulator sheets many\n"
      "192.0.2.12 00:1B:78\n");
  ASSERT_EQ(c.devices.size(), 4u);
  EXPECT_EQ(c.devices[0].name, "192.0.2.10");
  EXPECT_EQ(c.devices[0].mac, "00:1B:78:AA:BB:CC");
  EXPECT_EQ(c.devices[1].device.rfind("\\\\?\\cavixnet#", 0), 0u);
  EXPECT_EQ(c.devices[2].device, "/dev/usb/lp0");
  EXPECT_TRUE(c.devices[3].simulator);
  EXPECT_EQ(c.devices[3].sheets, 3);
  EXPECT_EQ(c.devices[3].simulatorAddress, "127.0.78.9");
  EXPECT_EQ(c.module, "/opt/cavix/libcavixdriver.so");
  ASSERT_EQ(c.problems.size(), 3u);
  EXPECT_EQ(c.problems[0].rfind("line 8: ", 0), 0u) << c.problems[0];
  EXPECT_EQ(c.problems[1].rfind("line 9: simulator takes", 0), 0u) << c.problems[1];
  EXPECT_NE(c.problems[2].find("--mac takes an address"), std::string::npos) << c.problems[2];
}

TEST(SaneOptionsTest, TheConfigurationIsFoundThroughSaneConfigDir) {
  char dir[] = "/tmp/cavix-sane-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::ofstream(std::string(dir) + "/cavix.conf") << "simulator\n";
  const char* old = std::getenv("SANE_CONFIG_DIR");
  const std::string saved = old ? old : "";
  ::setenv("SANE_CONFIG_DIR", (std::string("/nonexistent:") + dir).c_str(), 1);
  SaneConfig c = SaneConfig::Load();
  EXPECT_EQ(c.path, std::string(dir) + "/cavix.conf");
  ASSERT_EQ(c.devices.size(), 1u);
  // Without a trailing colon the default directories are not searched.
  EXPECT_EQ(SaneConfig::SearchDirectories().size(), 2u);
  ::setenv("SANE_CONFIG_DIR", (std::string(dir) + ":").c_str(), 1);
  EXPECT_EQ(SaneConfig::SearchDirectories(), (std::vector<std::string>{dir, ".", "/etc/sane.d"}));
  if (old) ::setenv("SANE_CONFIG_DIR", saved.c_str(), 1);
  else ::unsetenv("SANE_CONFIG_DIR");
  EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

}  // namespace
