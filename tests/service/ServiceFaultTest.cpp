// Status codes of the client calls and the fault left in the context: every fault form in
// both envelope versions, fault codes under any prefix, tag mismatch, empty body, and the
// transport failures (no connection, connection dropped) including that a dropped connection
// never raises SIGPIPE.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "service/ServiceFault.h"
#include "service/WscnService.h"
#include "tests/service/LoopbackHttpServer.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

struct FaultCase {
  const char* name;
  bool soap12;
  const char* httpStatus;
  const char* fault;  // the Fault element, hand-written
  int status;
  const char* code;
  const char* subcode;
  const char* reason;
  const char* detailContains;
};

const FaultCase kFaults[] = {
    {"1.2 Sender with subcode", true, "400 Bad Request",
     R"(<env:Fault>
          <env:Code><env:Value>env:Sender</env:Value>
            <env:Subcode><env:Value>w:ClientErrorJobIdNotFound</env:Value></env:Subcode>
          </env:Code>
          <env:Reason><env:Text xml:lang="en">no such job</env:Text></env:Reason>
          <env:Detail><w:JobId>5</w:JobId></env:Detail>
        </env:Fault>)",
     1, "SOAP-ENV:Sender", "wscn:ClientErrorJobIdNotFound", "no such job", "5"},
    {"1.2 Receiver", true, "500 Internal Server Error",
     R"(<env:Fault>
          <env:Code><env:Value>env:Receiver</env:Value>
            <env:Subcode><env:Value>w:ServerErrorTemporaryError</env:Value></env:Subcode>
          </env:Code>
          <env:Reason><env:Text xml:lang="en">busy</env:Text></env:Reason>
        </env:Fault>)",
     2, "SOAP-ENV:Receiver", "wscn:ServerErrorTemporaryError", "busy", nullptr},
    {"1.2 MustUnderstand", true, "500 Internal Server Error",
     R"(<env:Fault><env:Code><env:Value>env:MustUnderstand</env:Value></env:Code>
          <env:Reason><env:Text xml:lang="en">header</env:Text></env:Reason></env:Fault>)",
     8, "SOAP-ENV:MustUnderstand", nullptr, "header", nullptr},
    {"1.2 VersionMismatch", true, "500 Internal Server Error",
     R"(<env:Fault><env:Code><env:Value>env:VersionMismatch</env:Value></env:Code>
          <env:Reason><env:Text xml:lang="en">version</env:Text></env:Reason></env:Fault>)",
     39, "SOAP-ENV:VersionMismatch", nullptr, "version", nullptr},
    {"1.2 other code", true, "500 Internal Server Error",
     R"(<env:Fault><env:Code><env:Value>w:Jammed</env:Value></env:Code>
          <env:Reason><env:Text xml:lang="en">jam</env:Text></env:Reason></env:Fault>)",
     12, "wscn:Jammed", nullptr, "jam", nullptr},
    {"1.2 Sender under a prefix of the service namespace is another code", true,
     "500 Internal Server Error",
     R"(<env:Fault><env:Code><env:Value>w:Sender</env:Value></env:Code>
          <env:Reason><env:Text xml:lang="en">x</env:Text></env:Reason></env:Fault>)",
     12, "wscn:Sender", nullptr, "x", nullptr},
    {"1.2 Sender under a locally bound prefix, subcode under another", true, "400 Bad Request",
     R"(<env:Fault>
          <env:Code>
            <env:Value xmlns:e12="http://www.w3.org/2003/05/soap-envelope">e12:Sender</env:Value>
            <env:Subcode><env:Value xmlns:q="http://tempuri.org/wscn.xsd"
                >q:ClientErrorInvalidArgs</env:Value></env:Subcode>
          </env:Code>
          <env:Reason><env:Text xml:lang="en">args</env:Text></env:Reason>
        </env:Fault>)",
     1, "SOAP-ENV:Sender", "wscn:ClientErrorInvalidArgs", "args", nullptr},
    {"1.1 Client", false, "500 Internal Server Error",
     R"(<s:Fault><faultcode>s:Client</faultcode><faultstring>bad ticket</faultstring>
          <detail><w:Field>ScanTicket</w:Field></detail></s:Fault>)",
     1, "SOAP-ENV:Client", nullptr, "bad ticket", "ScanTicket"},
    {"1.1 Server", false, "500 Internal Server Error",
     R"(<s:Fault><faultcode>s:Server</faultcode><faultstring>down</faultstring></s:Fault>)",
     2, "SOAP-ENV:Server", nullptr, "down", nullptr},
    {"1.1 MustUnderstand", false, "500 Internal Server Error",
     R"(<s:Fault><faultcode>s:MustUnderstand</faultcode><faultstring>h</faultstring></s:Fault>)",
     8, "SOAP-ENV:MustUnderstand", nullptr, "h", nullptr},
    {"1.1 VersionMismatch", false, "500 Internal Server Error",
     R"(<s:Fault><faultcode>s:VersionMismatch</faultcode><faultstring>v</faultstring></s:Fault>)",
     39, "SOAP-ENV:VersionMismatch", nullptr, "v", nullptr},
    {"1.1 other code", false, "500 Internal Server Error",
     R"(<s:Fault><faultcode>w:ClientErrorNoImagesAvailable</faultcode>
          <faultstring>none</faultstring></s:Fault>)",
     12, "wscn:ClientErrorNoImagesAvailable", nullptr, "none", nullptr},
    {"1.1 Client under the prefix SOAP-ENV bound in the fault", false, "500 Internal Server Error",
     R"(<SOAP-ENV:Fault xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">
          <faultcode>SOAP-ENV:Client</faultcode><faultstring>c</faultstring></SOAP-ENV:Fault>)",
     1, "SOAP-ENV:Client", nullptr, "c", nullptr},
};

void ExpectText(const char* expected, const char* actual) {
  if (expected)
    EXPECT_STREQ(expected, actual);
  else
    EXPECT_EQ(nullptr, actual) << actual;
}

class ServiceFaultTest : public ::testing::Test {
 protected:
  int GetJobInfo(struct soap* soap, const std::string& endpoint) {
    wscn__JobSummaryType response;
    return soap_call_wscn__GetJobInfo(soap, endpoint.c_str(), nullptr, 5, &response);
  }
  LoopbackHttpServer server_;
  TestContext soap_;
};

TEST_F(ServiceFaultTest, EveryFaultFormReadsItsStatusCodeSubcodeReasonAndDetail) {
  for (const FaultCase& c : kFaults) {
    SCOPED_TRACE(c.name);
    server_.SetReply(LoopbackHttpServer::HttpReply(c.soap12 ? kSoap12Type : kSoap11Type,
                                                   c.soap12 ? Soap12(c.fault) : Soap11(c.fault),
                                                   c.httpStatus));
    int status = GetJobInfo(soap_, server_.Endpoint());
    EXPECT_EQ(c.status, status);
    EXPECT_TRUE(ServiceFault::IsFault(status));
    ExpectText(c.code, ServiceFault::Code(soap_));
    ExpectText(c.subcode, ServiceFault::Subcode(soap_));
    ExpectText(c.reason, ServiceFault::Reason(soap_));
    const char* detail = ServiceFault::Detail(soap_);
    if (c.detailContains) {
      ASSERT_NE(nullptr, detail);
      EXPECT_NE(std::string::npos, std::string(detail).find(c.detailContains)) << detail;
    }
  }
}

// Every text a fault keeps is cut to a cap (the exchange bounds' text cap) with its control
// characters replaced; clean texts within it, and a context without a fault, are left as they are.
TEST_F(ServiceFaultTest, ClipTextsCutsEveryTextOfTheFaultToTheCap) {
  server_.SetReply(LoopbackHttpServer::HttpReply(kSoap12Type, Soap12(
      R"(<env:Fault>
          <env:Code><env:Value>env:Receiver</env:Value>
            <env:Subcode><env:Value>w:ServerErrorTemporaryError</env:Value></env:Subcode>
          </env:Code>
          <env:Reason><env:Text xml:lang="en">the scanner is&#27;warming up</env:Text></env:Reason>
          <env:Detail>twelve chars</env:Detail>
        </env:Fault>)"), "500 Internal Server Error"));
  ASSERT_EQ(2, GetJobInfo(soap_, server_.Endpoint()));
  ServiceFault::ClipTexts(soap_, 64);
  EXPECT_STREQ("the scanner is\xEF\xBF\xBDwarming up", ServiceFault::Reason(soap_)) << "within the cap";
  ServiceFault::ClipTexts(soap_, 12);
  EXPECT_STREQ("SOAP-ENV:Rec", ServiceFault::Code(soap_));
  EXPECT_STREQ("wscn:ServerE", ServiceFault::Subcode(soap_));
  EXPECT_STREQ("the scanner ", ServiceFault::Reason(soap_));
  ASSERT_NE(nullptr, ServiceFault::Detail(soap_));
  EXPECT_LE(std::string(ServiceFault::Detail(soap_)).size(), 12u);
  TestContext empty;
  ServiceFault::ClipTexts(empty, 1);  // no fault: nothing to do
  ServiceFault::ClipTexts(nullptr, 1);
}

TEST_F(ServiceFaultTest, FaultStaysUntilTheNextCallWhichClearsIt) {
  server_.SetReply(LoopbackHttpServer::HttpReply(kSoap12Type, Soap12(kFaults[0].fault),
                                                 "400 Bad Request"));
  ASSERT_EQ(1, GetJobInfo(soap_, server_.Endpoint()));
  EXPECT_STREQ("wscn:ClientErrorJobIdNotFound", ServiceFault::Subcode(soap_));
  EXPECT_STREQ("wscn:ClientErrorJobIdNotFound", ServiceFault::Subcode(soap_));
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap12Type, Soap12("<w:JobSummaryType><JobId>5</JobId></w:JobSummaryType>")));
  ASSERT_EQ(0, GetJobInfo(soap_, server_.Endpoint()));
  EXPECT_EQ(nullptr, ServiceFault::Subcode(soap_));
}

TEST_F(ServiceFaultTest, AnotherResponseElementIsATagMismatchWithALocalSenderFault) {
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap12Type, Soap12("<w:PadInfoResponseType><TotalPadLines>1</TotalPadLines>"
                          "</w:PadInfoResponseType>")));
  EXPECT_EQ(SOAP_TAG_MISMATCH, GetJobInfo(soap_, server_.Endpoint()));
  EXPECT_FALSE(ServiceFault::IsFault(SOAP_TAG_MISMATCH));
  EXPECT_STREQ("SOAP-ENV:Sender", ServiceFault::Code(soap_));
  EXPECT_EQ(nullptr, ServiceFault::Subcode(soap_));

  // The right local name in another namespace is another element too.
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap11Type, Soap11("<o:JobSummaryType xmlns:o=\"urn:other\"><JobId>5</JobId>"
                          "</o:JobSummaryType>")));
  EXPECT_EQ(SOAP_TAG_MISMATCH, GetJobInfo(soap_, server_.Endpoint()));
  EXPECT_STREQ("SOAP-ENV:Client", ServiceFault::Code(soap_));
  EXPECT_EQ(nullptr, ServiceFault::Subcode(soap_));
}

TEST_F(ServiceFaultTest, EmptyBodyIsNoElement) {
  server_.SetReply(LoopbackHttpServer::HttpReply(kSoap12Type, Soap12("")));
  EXPECT_EQ(SOAP_NO_TAG, GetJobInfo(soap_, server_.Endpoint()));
}

TEST_F(ServiceFaultTest, RefusedConnectionIsTcpError) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  socklen_t len = sizeof sa;
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len));
  close(fd);  // bound, never listened: connecting to it is refused
  std::string endpoint = "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  EXPECT_EQ(SOAP_TCP_ERROR, GetJobInfo(soap_, endpoint));
  EXPECT_STREQ("no connection", ServiceFault::StatusName(SOAP_TCP_ERROR));
}

TEST_F(ServiceFaultTest, ConnectionEndingBeforeOrDuringTheResponseIsEof) {
  server_.SetMode(LoopbackHttpServer::Mode::kCloseAfterRequest);
  EXPECT_EQ(SOAP_EOF, GetJobInfo(soap_, server_.Endpoint()));

  server_.SetMode(LoopbackHttpServer::Mode::kReply);
  std::string body = Soap12("<w:JobSummaryType><JobId>5</JobId></w:JobSummaryType>");
  std::string truncated = "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                          body.substr(0, body.size() / 2);
  server_.SetReply(truncated);
  EXPECT_EQ(SOAP_EOF, GetJobInfo(soap_, server_.Endpoint()));
}

// The connection is shut down for writing right after it is made, so gSOAP's first send
// fails with EPIPE, which raises SIGPIPE unless the context sends with MSG_NOSIGNAL. The call
// runs in a child process so that the signal cannot take the test runner with it.
SOAP_SOCKET (*g_libraryOpen)(struct soap*, const char*, const char*, int) = nullptr;

SOAP_SOCKET OpenAndShutDownSending(struct soap* soap, const char* endpoint, const char* host,
                                   int port) {
  SOAP_SOCKET sock = g_libraryOpen(soap, endpoint, host, port);
  if (soap_valid_socket(sock)) shutdown(sock, SHUT_WR);
  return sock;
}

TEST_F(ServiceFaultTest, FailingSendNeverRaisesSigpipe) {
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap12Type, Soap12("<w:JobSummaryType><JobId>5</JobId></w:JobSummaryType>")));
  std::string endpoint = server_.Endpoint();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGPIPE, SIG_DFL);
    for (auto output : {ServiceContext::kPlainOutput, ServiceContext::kChunkedOutput}) {
      TestContext soap(output);
      g_libraryOpen = soap.get()->fopen;
      soap.get()->fopen = OpenAndShutDownSending;
      if (GetJobInfo(soap, endpoint) == SOAP_OK) _exit(10);
    }
    _exit(0);
  }
  int wstatus = 0;
  ASSERT_EQ(child, waitpid(child, &wstatus, 0));
  ASSERT_FALSE(WIFSIGNALED(wstatus)) << "child killed by signal " << WTERMSIG(wstatus);
  EXPECT_EQ(0, WEXITSTATUS(wstatus));
}

TEST(ServiceStatusTest, StatusNamesAndFaultClassesFollowTheTable) {
  EXPECT_STREQ("sender fault", ServiceFault::StatusName(1));
  EXPECT_STREQ("receiver fault", ServiceFault::StatusName(2));
  EXPECT_STREQ("unexpected response element", ServiceFault::StatusName(3));
  EXPECT_STREQ("connection broken", ServiceFault::StatusName(-1));
  EXPECT_STREQ("other error", ServiceFault::StatusName(5));
  for (int status : {1, 2, 8, 12, 39}) EXPECT_TRUE(ServiceFault::IsFault(status)) << status;
  for (int status : {0, 3, 4, 6, 7, 28, 33, -1}) EXPECT_FALSE(ServiceFault::IsFault(status)) << status;
  EXPECT_EQ(nullptr, ServiceFault::Code(nullptr));
  EXPECT_EQ(nullptr, ServiceFault::Reason(nullptr));
}

}  // namespace
