// Discovery of scanners on the local network: a neighbour-table fixture names three simulated
// scanners, a host that never answers, a web server, an address where nothing listens and the
// misbehaving hosts of kHostile; exactly the three scanners and the hostile hosts that answer
// within the bounds are found, with their models cleaned, within the search's deadline; and
// `cavix-scan list` prints them with device names the driver opens. A scanner at a link-local
// address on a veth link is listed with the MAC address the kernel learnt, and its listed name
// scans a page through cavix-scan and through scanimage.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "ToolTestSupport.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/OwnNetwork.h"
#include "tools/ScannerDiscovery.h"

namespace {

const std::string kScan = CAVIX_SCAN_PATH;
const std::string kModule = CAVIX_MODULE_PATH;
#ifndef CAVIX_SANE_BACKEND_DIR
#define CAVIX_SANE_BACKEND_DIR ""  // no SANE backend built: scanimage finds none and the test fails
#endif

// Hosts on the network that a search must survive or find: the model it lists for each, if any.
struct HostileHost {
  const char* what;
  std::function<void(cavixsim::SimConfig&)> set;
  bool listed;
  std::string model;  // as listed
};

const std::string kBadUtf8 = std::string(300, 'w') + "\xC0\xAF";
const std::string kReplacement = "\xEF\xBF\xBD";
const HostileHost kHostile[] = {
    {"never answers", [](cavixsim::SimConfig& c) { c.noAnswer = {cavixsim::Operation::GetScannerElements}; },
     false, ""},
    {"trickles a byte every 200 ms",
     [](cavixsim::SimConfig& c) {
       c.misbehave = {{cavixsim::Operation::GetScannerElements, cavixsim::Misbehaviour::Trickle, -1}};
       c.trickleIntervalMs = 200;
     },
     false, ""},
    {"answers without end",
     [](cavixsim::SimConfig& c) {
       c.misbehave = {{cavixsim::Operation::GetScannerElements, cavixsim::Misbehaviour::Endless, -1}};
     },
     false, ""},
    {"a 10 MB model", [](cavixsim::SimConfig& c) { c.model = std::string(10u << 20, 'm'); }, false, ""},
    {"escape sequences and line breaks", [](cavixsim::SimConfig& c) { c.model = "\x1b]0;t\x07\x1b[2J\nx\r\x7f"; },
     true, "\xEF\xBF\xBD]0;t" + kReplacement + kReplacement + "[2J" + kReplacement + "x" + kReplacement + kReplacement},
    {"300 characters and bad UTF-8", [](cavixsim::SimConfig& c) { c.model = "\xC3\xA9" + kBadUtf8; }, true,
     "\xC3\xA9" + std::string(255, 'w')},
    {"its address only to Resolve", [](cavixsim::SimConfig& c) { c.xaddrsOnResolve = true; }, true, "vqm440"},
};

std::vector<cavixsim::SimConfig> HostileConfigs() {
  std::vector<cavixsim::SimConfig> configs;
  for (const HostileHost& h : kHostile) {
    configs.emplace_back();
    h.set(configs.back());
  }
  return configs;
}

// Each test has a network of its own (ctest runs tests side by side).
class ScannerDiscoveryTest : public ::testing::Test {
 protected:
  void Start(int net, const std::vector<cavixsim::SimConfig>& hosts = {}) {
    network_ = std::make_unique<tooltest::Neighbourhood>(net, scratch_.File("neighbours.txt"), hosts);
    ASSERT_EQ(network_->Error(), "");
  }
  const tooltest::Neighbourhood::Scanner& Want(size_t i) const { return network_->Scanners()[i]; }

  // A link of the test's own: its end cavixa (fe80::a) in the test's network, a scanner at
  // fe80::b on the other end, cavixb, in a network of the scanner's own (a thread unshares it;
  // the simulator's threads and sockets stay there).
  void StartOnLink() {
    std::string error;
    ASSERT_TRUE(testsupport::OwnNetwork(&error)) << error;
    const std::string link = "ip link add cavixb address " + std::string(kLinkMac) +
                             " type veth peer name cavixa netns " + std::to_string(::getpid()) +
                             " && ip link set cavixb multicast on up && ip addr add fe80::b/64 dev cavixb nodad";
    std::thread device([&] {
      if (::unshare(CLONE_NEWNET) != 0 || std::system(link.c_str()) != 0) {
        error = "cannot make the link: " + link;
        return;
      }
      cavixsim::SimConfig config;
      config.listenAddress = "fe80::b%cavixb";
      config.keepPageBytes = true;
      config.publish = false;
      linked_ = std::make_unique<cavixsim::DeviceSimulator>(config);
      if (!linked_->Start(&error)) linked_.reset();
    });
    device.join();
    ASSERT_TRUE(linked_) << error;
    ASSERT_EQ(0, std::system("ip link set cavixa multicast on up && ip addr add fe80::a/64 dev cavixa nodad"));
  }
  static constexpr const char* kLinkMac = "02:00:5E:00:00:0B";

  tooltest::Scratch scratch_;
  std::unique_ptr<tooltest::Neighbourhood> network_;
  std::unique_ptr<cavixsim::DeviceSimulator> linked_;
};

TEST_F(ScannerDiscoveryTest, ExactlyTheScannersAreFoundWithModelAndMacWithinTheBound) {
  // A network of its own: the Probe reaches loopback's group alone, and the hostile hosts are
  // known only from their WS-Discovery answers (the scanners from both sources, merged by MAC).
  std::string error;
  ASSERT_TRUE(testsupport::OwnNetwork(&error)) << error;
  ::setenv("CAVIX_DISCOVERY", "wsd,neighbours", 1);
  Start(79, HostileConfigs());
  const auto start = std::chrono::steady_clock::now();
  const std::vector<FoundScanner> found = ScannerDiscovery::Find();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  size_t listedHostile = 0;
  for (size_t i = 0; i < sizeof kHostile / sizeof kHostile[0]; ++i) {
    const std::string address = "127.0.79." + std::to_string(10 + i);
    auto it = std::find_if(found.begin(), found.end(), [&](const FoundScanner& f) { return f.address == address; });
    EXPECT_EQ(it != found.end(), kHostile[i].listed) << kHostile[i].what;
    if (it == found.end()) continue;
    ++listedHostile;
    EXPECT_EQ(it->model, kHostile[i].model) << kHostile[i].what;
  }
  ASSERT_EQ(found.size(), 3u + listedHostile);
  for (size_t i = 0; i < 3; ++i) {
    const tooltest::Neighbourhood::Scanner& want = Want(i);
    auto it = std::find_if(found.begin(), found.end(), [&](const FoundScanner& f) { return f.address == want.address; });
    ASSERT_NE(it, found.end()) << want.address;
    EXPECT_EQ(it->model, want.model);
    EXPECT_EQ(it->mac, want.mac);
    EXPECT_EQ(it->deviceName.find("\\\\?\\cavixnet#\\macaddr:" + want.mac + "\\port1\\ipaddr:" + want.address + "\\guid"), 0u)
        << it->deviceName;
  }
  // The search ends by its deadline whatever the hosts send.
  EXPECT_LT(seconds, 2.5);
}

TEST_F(ScannerDiscoveryTest, CavixScanListPrintsNamesTheDriverOpens) {
  Start(82);
  tooltest::ProcessResult r = tooltest::Run({kScan, "list"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> rows;
  while (std::getline(lines, line)) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_EQ(rows[0].rfind("model", 0), 0u) << rows[0];
  for (size_t i = 0; i < 3; ++i) {
    const tooltest::Neighbourhood::Scanner& want = Want(i);
    std::istringstream words(rows[i + 1]);
    std::string model, address, mac, name;
    words >> model >> address >> mac >> name;
    EXPECT_EQ(model, want.model);
    EXPECT_EQ(address, want.address);
    EXPECT_EQ(mac, want.mac);
    // The listed name is what --device takes.
    if (i == 2) {
      tooltest::ProcessResult status = tooltest::Run({kScan, "status", "--module", kModule, "--device", name});
      EXPECT_EQ(status.exitStatus, 0) << status.out << status.err;
      EXPECT_NE(status.out.find("scanner: ready"), std::string::npos) << status.out;
    }
  }
}

TEST_F(ScannerDiscoveryTest, ALinkLocalScannerIsListedAndScannedThroughCavixScanAndScanimage) {
  ASSERT_NO_FATAL_FAILURE(StartOnLink());
  // Found by WS-Discovery alone; its MAC address from the kernel's table after the exchange.
  ::setenv("CAVIX_DISCOVERY", "wsd", 1);
  ::setenv("CAVIX_NEIGHBOUR_TABLE", "", 1);
  const tooltest::ProcessResult list = tooltest::Run({kScan, "list"});
  ASSERT_EQ(list.exitStatus, 0) << list.err;
  std::istringstream rows(list.out);
  std::string header, model, address, mac, name, more;
  std::getline(rows, header);
  rows >> model >> address >> mac >> name;
  EXPECT_FALSE(rows >> more) << list.out;
  EXPECT_EQ(model, "vqm440");
  EXPECT_EQ(address, "fe80::b%cavixa");
  EXPECT_EQ(mac, kLinkMac);
  EXPECT_EQ(name.find("\\\\?\\cavixnet#\\macaddr:" + std::string(kLinkMac) + "\\port1\\ipaddr:fe80::b%cavixa\\guid"), 0u)
      << name;

  const std::string scanned = scratch_.File("cavix-scan.pnm");
  const tooltest::ProcessResult scan = tooltest::Run({kScan, "--device", name, "--module", kModule, "-m", "gray", "-r",
                                                      "75", "--region", "0,0,50,40", "-o", scanned, "--progress", "none"});
  ASSERT_EQ(scan.exitStatus, 0) << scan.err;
  std::ofstream(scratch_.File("dll.conf")) << "cavix\n";
  std::ofstream(scratch_.File("cavix.conf")) << "module " << kModule << "\n";
  const std::string sane = scratch_.File("scanimage.pnm");
  const tooltest::ProcessResult image = tooltest::Scanimage(
      {"-d", "cavix:" + name, "--mode", "Gray", "--resolution", "75", "-x", "50", "-y", "40", "--format=pnm", "-o", sane},
      CAVIX_SANE_BACKEND_DIR, scratch_.Path());
  ASSERT_EQ(image.exitStatus, 0) << image.err;
  const std::vector<cavixsim::SentPage> sent = linked_->SentPages();
  ASSERT_EQ(sent.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    std::vector<tooltest::Image> got;
    tooltest::Image want;
    std::string error;
    ASSERT_TRUE(tooltest::DecodePnm(i == 0 ? scanned : sane, &got, &error)) << error;
    ASSERT_TRUE(tooltest::DecodeSentPage(sent[i], &want, &error)) << error;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].width, want.width) << i;
    EXPECT_EQ(got[0].height, want.height) << i;
    EXPECT_TRUE(got[0].pixels == want.pixels) << i << ": not the page the scanner sent";
  }
}

TEST(ScannerDiscoveryEmptyTest, NoCandidatesListsNothing) {
  tooltest::Scratch scratch;  // an empty neighbour table
  tooltest::ProcessResult r = tooltest::Run({kScan, "list"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "no Cavix scanner found on the local network\n");
}

}  // namespace
