// Shared pieces of the service tests: a context made the module's way with generous limits,
// and hand-written envelope frames around hand-written bodies.
#ifndef CAVIX_TESTS_SERVICE_SERVICETESTSUPPORT_H
#define CAVIX_TESTS_SERVICE_SERVICETESTSUPPORT_H

#include <string>

#include "service/ServiceContext.h"
#include "service/WscnService.h"

// Owns a context created by ServiceContext::Create. Time-outs are far above anything a
// loopback exchange needs; they only keep a broken test from hanging.
class TestContext {
 public:
  explicit TestContext(ServiceContext::Output output = ServiceContext::kPlainOutput)
      : soap_(ServiceContext::Create(output)) {
    soap_->connect_timeout = 30;
    soap_->recv_timeout = 30;
    soap_->send_timeout = 30;
  }
  ~TestContext() { ServiceContext::Destroy(soap_); }
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;
  struct soap* get() const { return soap_; }
  operator struct soap*() const { return soap_; }

 private:
  struct soap* soap_;
};

constexpr const char* kSoap12Type = "application/soap+xml; charset=utf-8";
constexpr const char* kSoap11Type = "text/xml; charset=utf-8";

inline std::string Soap12(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"\n"
         "    xmlns:w=\"http://tempuri.org/wscn.xsd\">\n"
         " <env:Body>\n" + body + "\n </env:Body>\n</env:Envelope>\n";
}

inline std::string Soap11(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"\n"
         "    xmlns:w=\"http://tempuri.org/wscn.xsd\">\n"
         " <s:Body>\n" + body + "\n </s:Body>\n</s:Envelope>\n";
}

#endif
