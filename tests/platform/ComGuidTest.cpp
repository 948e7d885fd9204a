// GUIDs in registry form.
#include <gtest/gtest.h>

#include <map>

#include "platform/ComGuid.h"

namespace {

const GUID kDriverClass = {0x1422B44C, 0xCBF9, 0x440D, {0xA2, 0x86, 0x44, 0xAD, 0x4F, 0x87, 0xBF, 0x5F}};

TEST(ComGuidTest, FormatsInRegistryForm) {
  EXPECT_EQ(GuidToString(kDriverClass), "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}");
  EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  const GUID ff = {0xFFFFFFFF, 0xFFFF, 0x0001, {0, 1, 2, 3, 0xFA, 0xFB, 0xFC, 0xFD}};
  EXPECT_EQ(GuidToString(ff), "{FFFFFFFF-FFFF-0001-0001-0203FAFBFCFD}");
}

TEST(ComGuidTest, ParsesEitherCaseAndRoundTrips) {
  GUID g = {};
  ASSERT_TRUE(GuidFromString("{1422b44c-cbf9-440d-a286-44ad4f87bf5f}", &g));
  EXPECT_EQ(g, kDriverClass);
  ASSERT_TRUE(GuidFromString("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", &g));
  EXPECT_EQ(g.Data1, 0x6BDD1FC6u);
  EXPECT_EQ(g.Data2, 0x810F);
  EXPECT_EQ(g.Data3, 0x11D0);
  EXPECT_EQ(g.Data4[0], 0xBE);
  EXPECT_EQ(g.Data4[7], 0x2F);
  EXPECT_EQ(GuidToString(g), "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
}

TEST(ComGuidTest, RefusesMalformedTextAndLeavesTheGuidAlone) {
  const char* bad[] = {
      "",
      "1422B44C-CBF9-440D-A286-44AD4F87BF5F",      // no braces
      "{1422B44C-CBF9-440D-A286-44AD4F87BF5F",     // no closing brace
      "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}x",   // trailing text
      "{1422B44CCCBF9-440D-A286-44AD4F87BF5F}",    // hyphen misplaced
      "{1422B44C-CBF9-440D-A28644AD4F87BF5F0}",    // last hyphen missing
      "{1422B44G-CBF9-440D-A286-44AD4F87BF5F}",    // non-hex digit
      "{1422B44C-CBF9-440D-A286-44AD4F87BF5 }",    // blank
      "(1422B44C-CBF9-440D-A286-44AD4F87BF5F)",
      "{+422B44C-CBF9-440D-A286-44AD4F87BF5F}",
  };
  for (const char* text : bad) {
    GUID g = kDriverClass;
    EXPECT_FALSE(GuidFromString(text, &g)) << text;
    EXPECT_EQ(g, kDriverClass) << text;
  }
  EXPECT_FALSE(GuidFromString("{1422B44C-CBF9-440D-A286-44AD4F87BF5F}", nullptr));
}

TEST(ComGuidTest, OrdersGuidsForMaps) {
  std::map<GUID, int, GuidLess> m;
  m[kDriverClass] = 1;
  m[IID_IUnknown] = 2;
  m[IID_IClassFactory] = 3;
  m[kDriverClass] = 4;
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m[kDriverClass], 4);
  EXPECT_EQ(m[IID_IClassFactory], 3);
  GuidLess less;
  EXPECT_FALSE(less(kDriverClass, kDriverClass));
  EXPECT_NE(less(IID_IUnknown, IID_IClassFactory), less(IID_IClassFactory, IID_IUnknown));
}

}  // namespace
