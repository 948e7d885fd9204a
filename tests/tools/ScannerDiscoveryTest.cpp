// Discovery of scanners on the local network: a neighbour-table fixture names three simulated
// scanners, a host that never answers, a web server and an address where nothing listens;
// exactly the three scanners are found, with their models and MAC addresses, within the time
// bound; and `cavix-scan list` prints them with device names the driver opens.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>

#include "ToolTestSupport.h"
#include "tools/ScannerDiscovery.h"

namespace {

const std::string kScan = CAVIX_SCAN_PATH;
const std::string kModule = CAVIX_MODULE_PATH;

// Each test has a network of its own (ctest runs tests side by side).
class ScannerDiscoveryTest : public ::testing::Test {
 protected:
  void Start(int net) {
    network_ = std::make_unique<tooltest::Neighbourhood>(net, scratch_.File("neighbours.txt"));
    ASSERT_EQ(network_->Error(), "");
  }
  const tooltest::Neighbourhood::Scanner& Want(size_t i) const { return network_->Scanners()[i]; }

  tooltest::Scratch scratch_;
  std::unique_ptr<tooltest::Neighbourhood> network_;
};

TEST_F(ScannerDiscoveryTest, ExactlyTheScannersAreFoundWithModelAndMacWithinTheBound) {
  Start(79);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<FoundScanner> found = ScannerDiscovery::Find();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(found.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const tooltest::Neighbourhood::Scanner& want = Want(i);
    EXPECT_EQ(found[i].model, want.model);
    EXPECT_EQ(found[i].address, want.address);
    EXPECT_EQ(found[i].mac, want.mac);
    EXPECT_EQ(found[i].deviceName.find("\\\\?\\cavixnet#\\macaddr:" + want.mac + "\\port1\\ipaddr:" + want.address +
                                       "\\guid"),
              0u)
        << found[i].deviceName;
  }
  // The silent host is given up on after the probe's time-out; the others answer at once.
  EXPECT_LT(seconds, 2.0);
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

TEST(ScannerDiscoveryEmptyTest, NoCandidatesListsNothing) {
  tooltest::Scratch scratch;  // an empty neighbour table
  tooltest::ProcessResult r = tooltest::Run({kScan, "list"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "no Cavix scanner found on the local network\n");
}

}  // namespace
