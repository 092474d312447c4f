#include "packets/cbor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "common/error.h"
#include "packets/refusal_test_util.h"

namespace orvala::cbor {
namespace {

using test::Refusal;

std::vector<uint8_t> Hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Examples from RFC 8949 appendix A, so that other CBOR libraries read what
// this writer writes.
TEST(CborWriter, WritesTheStandardEncodings) {
  const struct {
    std::function<void(Writer&)> write;
    const char* hex;
  } cases[] = {
      {[](Writer& w) { w.Unsigned(0); }, "00"},
      {[](Writer& w) { w.Unsigned(23); }, "17"},
      {[](Writer& w) { w.Unsigned(24); }, "1818"},
      {[](Writer& w) { w.Unsigned(1000); }, "1903e8"},
      {[](Writer& w) { w.Unsigned(1000000); }, "1a000f4240"},
      {[](Writer& w) { w.Unsigned(1000000000000); }, "1b000000e8d4a51000"},
      {[](Writer& w) { w.Int(-1); }, "20"},
      {[](Writer& w) { w.Int(-1000); }, "3903e7"},
      {[](Writer& w) { w.Int(INT64_MIN); }, "3b7fffffffffffffff"},
      {[](Writer& w) { w.Double(1.1); }, "fb3ff199999999999a"},
      {[](Writer& w) { w.Double(-0.0); }, "fb8000000000000000"},
      {[](Writer& w) { w.Bool(false); }, "f4"},
      {[](Writer& w) { w.Null(); }, "f6"},
      {[](Writer& w) { w.Undefined(); }, "f7"},
      {[](Writer& w) { w.Bytes(std::string_view("\x01\x02\x03\x04", 4)); }, "4401020304"},
      {[](Writer& w) { w.Text("IETF"); }, "6449455446"},
      {[](Writer& w) { w.ArrayHeader(2), w.Unsigned(1), w.Unsigned(2); }, "820102"},
      {[](Writer& w) { w.Tag(kTagSelfDescribed), w.Null(); }, "d9d9f7f6"},
  };
  for (const auto& c : cases) {
    Writer w;
    c.write(w);
    EXPECT_EQ(w.Take(), Hex(c.hex)) << c.hex;
  }
}

TEST(CborReader, ReadsWhatOtherWritersProduce) {
  // Non-shortest heads and narrow floats are valid CBOR from other writers.
  const auto bytes = Hex("1800" "190017" "3903e7" "f93c00" "fa47c35000" "f97e00");
  Reader r(bytes);
  EXPECT_EQ(r.ReadUnsigned(), 0u);
  EXPECT_EQ(r.ReadInt(), 23);
  EXPECT_EQ(r.ReadInt(), -1000);
  EXPECT_EQ(r.ReadDouble(), 1.0);
  EXPECT_EQ(r.ReadDouble(), 100000.0);
  EXPECT_TRUE(std::isnan(r.ReadDouble()));
  r.ExpectEnd();
}

TEST(CborReader, RefusesMalformedInput) {
  const struct {
    const char* name;
    const char* hex;
    std::function<void(Reader&)> read;
    const char* reason;
  } cases[] = {
      {"empty input", "", [](Reader& r) { r.ReadUnsigned(); },
       "Malformed packet: unexpected end of data"},
      {"truncated argument", "1903", [](Reader& r) { r.ReadUnsigned(); },
       "Malformed packet: unexpected end of data"},
      {"truncated double", "fb3ff1999999", [](Reader& r) { r.ReadDouble(); },
       "Malformed packet: unexpected end of data"},
      {"wrong major type", "6449455446", [](Reader& r) { r.ReadBytes(); },
       "Malformed packet: unexpected item type"},
      {"byte string longer than data", "5affffffff00", [](Reader& r) { r.ReadBytes(); },
       "Malformed packet: byte string longer than the data"},
      {"text longer than data", "7b00000000000000ff41", [](Reader& r) { r.ReadText(); },
       "Malformed packet: text string longer than the data"},
      {"text not UTF-8", "62c328", [](Reader& r) { r.ReadText(); },
       "Malformed packet: text string is not UTF-8"},
      {"array count beyond data", "9b00000000ffffffff0102", [](Reader& r) { r.ReadArrayHeader(); },
       "Malformed packet: array count larger than the data"},
      {"map count beyond data", "a3010203", [](Reader& r) { r.ReadMapHeader(); },
       "Malformed packet: map count larger than the data"},
      {"indefinite array", "9f01ff", [](Reader& r) { r.ReadArrayHeader(); },
       "Malformed packet: indefinite length not supported"},
      {"indefinite bytes", "5f4101ff", [](Reader& r) { r.Skip(); },
       "Malformed packet: indefinite length not supported"},
      {"reserved head", "1c", [](Reader& r) { r.Skip(); }, "Malformed packet: reserved item head"},
      {"integer beyond int64", "1bffffffffffffffff", [](Reader& r) { r.ReadInt(); },
       "Malformed packet: integer out of range"},
      {"negative beyond int64", "3b8000000000000000", [](Reader& r) { r.ReadInt(); },
       "Malformed packet: integer out of range"},
      {"integer beyond int32", "1a80000000", [](Reader& r) { r.ReadInt32(); },
       "Malformed packet: integer out of range"},
      {"unexpected tag", "c074", [](Reader& r) { r.ExpectTag(kTagInt16); },
       "Malformed packet: unexpected tag"},
      {"trailing bytes", "0000", [](Reader& r) { r.ReadUnsigned(), r.ExpectEnd(); },
       "Malformed packet: unexpected data after the end"},
      {"array of other length", "820102", [](Reader& r) { r.ExpectArray(3); },
       "Malformed packet: array of unexpected length"},
      {"boolean expected", "f6", [](Reader& r) { r.ReadBool(); },
       "Malformed packet: boolean expected"},
      {"skip truncated array", "830102", [](Reader& r) { r.Skip(); },
       "Malformed packet: array count larger than the data"},
      {"skip array with a truncated item", "8301021903", [](Reader& r) { r.Skip(); },
       "Malformed packet: unexpected end of data"},
  };
  for (const auto& c : cases) {
    const auto read = [&](std::span<const uint8_t> bytes) {
      Reader r(bytes);
      c.read(r);
    };
    EXPECT_EQ(Refusal(read, Hex(c.hex)), c.reason) << c.name;
  }
}

TEST(CborReader, LimitsNesting) {
  const auto nested = [](int depth) {
    std::vector<uint8_t> bytes(static_cast<size_t>(depth), 0x81);  // [[[...]]]
    bytes.push_back(0x00);
    return bytes;
  };
  const auto ok = nested(Reader::kDefaultMaxDepth);
  Reader fits(ok);
  fits.Skip();
  EXPECT_TRUE(fits.at_end());
  const auto deep = nested(100000);
  const auto skip = [](std::span<const uint8_t> bytes) { Reader(bytes).Skip(); };
  EXPECT_EQ(Refusal(skip, deep), "Malformed packet: nesting too deep");
  const auto decode = [](std::span<const uint8_t> bytes) {
    Reader r(bytes);
    DecodeVariant(r);
  };
  EXPECT_EQ(Refusal(decode, deep), "Malformed packet: nesting too deep");
}

Variant RoundTrip(const Variant& v) {
  Writer w;
  EncodeVariant(w, v);
  const auto bytes = w.Take();
  Reader r(bytes);
  Variant back = DecodeVariant(r);
  r.ExpectEnd();
  return back;
}

TEST(CborVariant, EveryTypeRoundTrips) {
  const Variant cases[] = {
      Variant(),
      Variant::Null(),
      Variant::I2(-32768),
      Variant::I2(0),  // tagged, so it stays I2
      Variant::I4(INT32_MIN),
      Variant::I4(7),
      Variant::I8(5),  // small I8 stays I8
      Variant::I8(INT64_MIN),
      Variant::R8(0.1 + 0.2),
      Variant::Money(Currency{-1234567}),
      Variant::Date(45000.75),
      Variant::BStr(u""),
      Variant::BStr(u"caff\u00e8 \u20ac \U0001F600"),
      Variant::BStr(std::u16string(u"lone \xD800 surrogate")),
      Variant::BStr(std::u16string(u"nul\0inside", 10)),
      Variant::Bool(true),
      Variant::Bool(false),
      Variant::Bytes({}),
      Variant::Bytes({0, 0xFF, 0x80}),
      Variant::Array({}),
      Variant::Array({Variant::I4(1), Variant::Null(), Variant::Array({Variant::BStr(u"x")})}),
      Variant::Strings({}),
      Variant::Strings({u"a", u"", std::u16string(u"\xDC00")}),
  };
  for (const Variant& v : cases) {
    EXPECT_EQ(RoundTrip(v), v) << VarTypeName(v.type());
  }
  const Variant minus_zero = RoundTrip(Variant::R8(-0.0));
  EXPECT_TRUE(std::signbit(minus_zero.r8()));
  const double nan = std::bit_cast<double>(uint64_t{0x7FF8000000000BAD});
  EXPECT_EQ(std::bit_cast<uint64_t>(RoundTrip(Variant::R8(nan)).r8()), 0x7FF8000000000BADu);
}

TEST(CborVariant, PlainIntegersTakeTheNarrowestAutomationType) {
  const struct {
    const char* hex;
    Variant expected;
  } cases[] = {
      {"1a7fffffff", Variant::I4(INT32_MAX)},
      {"1a80000000", Variant::I8(int64_t{INT32_MAX} + 1)},
      {"3a80000000", Variant::I8(int64_t{INT32_MIN} - 1)},
      {"fa3fc00000", Variant::R8(1.5)},
  };
  for (const auto& c : cases) {
    const auto bytes = Hex(c.hex);
    Reader r(bytes);
    EXPECT_EQ(DecodeVariant(r), c.expected) << c.hex;
  }
}

TEST(CborVariant, RefusesWhatNoVariantHolds) {
  const struct {
    const char* hex;
    const char* reason;
  } cases[] = {
      {"a0", "Malformed packet: unexpected item type"},                // map
      {"f0", "Malformed packet: unexpected item type"},                // simple value 16
      {"c074", "Malformed packet: unknown tag"},                       // an unknown tag
      {"d94f001a00010000", "Malformed packet: integer out of range"},  // I2 out of range
      {"d94f064161", "Malformed packet: UTF-16 text of odd length"},   // one byte of UTF-16
      {"d94f0661", "Malformed packet: unexpected item type"},          // UTF-16 as a text string
      {"d94f05a0", "Malformed packet: unexpected item type"},          // string array as a map
      {"8301", "Malformed packet: array count larger than the data"},  // truncated array
      {"8301021903", "Malformed packet: unexpected end of data"},      // truncated item
  };
  const auto decode = [](std::span<const uint8_t> bytes) {
    Reader r(bytes);
    DecodeVariant(r);
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(decode, Hex(c.hex)), c.reason) << c.hex;
  }
}

}  // namespace
}  // namespace orvala::cbor
