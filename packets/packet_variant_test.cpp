#include "packets/packet_variant.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "packets/packet_samples.h"
#include "packets/refusal_test_util.h"

namespace orvala::packets {
namespace {

using namespace samples;
using test::Refusal;

TEST(PacketBytes, PassesOnlyNullAndByteArraysAbove21Bytes) {
  const struct {
    const char* name;
    Variant packet;
    bool passes;
  } cases[] = {
      {"null", Variant::Null(), true},
      {"empty", Variant(), false},
      {"integer", Variant::I4(22), false},
      {"string", Variant::BStr(u"0123456789012345678901234"), false},
      {"array of bytes as variants", Variant::Array(VariantArray(30, Variant::I2(1))), false},
      {"no bytes", Variant::Bytes({}), false},
      {"21 bytes (upper bound 20)", Variant::Bytes(ByteArray(21, 0)), false},
      {"22 bytes (upper bound 21)", Variant::Bytes(ByteArray(22, 0)), true},
  };
  for (const auto& c : cases) {
    if (!c.passes) {
      try {
        PacketBytes(c.packet);
        ADD_FAILURE() << c.name << " passed the gate";
      } catch (const Error& e) {
        EXPECT_STREQ(e.message(), "Invalid data packet") << c.name;
      }
      continue;
    }
    const auto bytes = PacketBytes(c.packet);
    EXPECT_EQ(bytes.has_value(), !c.packet.is_null()) << c.name;
    if (bytes) {
      EXPECT_EQ(bytes->data(), c.packet.bytes().data()) << c.name;  // not copied
    }
  }
}

TEST(PacketVariant, EmptyErrorAndParameterPacketsTravelAsNull) {
  for (Encoding e : {Encoding::Binary, Encoding::Xml}) {
    EXPECT_TRUE(ToVariant(ErrorPacket{}, e).is_null());
    EXPECT_TRUE(ToVariant(ParamPacket{}, e).is_null());
    EXPECT_EQ(ErrorPacketFromVariant(Variant::Null()), ErrorPacket{});
    EXPECT_EQ(ParamPacketFromVariant(Variant::Null()), ParamPacket{});
  }
}

TEST(PacketVariant, PacketsRoundTripThroughVariants) {
  for (Encoding e : {Encoding::Binary, Encoding::Xml, Encoding::XmlUtf8}) {
    EXPECT_EQ(DataPacketFromVariant(ToVariant(Data(), e)), Data());
    EXPECT_EQ(DeltaPacketFromVariant(ToVariant(Delta(), e)), Delta());
    EXPECT_EQ(ErrorPacketFromVariant(ToVariant(Errors(), e)), Errors());
    EXPECT_EQ(ParamPacketFromVariant(ToVariant(Params(), e)), Params());
  }
}

TEST(PacketVariant, TheGateComesBeforeTheDecoder) {
  // 21 bytes of a real packet are refused as an invalid packet, not as a
  // malformed one.
  ByteArray bytes = ToVariant(Data(), Encoding::Binary).bytes();
  bytes.resize(21);
  try {
    DataPacketFromVariant(Variant::Bytes(bytes));
    ADD_FAILURE() << "21 bytes decoded";
  } catch (const Error& e) {
    EXPECT_STREQ(e.message(), "Invalid data packet");
  }
  // Past the gate, the decoder judges the bytes.
  EXPECT_EQ(Refusal([] { DeltaPacketFromVariant(Variant::Bytes(ByteArray(40, 0xD9))); }),
            "Malformed packet: neither binary nor XML");
  EXPECT_EQ(Refusal([] { ParamPacketFromVariant(Variant()); }), "Invalid data packet");
}

}  // namespace
}  // namespace orvala::packets
