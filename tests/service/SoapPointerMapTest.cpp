// The pointer map a SOAP context carries in its user-data pointer.
#include <gtest/gtest.h>

#include "service/SoapPointerMap.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

TEST(SoapPointerMapTest, RegisterLookUpOverwriteAndRemoveThroughTheContext) {
  TestContext soap;
  SoapPointerMap map;
  int source = 0, usb = 0, twin = 0;
  map.Set("stale", &twin);
  SoapPointerMap::Attach(soap, &map);
  EXPECT_EQ(0u, map.Size()) << "attaching empties the map";
  EXPECT_EQ(&map, SoapPointerMap::Of(soap));

  SoapPointerMap::Register(soap, "DimeDataSource", &source);
  SoapPointerMap::Register(soap, "UsbProtocol", &usb);
  EXPECT_EQ(&source, SoapPointerMap::Lookup(soap, "DimeDataSource"));
  EXPECT_EQ(&usb, SoapPointerMap::Lookup(soap, "UsbProtocol"));
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(soap, "NetworkProtocol"));
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(soap, "dimedatasource")) << "keys are exact";

  SoapPointerMap::Register(soap, "UsbProtocol", &twin);
  EXPECT_EQ(&twin, SoapPointerMap::Lookup(soap, "UsbProtocol"));
  EXPECT_EQ(2u, map.Size());

  SoapPointerMap::Unregister(soap, "UsbProtocol");
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(soap, "UsbProtocol"));
  EXPECT_EQ(&source, map.Get("DimeDataSource"));

  SoapPointerMap::ClearOf(soap);
  EXPECT_EQ(0u, map.Size());
  EXPECT_EQ(&map, SoapPointerMap::Of(soap)) << "clearing keeps the map attached";
}

TEST(SoapPointerMapTest, NullContextOrContextWithoutMapIsIgnored) {
  int object = 0;
  SoapPointerMap::Register(nullptr, "DimeDataSource", &object);
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(nullptr, "DimeDataSource"));
  EXPECT_EQ(nullptr, SoapPointerMap::Of(nullptr));
  SoapPointerMap::Unregister(nullptr, "DimeDataSource");
  SoapPointerMap::ClearOf(nullptr);

  TestContext soap;
  EXPECT_EQ(nullptr, SoapPointerMap::Of(soap));
  SoapPointerMap::Register(soap, "DimeDataSource", &object);
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(soap, "DimeDataSource"));
  EXPECT_EQ(nullptr, soap.get()->user);
}

TEST(SoapPointerMapTest, EachContextSeesOnlyItsOwnMap) {
  TestContext scan, cancel;
  SoapPointerMap scanMap, cancelMap;
  SoapPointerMap::Attach(scan, &scanMap);
  SoapPointerMap::Attach(cancel, &cancelMap);
  int protocol = 0, twin = 0;
  SoapPointerMap::Register(scan, "NetworkProtocol", &protocol);
  SoapPointerMap::Register(cancel, "NetworkProtocol", &twin);
  EXPECT_EQ(&protocol, SoapPointerMap::Lookup(scan, "NetworkProtocol"));
  EXPECT_EQ(&twin, SoapPointerMap::Lookup(cancel, "NetworkProtocol"));
  SoapPointerMap::Attach(cancel, nullptr);
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(cancel, "NetworkProtocol"));
  EXPECT_EQ(&twin, cancelMap.Get("NetworkProtocol")) << "detaching does not empty the map";
}

}  // namespace
