// The USB protocol over a pseudo-terminal standing in for the device file (the test holds the
// master side), and over scripted reads where the device's timing must be exact.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <stdsoap2.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "driver/CavixErrors.h"
#include "platform/TimeLimits.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/UsbProtocol.h"

namespace {

CAVIX_ERRORS Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (CAVIX_ERRORS e) {
    return e;
  }
  return CERR_NONE;
}

// A pseudo-terminal: the protocol opens the slave by path, the test talks on the master. The
// test keeps a slave descriptor of its own so that the line never hangs up between exchanges.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
    path_ = ptsname(master_);
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios mode;
    tcgetattr(slave_, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave_, TCSANOW, &mode);
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  const std::string& Path() const { return path_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(master_, bytes.data(), bytes.size()));
  }
  // What the device received: reads until `count` bytes or 10 s without any.
  std::string Received(std::size_t count) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < count) {
      struct pollfd pfd = {master_, POLLIN, 0};
      if (::poll(&pfd, 1, 10000) <= 0) break;
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  // Whether the device received anything not yet read.
  bool Pending() {
    struct pollfd pfd = {master_, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class UsbProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.CaptureLog();
    soap_ = ServiceContext::Create(ServiceContext::kPlainOutput);
    ASSERT_NE(nullptr, soap_);
    SoapPointerMap::Attach(soap_, &map_);
  }
  void TearDown() override {
    TimeLimits::Instance().Reset();
    ServiceContext::Destroy(soap_);
  }
  bool Logged(const std::string& text) const {
    return sandbox_.Log().find(text) != std::string::npos;
  }
  std::size_t CountLogged(const std::string& text) const {
    const std::string log = sandbox_.Log();
    std::size_t n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  transporttest::Sandbox sandbox_;
  SoapPointerMap map_;
  struct soap* soap_ = nullptr;
};

TEST_F(UsbProtocolTest, InstallSetsEndpointHooksAndRegistration) {
  UsbProtocol usb(soap_);
  EXPECT_EQ(60, usb.Timeout());
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] { usb.Install(nullptr); }));
  EXPECT_TRUE(Logged("Exception thrown = 2"));
  usb.EnableShortTimeout();
  usb.Install("/dev/usb/lp0");
  EXPECT_STREQ("http:/dev/usb/lp0", usb.GetEndpoint());
  EXPECT_EQ(60, usb.Timeout());
  EXPECT_EQ(&usb, SoapPointerMap::Lookup(soap_, "UsbProtocol"));
  EXPECT_EQ(&UsbProtocol::OpenHook, soap_->fopen);
  EXPECT_EQ(&UsbProtocol::CloseHook, soap_->fclose);
  EXPECT_EQ(&UsbProtocol::SendHook, soap_->fsend);
  EXPECT_EQ(&UsbProtocol::ReceiveHook, soap_->frecv);
  EXPECT_TRUE(usb.IsConnectionless());
  EXPECT_TRUE(usb.RediscoverDevice());
  EXPECT_STREQ("http:/dev/usb/lp0", usb.GetEndpoint());
}

TEST_F(UsbProtocolTest, EndpointLengthChecks) {
  // A one-character path is accepted (opened relative to the working directory).
  const std::string dir = sandbox_.Path("");
  transporttest::WriteText(sandbox_.Path("x"), "");
  char previous[4096];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(dir.c_str()));
  {
    UsbProtocol usb(soap_);
    usb.Install("x");
    EXPECT_EQ(6u, std::string(usb.GetEndpoint()).size());
    EXPECT_GE(usb.Open(), 0);
    EXPECT_TRUE(usb.IsOpen());
    EXPECT_TRUE(usb.Close().Ok());
    EXPECT_TRUE(usb.Close().Ok());  // already closed
  }
  ASSERT_EQ(0, chdir(previous));
  EXPECT_FALSE(Logged("Endpoint name too"));

  UsbProtocol empty(soap_);
  empty.Install("");
  soap_->error = SOAP_OK;
  EXPECT_EQ(-1, empty.Open());
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->error);
  EXPECT_TRUE(Logged("Warning! Endpoint name too short: reverting to NULL"));

  // 255 characters of path make an endpoint of 260: tried (and missing, so no warning).
  UsbProtocol longest(soap_);
  longest.Install(("/" + std::string(254, 'p')).c_str());
  EXPECT_EQ(-1, longest.Open());
  EXPECT_FALSE(Logged("Endpoint name too long"));
  UsbProtocol tooLong(soap_);
  tooLong.Install(("/" + std::string(255, 'p')).c_str());
  soap_->error = SOAP_OK;
  EXPECT_EQ(-1, tooLong.Open());
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->error);
  EXPECT_TRUE(Logged("Warning! Endpoint name too long; reverting to NULL"));

  UsbProtocol uninstalled(soap_);
  EXPECT_EQ(-1, uninstalled.Open());
}

TEST_F(UsbProtocolTest, OpenRecordsTimeoutsAndDiscardsStaleInput) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  pty.Send("stale answer");
  ASSERT_GE(usb.Open(), 0);
  DWORD read = 0, write = 0, event = 0;
  usb.RecordedTimeouts(read, write, event);
  EXPECT_EQ(60u, read);
  EXPECT_EQ(60u, write);
  EXPECT_EQ(60u, event);

  pty.Send("fresh");
  char buffer[64];
  DWORD got = 0;
  ASSERT_TRUE(usb.Read(buffer, sizeof buffer, got).Ok());
  EXPECT_EQ("fresh", std::string(buffer, got));
  usb.Close();

  // A time-out change reaches the device at the next open.
  usb.EnableShortTimeout();
  ASSERT_GE(usb.Open(), 0);
  usb.RecordedTimeouts(read, write, event);
  EXPECT_EQ(30u, read);
  EXPECT_EQ(30u, event);
  usb.Close();
}

TEST_F(UsbProtocolTest, HooksCarryBinaryBytesBothWays) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  ASSERT_GE(soap_->fopen(soap_, usb.GetEndpoint(), "", 0), 0);

  const std::string request("POST /\r\n\x03\x04\x11\x13\x7f\xff\0end", 18);
  ASSERT_EQ(0, soap_->fsend(soap_, request.data(), request.size()));
  EXPECT_EQ(request, pty.Received(request.size()));
  EXPECT_TRUE(Logged("Attempted write size = 18"));
  EXPECT_TRUE(Logged("Actual write size = 18"));

  const std::string answer("HTTP/1.1 200 OK\r\n\x1a\x1c\n\r\0", 22);
  pty.Send(answer);
  std::string received;
  char buffer[8];
  while (received.size() < answer.size()) {
    const std::size_t n = soap_->frecv(soap_, buffer, sizeof buffer);
    ASSERT_GT(n, 0u);
    received.append(buffer, n);
  }
  EXPECT_EQ(answer, received);
  EXPECT_TRUE(Logged("Attempted read size = 8"));
  EXPECT_EQ(0, soap_->fclose(soap_));
  EXPECT_FALSE(usb.IsOpen());
}

TEST_F(UsbProtocolTest, ZeroLengthSendAndReceiveTouchNothing) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  // Not even open: a no-op must not need the device.
  EXPECT_EQ(0, UsbProtocol::SendHook(soap_, "abc", 0));
  EXPECT_EQ(0, UsbProtocol::SendHook(soap_, nullptr, 3));
  char buffer[4];
  EXPECT_EQ(0u, UsbProtocol::ReceiveHook(soap_, buffer, 0));
  EXPECT_EQ(0u, UsbProtocol::ReceiveHook(soap_, nullptr, 4));
  EXPECT_TRUE(Logged("Warning! No-op send attempted"));
  EXPECT_TRUE(Logged("Warning! No-op receive attempted"));
  EXPECT_FALSE(Logged("Attempted"));
  EXPECT_FALSE(pty.Pending());
}

TEST_F(UsbProtocolTest, HooksWithoutRegisteredProtocolFail) {
  SoapPointerMap::Attach(soap_, &map_);
  soap_->error = SOAP_OK;
  EXPECT_EQ(SOAP_INVALID_SOCKET, UsbProtocol::OpenHook(soap_, "http:/x", "", 0));
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->error);
  EXPECT_EQ(SOAP_FATAL_ERROR, UsbProtocol::CloseHook(soap_));
  EXPECT_EQ(SOAP_FATAL_ERROR, UsbProtocol::SendHook(soap_, "abc", 3));
  char buffer[4];
  EXPECT_EQ(0u, UsbProtocol::ReceiveHook(soap_, buffer, sizeof buffer));
}

TEST_F(UsbProtocolTest, ReceiveRepeatsEmptyReadsUpToItsBound) {
  // A regular file at its end answers every read with zero bytes.
  transporttest::WriteText(sandbox_.Path("empty-device"), "");
  UsbProtocol usb(soap_);
  usb.Install(sandbox_.Path("empty-device").c_str());
  ASSERT_GE(usb.Open(), 0);
  sandbox_.ClearLog();
  char buffer[16];
  EXPECT_EQ(0u, UsbProtocol::ReceiveHook(soap_, buffer, sizeof buffer));
  EXPECT_EQ(static_cast<std::size_t>(UsbProtocol::kMaxEmptyReads), CountLogged("Attempted read size = 16"));
  EXPECT_EQ(static_cast<std::size_t>(UsbProtocol::kMaxEmptyReads), CountLogged("Actual read size = 0"));
  EXPECT_TRUE(Logged("Error: Too many empty reads; ending the input"));
}

TEST_F(UsbProtocolTest, CancelInterruptsOnlyCancelableReads) {
  TimeLimits::Instance().usbSecondMs = 1;  // waits of 120 ms instead of 120 s
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  ASSERT_GE(usb.Open(), 0);
  char buffer[16];
  DWORD got = 0;

  // Cancel set before a cancelable read that has to wait: it fails at once and is cancelled.
  usb.Cancel();
  usb.EnableCancelableIo(true);
  sandbox_.ClearLog();
  EXPECT_FALSE(usb.Read(buffer, sizeof buffer, got).Ok());
  EXPECT_TRUE(Logged("+++UsbProtocol::CancelIo"));
  EXPECT_FALSE(Logged("Warning! I/O error"));  // a cancel is no I/O error
  EXPECT_TRUE(Logged("Error: WaitForCancelableIo() failed unexpectedly"));

  // A read that completes at once is not interrupted.
  pty.Send("data");
  ASSERT_TRUE(usb.Read(buffer, sizeof buffer, got).Ok());
  EXPECT_EQ("data", std::string(buffer, got));

  // Not cancelable: the cancel is ignored and the read times out.
  usb.EnableCancelableIo(false);
  sandbox_.ClearLog();
  EXPECT_FALSE(usb.Read(buffer, sizeof buffer, got).Ok());
  EXPECT_FALSE(Logged("UsbProtocol::CancelIo"));
  EXPECT_TRUE(Logged("Warning! I/O error"));

  // After Reset a cancelable read waits for the device again.
  usb.Reset();
  usb.EnableCancelableIo(true);
  sandbox_.ClearLog();
  EXPECT_FALSE(usb.Read(buffer, sizeof buffer, got).Ok());  // the short time-out passes
  EXPECT_FALSE(Logged("UsbProtocol::CancelIo"));
  usb.Close();
}

TEST_F(UsbProtocolTest, CancelFromAnotherThreadEndsAPendingRead) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  ASSERT_GE(usb.Open(), 0);
  usb.EnableCancelableIo(true);
  bool result = true;
  std::thread reader([&] {
    char buffer[16];
    DWORD got = 0;
    result = usb.Read(buffer, sizeof buffer, got).Ok();  // would wait 120 s for the device
  });
  usb.Cancel();
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(Logged("Error: WaitForCancelableIo() failed unexpectedly"));
  usb.Close();
}

TEST_F(UsbProtocolTest, ShortTimeoutBoundsAPendingReadAtSixtySeconds) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  // Before any open only the wait's own limit counts: twice the time-out.
  EXPECT_EQ(120000u, usb.ReadWaitLimitMs());
  usb.EnableShortTimeout();
  EXPECT_EQ(60000u, usb.ReadWaitLimitMs());

  // Opened with the default time-out, the device gives up a read after 60 s; switching to
  // the short time-out while open keeps the wait at 60 s (the device learns 30 s only at the
  // next open) ...
  usb.EnableDefaultTimeout();
  ASSERT_GE(usb.Open(), 0);
  EXPECT_EQ(60000u, usb.ReadWaitLimitMs());
  usb.EnableShortTimeout();
  EXPECT_EQ(60000u, usb.ReadWaitLimitMs());
  usb.Close();
  // ... and after the next open a read waits no longer than the device's 30 s.
  ASSERT_GE(usb.Open(), 0);
  EXPECT_EQ(30000u, usb.ReadWaitLimitMs());

  // A read that finds nothing ends with the I/O warning when its wait runs out, and nothing
  // is cancelled (one "second" is 1 ms here).
  TimeLimits::Instance().usbSecondMs = 1;
  EXPECT_EQ(30u, usb.ReadWaitLimitMs());
  sandbox_.ClearLog();
  char buffer[8];
  DWORD got = 0;
  EXPECT_FALSE(usb.Read(buffer, sizeof buffer, got).Ok());
  EXPECT_EQ(0u, got);
  EXPECT_TRUE(Logged("Warning! I/O error"));
  EXPECT_FALSE(Logged("UsbProtocol::CancelIo"));
  usb.Close();
}

TEST_F(UsbProtocolTest, CloneHasItsOwnDeviceAndCancelAndLeavesStubsBehind) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  usb.EnableShortTimeout();
  usb.EnableCancelableIo(true);
  ASSERT_GE(usb.Open(), 0);

  struct soap* cancel = ServiceContext::Create(ServiceContext::kPlainOutput);
  SoapPointerMap cancelMap;
  SoapPointerMap::Attach(cancel, &cancelMap);
  auto* clone = static_cast<UsbProtocol*>(usb.CloneInSoapPointerMap(cancel));
  ASSERT_NE(nullptr, clone);
  EXPECT_EQ(clone, SoapPointerMap::Lookup(cancel, "UsbProtocol"));
  EXPECT_EQ(&usb, SoapPointerMap::Lookup(soap_, "UsbProtocol"));
  EXPECT_STREQ(usb.GetEndpoint(), clone->GetEndpoint());
  EXPECT_EQ(30, clone->Timeout());
  EXPECT_FALSE(clone->IsOpen());
  EXPECT_EQ(&UsbProtocol::SendHook, cancel->fsend);

  // The clone's exchange runs on a device handle of its own.
  ASSERT_GE(cancel->fopen(cancel, clone->GetEndpoint(), "", 0), 0);
  EXPECT_TRUE(usb.IsOpen());
  ASSERT_EQ(0, cancel->fsend(cancel, "cancel", 6));
  EXPECT_EQ("cancel", pty.Received(6));
  EXPECT_EQ(0, cancel->fclose(cancel));
  EXPECT_TRUE(usb.IsOpen());

  // The clone's cancel event is its own.
  clone->Cancel();
  pty.Send("x");
  char buffer[4];
  DWORD got = 0;
  EXPECT_TRUE(usb.Read(buffer, sizeof buffer, got).Ok());

  usb.DestroyClone(cancel);
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(cancel, "UsbProtocol"));
  usb.DestroyClone(cancel);  // nothing left
  soap_->error = SOAP_OK;
  cancel->error = SOAP_OK;
  EXPECT_EQ(SOAP_INVALID_SOCKET, cancel->fopen(cancel, "http:/x", "", 0));
  EXPECT_EQ(SOAP_FATAL_ERROR, cancel->error);
  EXPECT_EQ(SOAP_FATAL_ERROR, cancel->fsend(cancel, "x", 1));
  EXPECT_EQ(0u, cancel->frecv(cancel, buffer, sizeof buffer));
  EXPECT_EQ(0, cancel->fclose(cancel));
  ServiceContext::Destroy(cancel);
  usb.Close();
}

TEST_F(UsbProtocolTest, DestructionClosesAndLeavesFailingStubs) {
  Pty pty;
  auto* usb = new UsbProtocol(soap_);
  usb->Install(pty.Path().c_str());
  ASSERT_GE(usb->Open(), 0);
  delete usb;
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(soap_, "UsbProtocol"));
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->fsend(soap_, "x", 1));
  EXPECT_FALSE(pty.Pending());
  EXPECT_EQ(SOAP_INVALID_SOCKET, soap_->fopen(soap_, "http:/x", "", 0));
}

TEST_F(UsbProtocolTest, SoapRuntimeRunsItsConnectionThroughTheHooks) {
  Pty pty;
  UsbProtocol usb(soap_);
  usb.Install(pty.Path().c_str());
  soap_begin(soap_);
  ASSERT_EQ(SOAP_OK, soap_connect(soap_, usb.GetEndpoint(), ""));
  EXPECT_TRUE(usb.IsOpen());
  ASSERT_EQ(SOAP_OK, soap_end_send(soap_));
  const std::string request = pty.Received(5);
  EXPECT_EQ("POST ", request);
  soap_closesock(soap_);
  EXPECT_FALSE(usb.IsOpen());

  // The runtime's own socket close reaches the protocol: the descriptor is closed once.
  const int fd = usb.Open();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SOAP_OK, soap_->fclosesocket(soap_, fd));
  EXPECT_FALSE(usb.IsOpen());
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

// A device whose reads answer from a script: n > 0 bytes, 0 (an empty read), or -1 (failure).
class ScriptedUsb : public UsbProtocol {
 public:
  using UsbProtocol::UsbProtocol;
  std::deque<long> answers;
  bool endless = false;  // every read brings 512 bytes
  int reads = 0;

 protected:
  long DeviceRead(void* buffer, std::size_t size) override {
    ++reads;
    if (endless) {
      std::memset(buffer, 'd', std::min<std::size_t>(size, 512));
      return 512;
    }
    if (answers.empty()) {
      errno = EAGAIN;  // nothing waiting
      return -1;
    }
    const long n = answers.front();
    answers.pop_front();
    if (n < 0) {
      errno = EIO;
      return -1;
    }
    std::memset(buffer, 'd', std::min<std::size_t>(size, static_cast<std::size_t>(n)));
    return n;
  }
};

TEST_F(UsbProtocolTest, ReceiveReadsAgainAfterEmptyReadsAndEndsTheInputOnlyOnFailure) {
  Pty pty;
  ScriptedUsb usb(soap_);
  usb.Install(pty.Path().c_str());
  ASSERT_GE(usb.Open(), 0);
  char buffer[16];
  // Two empty reads are no end of input: the hook reads on until bytes come.
  usb.answers = {0, 0, 9};
  usb.reads = 0;
  EXPECT_EQ(9u, UsbProtocol::ReceiveHook(soap_, buffer, sizeof buffer));
  EXPECT_EQ(3, usb.reads);
  // Empty reads just short of the bound still end in data; the count starts over per receive.
  usb.answers.assign(UsbProtocol::kMaxEmptyReads - 1, 0);
  usb.answers.push_back(4);
  EXPECT_EQ(4u, UsbProtocol::ReceiveHook(soap_, buffer, sizeof buffer));
  EXPECT_FALSE(Logged("Too many empty reads"));
  // A failing read ends the input at once.
  usb.answers = {0, -1, 5};
  sandbox_.ClearLog();
  EXPECT_EQ(0u, UsbProtocol::ReceiveHook(soap_, buffer, sizeof buffer));
  EXPECT_TRUE(Logged("Error: ReadFile() failed unexpectedly"));
  EXPECT_EQ(1u, usb.answers.size());
  usb.Close();
}

TEST_F(UsbProtocolTest, FlushEndsAfterFiveEmptyReadsInARow) {
  Pty pty;
  ScriptedUsb usb(soap_);
  usb.Install(pty.Path().c_str());
  usb.EnableShortTimeout();
  sandbox_.ClearLog();
  // Data, two empty reads, data again (the count starts over), then five empty reads. (The
  // open's reset of a terminal discards with tcflush and reads nothing.)
  usb.answers = {100, 0, 0, 7, 0, 0, 0, 0, 0};
  EXPECT_TRUE(usb.Flush());
  EXPECT_EQ(30, usb.Timeout());  // restored
  const std::string log = sandbox_.Log();
  // retries after each read: 5 4 3 5 4 3 2 1 0
  std::string sequence;
  for (auto at = log.find("retries = "); at != std::string::npos; at = log.find("retries = ", at + 1)) {
    sequence += log[at + 10];
  }
  EXPECT_EQ("543543210", sequence);
  EXPECT_TRUE(Logged("bytesRead = 100"));
  EXPECT_TRUE(Logged("bytesRead = 7"));
  EXPECT_FALSE(usb.IsOpen());
}

// A device whose first read finds nothing yet, while its next bytes are on the way.
class LateDevice : public UsbProtocol {
 public:
  LateDevice(struct soap* soap, Pty& pty) : UsbProtocol(soap), pty_(pty) {}

 protected:
  long DeviceRead(void* buffer, std::size_t size) override {
    if (first_) {
      first_ = false;
      pty_.Send("late");
      errno = EAGAIN;
      return -1;
    }
    return UsbProtocol::DeviceRead(buffer, size);
  }

 private:
  Pty& pty_;
  bool first_ = true;
};

TEST_F(UsbProtocolTest, FlushGivesADeviceBetweenTwoWritesTimeToSend) {
  Pty pty;
  LateDevice usb(soap_, pty);
  usb.Install(pty.Path().c_str());
  EXPECT_TRUE(usb.Flush());
  const std::string log = sandbox_.Log();
  const auto late = log.find("bytesRead = 4");
  ASSERT_NE(std::string::npos, late);
  EXPECT_NE(std::string::npos, log.find("retries = 5", late));
  EXPECT_NE(std::string::npos, log.find("retries = 0", late));
}

TEST_F(UsbProtocolTest, FlushFailures) {
  UsbProtocol missing(soap_);
  missing.Install(sandbox_.Path("no-device").c_str());
  EXPECT_FALSE(missing.Flush());
  EXPECT_TRUE(Logged("Error: Unable to open USB"));
  EXPECT_EQ(60, missing.Timeout());

  Pty pty;
  ScriptedUsb failing(soap_);
  failing.Install(pty.Path().c_str());
  failing.answers = {5, -1};
  EXPECT_FALSE(failing.Flush());
  EXPECT_TRUE(Logged("Error: Read() failed unexpectedly"));
  EXPECT_FALSE(failing.IsOpen());
  EXPECT_EQ(60, failing.Timeout());
}

TEST_F(UsbProtocolTest, FlushOfADeviceThatNeverStopsGivesUp) {
  TimeLimits::Instance().usbSecondMs = 1;  // the flush gives up after 30 ms instead of 30 s
  Pty pty;
  // A device that sent a little and went quiet is drained, though its five pauses of 10 ms
  // outlast the shortened limit: only data still coming after it ends the flush.
  ScriptedUsb quiet(soap_);
  quiet.Install(pty.Path().c_str());
  quiet.answers = {512, 0, 0, 0, 0, 0};
  EXPECT_TRUE(quiet.Flush());
  EXPECT_FALSE(Logged("did not drain"));

  ScriptedUsb chatty(soap_);
  chatty.Install(pty.Path().c_str());
  chatty.endless = true;
  EXPECT_FALSE(chatty.Flush());
  EXPECT_TRUE(Logged("Error: Flush() did not drain the device in time"));
  EXPECT_FALSE(chatty.IsOpen());
}

}  // namespace
