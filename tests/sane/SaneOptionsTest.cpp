// The backend's options as a frontend drives them (constraints, clamping, what a change of
// source does) and its configuration file.
#include <gtest/gtest.h>

#include <sane/saneopts.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

#include "sane/SaneConfig.h"
#include "sane/SaneOptionSet.h"
#include "tools/DeviceName.h"

namespace {

SANE_Int Find(const SaneOptionSet& o, const char* name) {
  for (SANE_Int i = 0; i < SaneOptionSet::kCount; ++i)
    if (std::string(o.Descriptor(i)->name ? o.Descriptor(i)->name : "") == name) return i;
  return -1;
}

// What the SANE standard asks of every descriptor: option 0 is the count, names are unique and
// spelt [a-z0-9-], groups carry a name and title and nothing else, settable options can be read,
// sizes fit their values, constraints are well formed and every default lies inside its own.
TEST(SaneOptionsTest, EveryDescriptorIsWellFormedAndItsValueWithinItsConstraint) {
  SaneOptionSet o;
  const SANE_Option_Descriptor* count = o.Descriptor(0);
  ASSERT_NE(count, nullptr);
  EXPECT_STREQ(count->name, "");
  EXPECT_EQ(count->type, SANE_TYPE_INT);
  EXPECT_EQ(count->size, SANE_Int(sizeof(SANE_Word)));
  EXPECT_EQ(count->cap, SANE_CAP_SOFT_DETECT);
  EXPECT_EQ(count->constraint_type, SANE_CONSTRAINT_NONE);
  std::set<std::string> names;
  std::vector<std::string> groups;
  for (SANE_Int i = 1; i < SaneOptionSet::kCount; ++i) {
    const SANE_Option_Descriptor* d = o.Descriptor(i);
    ASSERT_NE(d, nullptr) << i;
    ASSERT_TRUE(d->name && d->title && d->desc) << i;
    const std::string name = d->name;
    SCOPED_TRACE(name);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos);
    EXPECT_TRUE(names.insert(name).second) << "names are unique";
    if (d->type == SANE_TYPE_GROUP) {
      groups.push_back(name);
      EXPECT_EQ(d->cap, 0);
      EXPECT_EQ(d->constraint_type, SANE_CONSTRAINT_NONE);
      continue;
    }
    EXPECT_EQ(d->cap, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT);
    std::vector<char> value(static_cast<size_t>(d->size) + 1, '\x7f');
    SANE_Int info = -1;
    ASSERT_EQ(o.Control(i, SANE_ACTION_GET_VALUE, value.data(), &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(value[static_cast<size_t>(d->size)], '\x7f') << "the value fits the size";
    const SANE_Word word = *reinterpret_cast<SANE_Word*>(value.data());
    switch (d->constraint_type) {
      case SANE_CONSTRAINT_RANGE:
        EXPECT_EQ(d->size, SANE_Int(sizeof(SANE_Word)));
        EXPECT_LE(d->constraint.range->min, word);
        EXPECT_GE(d->constraint.range->max, word);
        // The area moves in the scanner's steps (a zero step makes frontends guess one).
        ASSERT_GT(d->constraint.range->quant, 0);
        EXPECT_TRUE((word - d->constraint.range->min) % d->constraint.range->quant == 0 || word == d->constraint.range->max);
        break;
      case SANE_CONSTRAINT_WORD_LIST: {
        const SANE_Word* list = d->constraint.word_list;
        ASSERT_GT(list[0], 0);
        EXPECT_TRUE(std::is_sorted(list + 1, list + 1 + list[0]));
        EXPECT_NE(std::find(list + 1, list + 1 + list[0], word), list + 1 + list[0]);
        break;
      }
      case SANE_CONSTRAINT_STRING_LIST: {
        bool found = false;
        for (const SANE_String_Const* s = d->constraint.string_list; *s; ++s) {
          EXPECT_LT(std::strlen(*s), size_t(d->size));
          found = found || std::string(*s) == value.data();
        }
        EXPECT_TRUE(found) << value.data();
        break;
      }
      default:
        EXPECT_EQ(d->type, SANE_TYPE_BOOL);
        EXPECT_TRUE(word == SANE_FALSE || word == SANE_TRUE);
    }
  }
  EXPECT_EQ(groups, (std::vector<std::string>{SANE_NAME_STANDARD, SANE_NAME_GEOMETRY}));
  for (const char* wanted : {SANE_NAME_SCAN_MODE, SANE_NAME_SCAN_RESOLUTION, SANE_NAME_SCAN_SOURCE, SANE_NAME_PREVIEW,
                             SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y})
    EXPECT_EQ(names.count(wanted), 1u) << wanted;
  EXPECT_EQ(o.Descriptor(SaneOptionSet::kCount), nullptr);
  EXPECT_EQ(o.Descriptor(-1), nullptr);
}

// One set on fresh options: what comes back in the caller's value and info, and what a read
// gives afterwards. Millimetres of steps of 5549/65536 mm (1/300 inch rounded up): 236 = 19.982,
// 576 = 48.771, 1974 = 167.141, 2550 = 215.911, 2931 = 248.171. Limits of a word: SANE_FIX of
// kFixedMin and kFixedMax are INT_MIN and INT_MAX.
TEST(SaneOptionsTest, AdjustedValuesAreWrittenBackAsInexact) {
  const SANE_Int kParams = SANE_INFO_RELOAD_PARAMS, kInexact = SANE_INFO_INEXACT, kOptions = SANE_INFO_RELOAD_OPTIONS;
  const double kFixedMin = INT_MIN / 65536.0, kFixedMax = INT_MAX / 65536.0;
  struct Case {
    const char* option;
    double set;          // words: the number; fixed: millimetres
    SANE_Status status;
    double back;         // the value written back and read afterwards
    SANE_Int info;
  } cases[] = {
      {SANE_NAME_SCAN_RESOLUTION, 600, SANE_STATUS_GOOD, 600, kParams},
      {SANE_NAME_SCAN_RESOLUTION, 250, SANE_STATUS_GOOD, 200, kParams | kInexact},
      {SANE_NAME_SCAN_RESOLUTION, 290, SANE_STATUS_GOOD, 300, kParams | kInexact},
      {SANE_NAME_SCAN_RESOLUTION, 5000, SANE_STATUS_GOOD, 1200, kParams | kInexact},
      {SANE_NAME_SCAN_RESOLUTION, -3, SANE_STATUS_GOOD, 75, kParams | kInexact},
      {SANE_NAME_SCAN_RESOLUTION, INT_MIN, SANE_STATUS_GOOD, 75, kParams | kInexact},
      {SANE_NAME_SCAN_RESOLUTION, INT_MAX, SANE_STATUS_GOOD, 1200, kParams | kInexact},
      {SANE_NAME_PREVIEW, 1, SANE_STATUS_GOOD, 1, kParams},
      {SANE_NAME_PREVIEW, 2, SANE_STATUS_INVAL, 0, 0},
      // Typed millimetres snap to the nearest step; a step's own value stays exact.
      {SANE_NAME_SCAN_TL_X, 20, SANE_STATUS_GOOD, 19.982, kParams | kInexact},
      {SANE_NAME_SCAN_TL_X, 236 * 5549 / 65536.0, SANE_STATUS_GOOD, 19.982, kParams},
      {SANE_NAME_SCAN_TL_X, -5, SANE_STATUS_GOOD, 0, kParams | kInexact},
      {SANE_NAME_SCAN_TL_Y, -0.01, SANE_STATUS_GOOD, 0, kParams | kInexact},
      {SANE_NAME_SCAN_TL_X, kFixedMin, SANE_STATUS_GOOD, 0, kParams | kInexact},
      {SANE_NAME_SCAN_BR_X, kFixedMax, SANE_STATUS_GOOD, 215.911, kParams | kInexact},
      {SANE_NAME_SCAN_BR_Y, kFixedMin, SANE_STATUS_GOOD, 0, kParams | kInexact},
      {SANE_NAME_SCAN_BR_X, 300, SANE_STATUS_GOOD, 215.911, kParams | kInexact},
      // Smaller than the scanner's minimum: enlarged, and moved back inside the glass.
      {SANE_NAME_SCAN_BR_X, 20, SANE_STATUS_GOOD, 48.771, kParams | kInexact},
      {SANE_NAME_SCAN_TL_X, 200, SANE_STATUS_GOOD, 167.141, kParams | kInexact},
      {SANE_NAME_SCAN_TL_Y, 280, SANE_STATUS_GOOD, 248.171, kParams | kInexact},
      // An empty area is left as it is: it scans nothing.
      {SANE_NAME_SCAN_TL_X, 216, SANE_STATUS_GOOD, 215.911, kParams | kInexact},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " = " + std::to_string(c.set));
    SaneOptionSet o;
    const SANE_Int i = Find(o, c.option);
    ASSERT_GE(i, 0);
    const bool fixed = o.Descriptor(i)->type == SANE_TYPE_FIXED;
    SANE_Word v = fixed ? SANE_FIX(c.set) : static_cast<SANE_Word>(c.set);
    SANE_Int info = -1;
    ASSERT_EQ(o.Control(i, SANE_ACTION_SET_VALUE, &v, &info), c.status);
    if (c.status != SANE_STATUS_GOOD) continue;
    EXPECT_EQ(info, c.info);
    SANE_Word read = 0;
    ASSERT_EQ(o.Control(i, SANE_ACTION_GET_VALUE, &read, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(read, v) << "the caller's value is the one kept";
    if (fixed) EXPECT_NEAR(SANE_UNFIX(read), c.back, 0.001);
    else EXPECT_EQ(read, static_cast<SANE_Word>(c.back));
  }

  // Lists: a string is matched without regard to case and written back as the list spells it.
  SaneOptionSet o;
  SANE_Int info = 0;
  const SANE_Int mode = Find(o, SANE_NAME_SCAN_MODE);
  char text[32] = "gray";
  ASSERT_EQ(o.Control(mode, SANE_ACTION_SET_VALUE, text, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, kParams | kInexact) << "the mode changes no other option";
  EXPECT_STREQ(text, "Gray");
  std::strcpy(text, "Sepia");
  EXPECT_EQ(o.Control(mode, SANE_ACTION_SET_VALUE, text, &info), SANE_STATUS_INVAL);
  SANE_Int count = 0;
  EXPECT_EQ(o.Control(0, SANE_ACTION_SET_VALUE, &count, &info), SANE_STATUS_INVAL) << "the count is read-only";
  EXPECT_EQ(o.Control(mode, SANE_ACTION_SET_AUTO, text, &info), SANE_STATUS_INVAL) << "nothing is automatic";
  SANE_Word v = 0;
  EXPECT_EQ(o.Control(SaneOptionSet::kStandardGroup, SANE_ACTION_GET_VALUE, &v, &info), SANE_STATUS_INVAL);
  EXPECT_EQ(o.Control(SaneOptionSet::kCount, SANE_ACTION_GET_VALUE, &v, &info), SANE_STATUS_INVAL);

  // Enlarging the area moves the other corner: the frontend reloads the options.
  SANE_Fixed x = SANE_FIX(120.0);
  ASSERT_EQ(o.Control(Find(o, SANE_NAME_SCAN_BR_X), SANE_ACTION_SET_VALUE, &x, &info), SANE_STATUS_GOOD);
  x = SANE_FIX(100.0);
  ASSERT_EQ(o.Control(Find(o, SANE_NAME_SCAN_TL_X), SANE_ACTION_SET_VALUE, &x, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, kParams | kOptions | kInexact);
  ASSERT_EQ(o.Control(Find(o, SANE_NAME_SCAN_BR_X), SANE_ACTION_GET_VALUE, &x, &info), SANE_STATUS_GOOD);
  EXPECT_NEAR(SANE_UNFIX(x), 148.767, 0.001);  // 1181 + 576 units

  // scanimage -l 200 -x 50: the options say what the scanner scans, and the frame agrees.
  x = SANE_FIX(200.0);
  o.Control(Find(o, SANE_NAME_SCAN_TL_X), SANE_ACTION_SET_VALUE, &x, &info);
  x = SANE_FIX(250.0);
  o.Control(Find(o, SANE_NAME_SCAN_BR_X), SANE_ACTION_SET_VALUE, &x, &info);
  ScanOptions scan;
  std::string why;
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_NEAR(scan.region.x, 167.141, 0.001);
  EXPECT_NEAR(scan.region.width, 48.771, 0.001);
  const SANE_Parameters p = o.Estimate();
  EXPECT_EQ(p.pixels_per_line, 576);  // 300 dpi
  EXPECT_EQ(p.bytes_per_line, 576);
  EXPECT_EQ(p.format, SANE_FRAME_GRAY);
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
  EXPECT_NEAR(SANE_UNFIX(o.Descriptor(bry)->constraint.range->max), 355.618, 0.01);
  SANE_Fixed y = 0;
  ASSERT_EQ(o.Control(bry, SANE_ACTION_GET_VALUE, &y, &info), SANE_STATUS_GOOD);
  EXPECT_NEAR(SANE_UNFIX(y), 355.618, 0.01) << "a full-length area stays full length";

  ScanOptions scan;
  std::string why;
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_EQ(scan.source, ScanSource::Duplex);
  EXPECT_EQ(scan.resolution, 300u);
  EXPECT_EQ(scan.mode, ColorMode::Color);
  EXPECT_NEAR(scan.region.height, 355.618, 0.01);

  // Back on the glass, an area longer than the glass is cut to it.
  char flatbed[32] = "Flatbed";
  ASSERT_EQ(o.Control(src, SANE_ACTION_SET_VALUE, flatbed, &info), SANE_STATUS_GOOD);
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_NEAR(scan.region.height, 296.941, 0.01);

  // A preview is a scan at the lowest resolution.
  SANE_Word on = SANE_TRUE;
  ASSERT_EQ(o.Control(Find(o, SANE_NAME_PREVIEW), SANE_ACTION_SET_VALUE, &on, &info), SANE_STATUS_GOOD);
  ASSERT_TRUE(o.ToScanOptions(&scan, &why));
  EXPECT_EQ(scan.resolution, 75u);
  EXPECT_EQ(o.Estimate().pixels_per_line, 637);  // 2549 units wide at 75 dpi

  // An empty area is refused, and its frame is empty.
  const SANE_Int tlx = Find(o, SANE_NAME_SCAN_TL_X), brx = Find(o, SANE_NAME_SCAN_BR_X);
  SANE_Fixed x = SANE_FIX(50.0);
  o.Control(tlx, SANE_ACTION_SET_VALUE, &x, &info);
  o.Control(brx, SANE_ACTION_SET_VALUE, &x, &info);
  EXPECT_FALSE(o.ToScanOptions(&scan, &why));
  EXPECT_EQ(o.Estimate().pixels_per_line, 0);
  EXPECT_EQ(o.Estimate().bytes_per_line, 0);
  EXPECT_GT(o.Estimate().lines, 0);
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

// Names built from an address or a MAC address carry a name-based (version 5) GUID of that
// identity, so that every scanner has a lock of its own; the values are RFC 4122's, worked out
// independently.
TEST(SaneOptionsTest, NamesBuiltFromAnAddressCarryTheirOwnGuid) {
  const struct { const char* address; const char* mac; const char* guid; } cases[] = {
      {"192.0.2.10", "", "{129C9866-926B-5288-8077-E4C2D72FFEB2}"},
      {"127.0.0.2", "", "{B19E6F0C-698D-5F02-9648-A3943A2FEB38}"},
      {"192.0.2.10", "00:1b:78:aa:bb:cc", "{E4AB7F81-7157-569C-8204-91989DF5AC36}"},
      {"192.0.2.99", "00-1B-78-AA-BB-CC", "{E4AB7F81-7157-569C-8204-91989DF5AC36}"},  // the MAC names it
  };
  for (const auto& c : cases) {
    const std::string name = DeviceName::Network(c.address, c.mac);
    EXPECT_EQ(name.substr(name.find("\\guid") + 5), c.guid) << name;
    EXPECT_EQ(DeviceName::AddressOf(name), c.address);
  }
}

TEST(SaneOptionsTest, TheConfigurationIsFoundThroughSaneConfigDirAndTrustedBeforeItLoadsCode) {
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

  // A module line is honoured only from a file no other user could have written, and never
  // from the working directory; the file's devices are read either way.
  const uid_t self = ::geteuid(), other = self == 0 ? 65534 : self;
  const struct {
    mode_t dirMode, fileMode;
    uid_t owner;
    const char* searched;  // SANE_CONFIG_DIR; "": the directory's absolute path
    bool honoured;
  } cases[] = {
      {0700, 0644, self, "", true},
      {01777, 0600, self, "", true},   // sticky: others cannot replace the file
      {0755, 0664, self, "", false},   // group-writable
      {0755, 0646, self, "", false},   // writable by anyone
      {0777, 0644, self, "", false},   // anyone may replace it
      {0755, 0644, other, "", self != 0},
      {0700, 0644, self, ".", false},  // the working directory, by either name
      {0700, 0644, self, "cwd", false},
  };
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    const std::string sub = std::string(dir) + "/" + std::to_string(index++);
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    std::ofstream(sub + "/cavix.conf") << "simulator\nmodule /opt/elsewhere/libcavixdriver.so\n";
    ASSERT_EQ(::chmod((sub + "/cavix.conf").c_str(), c.fileMode), 0);
    ASSERT_EQ(::chown((sub + "/cavix.conf").c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(sub.c_str(), c.dirMode), 0);
    const bool inCwd = c.searched[0] != 0;
    if (inCwd) ASSERT_EQ(::chdir(sub.c_str()), 0);
    ::setenv("SANE_CONFIG_DIR", c.searched == std::string(".") ? "." : sub.c_str(), 1);
    SaneConfig loaded = SaneConfig::Load();
    if (inCwd) ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(loaded.devices.size(), 1u);
    EXPECT_EQ(loaded.module, c.honoured ? "/opt/elsewhere/libcavixdriver.so" : "");
    EXPECT_EQ(loaded.ignored.size(), c.honoured ? 0u : 1u);
  }
  if (old) ::setenv("SANE_CONFIG_DIR", saved.c_str(), 1);
  else ::unsetenv("SANE_CONFIG_DIR");
  EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

}  // namespace
