// Every kind of packet survives every encoding exactly.
#include "packets/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/error.h"
#include "common/hex.h"
#include "packets/packet_samples.h"
#include "packets/refusal_test_util.h"

namespace orvala::packets {
namespace {

using namespace samples;
using test::Refusal;

class RoundTrip : public ::testing::TestWithParam<Encoding> {};

INSTANTIATE_TEST_SUITE_P(Encodings, RoundTrip,
                         ::testing::Values(Encoding::Binary, Encoding::Xml, Encoding::XmlUtf8),
                         [](const auto& param_info) {
                           switch (param_info.param) {
                             case Encoding::Binary: return "Binary";
                             case Encoding::Xml: return "Xml";
                             case Encoding::XmlUtf8: return "XmlUtf8";
                           }
                           return "Unknown";
                         });

TEST_P(RoundTrip, DataPacketWithNestedTables) {
  const DataPacket packet = Data();
  const DataPacket back = DecodeDataPacket(Encode(packet, GetParam()));
  EXPECT_EQ(back, packet);
  // -0.0 == 0.0, so the sign needs its own look.
  EXPECT_TRUE(std::signbit(std::get<double>(back.rows[0].details[0][1].values[1])));
}

TEST_P(RoundTrip, ContinuationSliceWithoutFields) {
  DataPacket packet = Data();
  packet.has_metadata = false;
  packet.fields.clear();
  // Without fields the plain values lead each row.
  EXPECT_EQ(DecodeDataPacket(Encode(packet, GetParam())), packet);
}

TEST_P(RoundTrip, EmptyPackets) {
  for (const DataPacket& packet : {DataPacket{}, DataPacket{"ISO-8859-15", false, {}, {}}}) {
    EXPECT_EQ(DecodeDataPacket(Encode(packet, GetParam())), packet);
  }
  EXPECT_EQ(DecodeDeltaPacket(Encode(DeltaPacket{}, GetParam())), DeltaPacket{});
  EXPECT_EQ(DecodeErrorPacket(Encode(ErrorPacket{}, GetParam())), ErrorPacket{});
  EXPECT_EQ(DecodeParamPacket(Encode(ParamPacket{}, GetParam())), ParamPacket{});
}

TEST_P(RoundTrip, DeltaPacketKeepsNotChangedApartFromNull) {
  const DeltaPacket packet = Delta();
  const DeltaPacket back = DecodeDeltaPacket(Encode(packet, GetParam()));
  EXPECT_EQ(back, packet);
  const DeltaRow& modify = back.rows[0];
  EXPECT_FALSE(modify.new_values[0].has_value());           // not changed
  ASSERT_TRUE(modify.new_values[1].has_value());            // set to null
  EXPECT_TRUE(IsNull(*modify.new_values[1]));
  EXPECT_EQ(modify.details[0][0].kind, UpdateKind::Insert);  // nested delta
  EXPECT_EQ(back.rows[1].kind, UpdateKind::Unmodified);
}

TEST_P(RoundTrip, DeltaWithoutTableName) {
  DeltaPacket packet = Delta();
  packet.table_name.reset();
  EXPECT_EQ(DecodeDeltaPacket(Encode(packet, GetParam())), packet);
  packet.table_name = "";  // present but empty is not absent
  EXPECT_EQ(DecodeDeltaPacket(Encode(packet, GetParam())), packet);
}

TEST_P(RoundTrip, ErrorAndParamPackets) {
  EXPECT_EQ(DecodeErrorPacket(Encode(Errors(), GetParam())), Errors());
  EXPECT_EQ(DecodeParamPacket(Encode(Params(), GetParam())), Params());
}

TEST_P(RoundTrip, EveryValueOfEveryType) {
  const double kDoubles[] = {0.1 + 0.2,
                             -0.0,
                             0.0,
                             1.0 / 3,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(),
                             std::bit_cast<double>(uint64_t{0x7FF0000000000123}),  // signalling
                             std::bit_cast<double>(uint64_t{0x7FF8DEADBEEF0001})};
  std::vector<Value> values = {Value{},
                               int16_t{INT16_MIN},
                               int16_t{INT16_MAX},
                               int32_t{INT32_MIN},
                               int32_t{0},
                               int64_t{INT64_MIN},
                               int64_t{INT64_MAX},
                               Timestamp{0, 0},
                               Timestamp{60000, kTimeUnitsPerDay - 1},  // fraction .9999
                               Timestamp{-678575, 1},                   // 0001-01-01
                               Timestamp{INT32_MIN, 5},                 // far beyond year 1
                               Timestamp{INT32_MAX, 0},
                               true,
                               false,
                               ""s,
                               kAwkward,
                               kAccented,
                               std::string("\0", 1),
                               std::string(" \t\n ")};
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  values.push_back(all_bytes);
  for (double d : kDoubles) values.push_back(d);

  // One row per value, in a field of no type so that each value carries its own.
  DataPacket packet;
  packet.fields = {Plain("V", FieldType::Unknown)};
  for (const Value& v : values) packet.rows.push_back(Row{{v}, {}});
  const DataPacket back = DecodeDataPacket(Encode(packet, GetParam()));
  ASSERT_EQ(back.rows.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const Value& got = back.rows[i].values.at(0);
    ASSERT_EQ(got.index(), values[i].index()) << "value " << i;
    if (const double* d = std::get_if<double>(&values[i])) {
      EXPECT_EQ(Bits(std::get<double>(got)), Bits(*d)) << "double " << i;
    } else {
      EXPECT_EQ(got, values[i]) << "value " << i;
    }
  }
}

TEST_P(RoundTrip, OtherCodePages) {
  // ISO-8859-5 (Cyrillic) moves most high bytes to other characters; CP437
  // even gives the control bytes glyphs; IBM037 (EBCDIC) moves ASCII too.
  for (const char* code_page : {"ISO-8859-5", "CP437", "ISO-8859-1", "IBM037"}) {
    DataPacket packet = Data();
    packet.code_page = code_page;
    EXPECT_EQ(DecodeDataPacket(Encode(packet, GetParam())), packet) << code_page;
  }
}

TEST_P(RoundTrip, LargePacket) {
  DataPacket packet;
  for (int c = 0; c < 20; ++c) packet.fields.push_back(Plain("C" + std::to_string(c), FieldType::Integer));
  for (int r = 0; r < 2000; ++r) {
    Row row;
    for (int c = 0; c < 20; ++c) row.values.emplace_back(std::in_place_type<int32_t>, r * c - 5000);
    packet.rows.push_back(std::move(row));
  }
  EXPECT_EQ(DecodeDataPacket(Encode(packet, GetParam())), packet);
}

TEST_P(RoundTrip, DeepestNestingAllowedPassesAndDeeperFails) {
  auto nested = [](int levels) {
    DataPacket packet;
    std::vector<Field> fields = {Plain("LEAF", FieldType::Integer)};
    std::vector<Row> rows = {Row{{int32_t{1}}, {}}};
    for (int i = 0; i < levels; ++i) {
      Field f;
      f.name = "N" + std::to_string(i);
      f.children = fields;
      fields = {f};
      rows = {Row{{}, {rows}}};
    }
    packet.fields = fields;
    packet.rows = rows;
    return packet;
  };
  const DataPacket deepest = nested(kMaxNestingDepth);
  EXPECT_EQ(DecodeDataPacket(Encode(deepest, GetParam())), deepest);
  EXPECT_THROW(Encode(nested(kMaxNestingDepth + 1), GetParam()), Error);
}

TEST_P(RoundTrip, EncoderRefusesRowsThatDoNotFitTheFields) {
  struct Case {
    const char* name;
    DataPacket packet;
    std::string reason;
  };
  std::vector<Case> data_cases;
  DataPacket p = Data();
  p.rows[0].values.pop_back();
  data_cases.push_back({"too few values", p, "Malformed packet: row values: 4 where the fields ask for 5"});
  p = Data();
  p.rows[1].details.clear();
  data_cases.push_back({"missing details", p, "Malformed packet: row details: 0 where the fields ask for 1"});
  p = Data();
  p.rows[0].details[0][0].values.push_back(int32_t{1});
  data_cases.push_back({"detail row too wide", p, "Malformed packet: row values: 4 where the fields ask for 3"});
  p = Data();
  p.has_metadata = false;
  p.rows[2].values.push_back(int32_t{1});
  data_cases.push_back({"slice rows of two widths", p, "Malformed packet: row values: 6 where the fields ask for 5"});
  p = Data();
  p.rows[0].values[2] = Timestamp{1, kTimeUnitsPerDay};
  data_cases.push_back({"time of day past midnight", p, "Malformed packet: time of day out of range"});
  for (const Case& c : data_cases) {
    EXPECT_EQ(Refusal([&] { Encode(c.packet, GetParam()); }), c.reason) << c.name;
  }

  p = Data();
  p.code_page = "NO-SUCH-CODE-PAGE";
  EXPECT_EQ(Refusal([&] { Encode(p, GetParam()); }),
            "Malformed packet: Unknown code page: NO-SUCH-CODE-PAGE");

  DeltaPacket d = Delta();
  d.rows[0].new_values.pop_back();
  EXPECT_EQ(Refusal([&] { Encode(d, GetParam()); }),
            "Malformed packet: new values: 4 where the fields ask for 5");
  d = Delta();
  d.rows[0].kind = static_cast<UpdateKind>(9);
  EXPECT_EQ(Refusal([&] { Encode(d, GetParam()); }), "Malformed packet: unknown update kind");
}

// The binary bytes of the sample packets, as the encoder wrote them before
// rows could be written one at a time: the packets must stay byte for byte.
TEST(BinaryBytes, SamplePacketsKeepTheirBytes) {
  DataPacket slice = Data();
  slice.has_metadata = false;
  slice.fields.clear();
  const std::pair<DataPacket, const char*> cases[] = {
      {Data(),
      "d9d9f7866e4f5256414c412d5041434b45545301016c57494e444f57532d31323532868942494402"
      "0000f54b444f435f484541442e494407f4808945546f74616c030002f44003f48089445748454e05"
      "0000f44003f5808944464c4147090000f44008f480894a714c696e657334373131000000f44003f4"
      "8389474c494e455f4e4f010000f44003f4808946414d4f554e54040000f44003f48089444e4f5445"
      "06182800f44003f48089444d454d4f070000f44d444f435f484541442e4d454d4f03f480838601d9"
      "4f011b00007048860ddf79d94f028219ea601a00bc614ef58283d94f0001fb3fd333333333333441"
      "7883d94f0002fb8000000000000000f64963616666e8208020a38621f6f6f4804f6100628081ff0d"
      "0a01203c263e222786d94f0007fb3ff80000000000004474657874d94f01208183d94f0003fb7fe1"
      "ccf385ebc8a042202040"},
      {slice,
      "d9d9f7866e4f5256414c412d5041434b45545301016c57494e444f57532d31323532f6838601d94f"
      "011b00007048860ddf79d94f028219ea601a00bc614ef54963616666e8208020a38283d94f0001fb"
      "3fd3333333333334417883d94f0002fb8000000000000000f68621f6f6f44f6100628081ff0d0a01"
      "203c263e22278086d94f0007fb3ff80000000000004474657874d94f0120408183d94f0003fb7fe1"
      "ccf385ebc8a0422020"},
  };
  for (const auto& [packet, hex] : cases) {
    const ByteArray bytes = Encode(packet, Encoding::Binary);
    EXPECT_EQ(ToHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())),
              hex);
  }
}

// Rows written one at a time, with the count known only at the end, give
// the bytes of the whole packet; the count's head grows with the rows.
TEST_P(RoundTrip, RowByRowWriterGivesThePacketsBytes) {
  DataPacket slice = Data();
  slice.has_metadata = false;
  slice.fields.clear();
  DataPacket many = Data();
  for (size_t n : {size_t{23}, size_t{24}, size_t{256}, size_t{65536}}) {
    if (n == 65536 && GetParam() != Encoding::Binary) break;  // XML rows are kept, not streamed
    while (many.rows.size() < n) many.rows.push_back(many.rows[many.rows.size() % 2]);
    DataPacket copy = many;
    for (const DataPacket& packet : {Data(), slice, DataPacket{}, copy}) {
      DataPacketWriter writer(GetParam(), packet);
      for (const Row& row : packet.rows) writer.Add(row.values, std::vector(row.details));
      EXPECT_EQ(writer.Finish(), Encode(packet, GetParam())) << packet.rows.size() << " rows";
    }
  }
  // A row that does not fit is refused as Encode refuses it (XML at the end).
  DataPacketWriter writer(GetParam(), Data());
  EXPECT_THROW(
      {
        writer.Add({int32_t{1}}, {});
        writer.Finish();
      },
      Error);
}

TEST(EncodingForOptions, FollowsTheXmlBits) {
  const struct {
    int32_t options;
    Encoding expected;
  } cases[] = {
      {0, Encoding::Binary},  {1, Encoding::Binary},     {2 | 1, Encoding::Binary},
      {4, Encoding::Xml},     {4 | 1, Encoding::Xml},    {8, Encoding::XmlUtf8},
      {8 | 4, Encoding::XmlUtf8}, {-1, Encoding::XmlUtf8}, {16, Encoding::Binary},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodingForOptions(c.options), c.expected) << c.options;
}

TEST(Decode, RefusesBytesOfNeitherEncoding) {
  const std::string text = "this is not a packet at all, not even close";
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(Refusal([&] { DecodeDataPacket(bytes); }), "Malformed packet: neither binary nor XML");
  EXPECT_EQ(Refusal([] { DecodeDeltaPacket(std::span<const uint8_t>()); }),
            "Malformed packet: neither binary nor XML");
}

TEST(Decode, RefusesAPacketOfAnotherKind) {
  for (Encoding e : {Encoding::Binary, Encoding::Xml, Encoding::XmlUtf8}) {
    // The XML decoders name the kind they expected.
    const auto another_kind = [e](const std::string& expected) {
      return e == Encoding::Binary ? std::string("Malformed packet: packet of another kind")
                                   : "Malformed packet: not a " + expected + " packet";
    };
    const ByteArray data = Encode(Data(), e);
    EXPECT_EQ(Refusal([&] { DecodeDeltaPacket(data); }), another_kind("delta"));
    EXPECT_EQ(Refusal([&] { DecodeErrorPacket(data); }), another_kind("error"));
    EXPECT_EQ(Refusal([&] { DecodeParamPacket(data); }), another_kind("params"));
    const ByteArray errors = Encode(Errors(), e);
    EXPECT_EQ(Refusal([&] { DecodeDataPacket(errors); }), another_kind("data"));
    // Error and parameter packets have the same count of items.
    EXPECT_EQ(Refusal([&] { DecodeParamPacket(errors); }), another_kind("params"));
  }
}

}  // namespace
}  // namespace orvala::packets
