#include "common/variant.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/error.h"

namespace orvala {
namespace {

TEST(VariantTest, TypeTagsMatchTheHeldValue) {
  struct Case {
    Variant value;
    VarType type;
  };
  const Case cases[] = {
      {Variant(), VarType::Empty},
      {Variant::Null(), VarType::Null},
      {Variant::I2(7), VarType::I2},
      {Variant::I4(7), VarType::I4},
      {Variant::I8(7), VarType::I8},
      {Variant::R8(7.5), VarType::R8},
      {Variant::Bool(true), VarType::Bool},
      {Variant::Money({75000}), VarType::Currency},
      {Variant::Date(45000.5), VarType::Date},
      {Variant::BStr(u"x"), VarType::BStr},
      {Variant::Bytes({1, 2}), VarType::ByteArray},
      {Variant::Array({Variant::I4(1)}), VarType::VariantArray},
      {Variant::Strings({u"a"}), VarType::StringArray},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value.type(), c.type) << VarTypeName(c.type);
}

TEST(VariantTest, DateAndDoubleAreDistinct) {
  EXPECT_NE(Variant::Date(1.0), Variant::R8(1.0));
  EXPECT_THROW(Variant::R8(1.0).date(), Error);
}

TEST(VariantTest, WrongAccessorNamesBothTypes) {
  try {
    Variant::BStr(u"x").i4();
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.message(), "Variant of type BSTR is not of type I4");
  }
}

TEST(VariantTest, NumericConversions) {
  EXPECT_EQ(Variant().ToInt32(), 0);
  EXPECT_EQ(Variant::I2(-3).ToInt32(), -3);
  EXPECT_EQ(Variant::R8(42.0).ToInt32(), 42);
  EXPECT_EQ(Variant::Money({420000}).ToInt32(), 42);
  EXPECT_DOUBLE_EQ(Variant::Money({12345}).ToDouble(), 1.2345);
  EXPECT_THROW(Variant::R8(1.5).ToInt32(), Error);
  EXPECT_THROW(Variant::I8(std::numeric_limits<int64_t>::max()).ToInt32(), Error);
  EXPECT_THROW(Variant::R8(1e300).ToInt64(), Error);
  EXPECT_THROW(Variant::Null().ToInt32(), Error);
  EXPECT_THROW(Variant::BStr(u"1").ToDouble(), Error);
}

}  // namespace
}  // namespace orvala
