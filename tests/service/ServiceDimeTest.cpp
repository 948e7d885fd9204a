// RetrieveImage responses framed as DIME messages, built byte by byte here: the envelope
// record refers to the page by id, and the page's chunked records reach the DIME write hooks
// found through the context's pointer map, chunk by chunk, without being held in memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/ServiceFault.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "tests/service/LoopbackHttpServer.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

// Record header flags (first byte: version 1 in the top five bits, then MB, ME, CF).
constexpr uint8_t kVersion1 = 0x08;
constexpr uint8_t kMessageBegin = 0x04;
constexpr uint8_t kMessageEnd = 0x02;
constexpr uint8_t kChunk = 0x01;
// Second byte: type format in the top four bits.
constexpr uint8_t kTypeUnchanged = 0x00;
constexpr uint8_t kTypeMedia = 0x10;
constexpr uint8_t kTypeUri = 0x20;

void Put16(std::string& out, size_t value) {
  out += static_cast<char>((value >> 8) & 0xff);
  out += static_cast<char>(value & 0xff);
}

void PutPadded(std::string& out, const std::string& field) {
  out += field;
  out.append((4 - field.size() % 4) % 4, '\0');
}

// One DIME record: 12-byte header, then options, id, type and data, each padded to 4 bytes.
std::string DimeRecord(uint8_t flags, uint8_t typeFormat, const std::string& options,
                       const std::string& id, const std::string& type, const std::string& data) {
  std::string out;
  out += static_cast<char>(kVersion1 | flags);
  out += static_cast<char>(typeFormat);
  Put16(out, options.size());
  Put16(out, id.size());
  Put16(out, type.size());
  out += static_cast<char>((data.size() >> 24) & 0xff);
  out += static_cast<char>((data.size() >> 16) & 0xff);
  out += static_cast<char>((data.size() >> 8) & 0xff);
  out += static_cast<char>(data.size() & 0xff);
  PutPadded(out, options);
  PutPadded(out, id);
  PutPadded(out, type);
  PutPadded(out, data);
  return out;
}

const char* const kSoap12EnvelopeType = "http://www.w3.org/2003/05/soap-envelope";

std::string ImageEnvelope(const std::string& href) {
  return Soap12("<w:RetrieveImageRequestResponse><Response href=\"" + href +
                "\"/></w:RetrieveImageRequestResponse>");
}

// Stands in for the image data source: it registers under "DimeDataSource" and records
// what the hooks hand it.
struct Receiver {
  int opens = 0;
  int closes = 0;
  std::string id, type, options;
  std::vector<std::string> writes;  // non-empty writes, in order
  int emptyWrites = 0;
};

void* Open(struct soap* soap, const char* id, const char* type, const char* options) {
  auto* receiver = static_cast<Receiver*>(SoapPointerMap::Lookup(soap, "DimeDataSource"));
  if (!receiver) {
    soap->error = SOAP_FATAL_ERROR;
    return nullptr;
  }
  ++receiver->opens;
  receiver->id = id ? id : "";
  receiver->type = type ? type : "";
  if (options) receiver->options.assign(options, 4 + ((options[2] & 0xff) << 8 | (options[3] & 0xff)));
  return receiver;
}

int Write(struct soap*, void* handle, const char* buf, size_t len) {
  auto* receiver = static_cast<Receiver*>(handle);
  if (len == 0)
    ++receiver->emptyWrites;
  else
    receiver->writes.emplace_back(buf, len);
  return SOAP_OK;
}

void Close(struct soap*, void* handle) { ++static_cast<Receiver*>(handle)->closes; }

class ServiceDimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SoapPointerMap::Attach(soap_, &map_);
    SoapPointerMap::Register(soap_, "DimeDataSource", &receiver_);
    soap_.get()->fdimewriteopen = Open;
    soap_.get()->fdimewrite = Write;
    soap_.get()->fdimewriteclose = Close;
  }
  int RetrieveImage(wscn__RetrieveImageResponseType& response) {
    wscn__DocumentDescriptionType description;
    return soap_call_wscn__RetrieveImageRequest(soap_, server_.Endpoint().c_str(), nullptr, 9,
                                                const_cast<char*>("tok"), &description,
                                                response);
  }

  LoopbackHttpServer server_;
  TestContext soap_{ServiceContext::kChunkedOutput};
  SoapPointerMap map_;
  Receiver receiver_;
};

TEST_F(ServiceDimeTest, ChunkedAttachmentReachesTheWriteHooksChunkByChunk) {
  const std::string options("\x00\x01\x00\x03raw", 7);
  std::string message =
      DimeRecord(kMessageBegin, kTypeUri, "", "", kSoap12EnvelopeType, ImageEnvelope("page-1")) +
      DimeRecord(kChunk, kTypeMedia, options, "page-1", "image/jpeg", "\xff\xd8\xff\xe0\x01") +
      DimeRecord(kChunk, kTypeUnchanged, "", "", "", "second7") +
      DimeRecord(kMessageEnd, kTypeUnchanged, "", "", "", "end");
  server_.SetReply(LoopbackHttpServer::HttpReply("application/dime", message));

  wscn__RetrieveImageResponseType response;
  ASSERT_EQ(SOAP_OK, RetrieveImage(response));
  EXPECT_EQ(1, receiver_.opens);
  EXPECT_EQ(1, receiver_.closes);
  EXPECT_EQ("page-1", receiver_.id);
  EXPECT_EQ("image/jpeg", receiver_.type);
  EXPECT_EQ(options, receiver_.options);
  EXPECT_EQ((std::vector<std::string>{"\xff\xd8\xff\xe0\x01", "second7", "end"}), receiver_.writes);
  // The response refers to the streamed attachment: the hooks' handle, not a copy; the size
  // is known only for attachments held in memory.
  EXPECT_EQ(static_cast<void*>(&receiver_), static_cast<void*>(response.__ptr));
  EXPECT_EQ(0, response.__size);
  EXPECT_STREQ("page-1", response.id);
  EXPECT_STREQ("image/jpeg", response.type);
}

TEST_F(ServiceDimeTest, FaultAnswerToRetrieveImageReachesNoHook) {
  server_.SetReply(LoopbackHttpServer::HttpReply(kSoap12Type, Soap12(R"(
      <env:Fault>
        <env:Code><env:Value>env:Sender</env:Value>
          <env:Subcode><env:Value>w:ClientErrorNoImagesAvailable</env:Value></env:Subcode>
        </env:Code>
        <env:Reason><env:Text xml:lang="en">no images</env:Text></env:Reason>
      </env:Fault>)"),
                                                 "400 Bad Request"));
  wscn__RetrieveImageResponseType response;
  EXPECT_EQ(ServiceFault::kSenderFault, RetrieveImage(response));
  EXPECT_STREQ("wscn:ClientErrorNoImagesAvailable", ServiceFault::Subcode(soap_));
  EXPECT_EQ(0, receiver_.opens);
  EXPECT_TRUE(receiver_.writes.empty());
  EXPECT_EQ(nullptr, response.__ptr);
}

TEST_F(ServiceDimeTest, FaultInsideADimeMessageReachesNoHook) {
  std::string fault = Soap12(R"(
      <env:Fault>
        <env:Code><env:Value>env:Receiver</env:Value>
          <env:Subcode><env:Value>w:ServerErrorNotAcceptingJobs</env:Value></env:Subcode>
        </env:Code>
        <env:Reason><env:Text xml:lang="en">busy</env:Text></env:Reason>
      </env:Fault>)");
  server_.SetReply(LoopbackHttpServer::HttpReply(
      "application/dime",
      DimeRecord(kMessageBegin | kMessageEnd, kTypeUri, "", "", kSoap12EnvelopeType, fault),
      "500 Internal Server Error"));
  wscn__RetrieveImageResponseType response;
  EXPECT_EQ(ServiceFault::kReceiverFault, RetrieveImage(response));
  EXPECT_STREQ("wscn:ServerErrorNotAcceptingJobs", ServiceFault::Subcode(soap_));
  EXPECT_EQ(0, receiver_.opens);
}

TEST_F(ServiceDimeTest, ReferenceToAMissingAttachmentFailsAfterStreamingIt) {
  std::string message =
      DimeRecord(kMessageBegin, kTypeUri, "", "", kSoap12EnvelopeType, ImageEnvelope("page-2")) +
      DimeRecord(kMessageEnd, kTypeMedia, "", "page-1", "image/jpeg", "abc");
  server_.SetReply(LoopbackHttpServer::HttpReply("application/dime", message));
  wscn__RetrieveImageResponseType response;
  EXPECT_EQ(ServiceFault::kDimeHref, RetrieveImage(response));
}

TEST_F(ServiceDimeTest, InlineBase64ImageIsAcceptedWithoutHooks) {
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap12Type, Soap12("<w:RetrieveImageRequestResponse><Response>aGVsbG8=</Response>"
                          "</w:RetrieveImageRequestResponse>")));
  wscn__RetrieveImageResponseType response;
  ASSERT_EQ(SOAP_OK, RetrieveImage(response));
  ASSERT_EQ(5, response.__size);
  EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(response.__ptr), 5));
  EXPECT_EQ(0, receiver_.opens);
}

TEST_F(ServiceDimeTest, HookWithoutARegisteredReceiverFailsTheCall) {
  SoapPointerMap::Unregister(soap_, "DimeDataSource");
  std::string message =
      DimeRecord(kMessageBegin, kTypeUri, "", "", kSoap12EnvelopeType, ImageEnvelope("page-1")) +
      DimeRecord(kMessageEnd, kTypeMedia, "", "page-1", "image/jpeg", "abc");
  server_.SetReply(LoopbackHttpServer::HttpReply("application/dime", message));
  wscn__RetrieveImageResponseType response;
  EXPECT_NE(SOAP_OK, RetrieveImage(response));
  EXPECT_EQ(0, receiver_.opens);
}

}  // namespace
