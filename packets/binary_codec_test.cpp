// Malformed binary packets: whatever the bytes, a decoder returns a packet
// or raises orvala::Error, and never reads, allocates or recurses beyond
// what the input justifies.
#include <gtest/gtest.h>

#include <functional>

#include "common/error.h"
#include "packets/cbor.h"
#include "packets/codec.h"
#include "packets/packet_samples.h"
#include "packets/packet_variant.h"
#include "packets/refusal_test_util.h"

namespace orvala::packets {
namespace {

using namespace samples;

using test::Decoder;
using test::Refusal;

struct Kind {
  const char* name;
  ByteArray valid;
  Decoder decode;
};

std::vector<Kind> Kinds() {
  return {
      {"data", Encode(Data(), Encoding::Binary), [](auto b) { DecodeDataPacket(b); }},
      {"delta", Encode(Delta(), Encoding::Binary), [](auto b) { DecodeDeltaPacket(b); }},
      {"error", Encode(Errors(), Encoding::Binary), [](auto b) { DecodeErrorPacket(b); }},
      {"params", Encode(Params(), Encoding::Binary), [](auto b) { DecodeParamPacket(b); }},
  };
}

// Runs a decoder on bytes that may or may not be a packet: an Error is a
// fine answer, anything else escaping is not.
bool DecodesOrRaisesError(const Decoder& decode, std::span<const uint8_t> bytes) {
  try {
    decode(bytes);
    return true;
  } catch (const Error&) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(BinaryPacket, EveryTruncationFails) {
  for (const Kind& kind : Kinds()) {
    for (size_t length = 0; length < kind.valid.size(); ++length) {
      EXPECT_THROW(kind.decode(std::span(kind.valid).first(length)), Error)
          << kind.name << " cut at " << length;
    }
  }
}

TEST(BinaryPacket, FlippedBytesNeverEscapeAsAnythingButError) {
  for (const Kind& kind : Kinds()) {
    for (size_t at = 0; at < kind.valid.size(); ++at) {
      for (uint8_t mask : {0x01, 0x02, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
        ByteArray bytes = kind.valid;
        bytes[at] ^= mask;
        EXPECT_TRUE(DecodesOrRaisesError(kind.decode, bytes))
            << kind.name << " byte " << at << " ^ " << int{mask};
      }
    }
  }
}

TEST(BinaryPacket, EveryEmptyPacketPassesTheSizeGate) {
  // The header alone makes any binary packet long enough for the gate,
  // even with the shortest name of a code page.
  DataPacket data;
  data.code_page = "L1";
  data.has_metadata = false;
  ErrorPacket errors;
  errors.code_page = "L1";
  ParamPacket params;
  params.code_page = "L1";
  DeltaPacket delta;
  delta.code_page = "L1";
  for (const ByteArray& bytes : {Encode(data, Encoding::Binary), Encode(errors, Encoding::Binary),
                                 Encode(params, Encoding::Binary), Encode(delta, Encoding::Binary)}) {
    EXPECT_GE(bytes.size(), kMinPacketSize);
    EXPECT_TRUE(PacketBytes(Variant::Bytes(bytes)).has_value());
  }
}

// Hand-built packets, written the way docs/packets.md describes them, for
// the faults that no encoder of ours would produce.
cbor::Writer Header(uint64_t kind, uint64_t items) {
  cbor::Writer w;
  w.Tag(cbor::kTagSelfDescribed);
  w.ArrayHeader(items);
  w.Text("ORVALA-PACKETS");
  w.Unsigned(1);
  w.Unsigned(kind);
  w.Text("WINDOWS-1252");
  return w;
}

void PlainField(cbor::Writer& w, const char* name, uint64_t type) {
  w.ArrayHeader(9);
  w.Bytes(std::string_view(name));
  w.Unsigned(type);
  w.Int(0), w.Int(0), w.Bool(false), w.Bytes(std::string_view()), w.Unsigned(3), w.Bool(false);
  w.ArrayHeader(0);
}

// A data packet with one Integer field "A" and the rows that `rows` writes.
ByteArray DataWithRows(const std::function<void(cbor::Writer&)>& rows) {
  cbor::Writer w = Header(1, 6);
  w.ArrayHeader(1);
  PlainField(w, "A", 2);
  rows(w);
  return w.Take();
}

ByteArray DeltaWithRows(const std::function<void(cbor::Writer&)>& rows) {
  cbor::Writer w = Header(2, 7);
  w.ArrayHeader(1);
  PlainField(w, "A", 2);
  rows(w);
  w.Null();
  return w.Take();
}

TEST(BinaryPacket, HandBuiltPacketMatchesTheEncoder) {
  // Guards the table below: its packets are broken only where they say.
  const ByteArray bytes = DataWithRows([](cbor::Writer& w) {
    w.ArrayHeader(1), w.ArrayHeader(1), w.Int(5);
  });
  DataPacket expected;
  expected.fields = {Plain("A", FieldType::Integer)};
  expected.rows = {Row{{int32_t{5}}, {}}};
  EXPECT_EQ(DecodeDataPacket(bytes), expected);
  EXPECT_EQ(Encode(expected, Encoding::Binary), bytes);
}

TEST(BinaryPacket, MalformedPacketsRaiseError) {
  auto nested_fields = [](int levels) {
    cbor::Writer w = Header(1, 6);
    for (int i = 0; i < levels; ++i) {
      w.ArrayHeader(1), w.ArrayHeader(9), w.Bytes(std::string_view("N")), w.Unsigned(0);
      w.Int(0), w.Int(0), w.Bool(false), w.Bytes(std::string_view()), w.Unsigned(3), w.Bool(false);
    }
    w.ArrayHeader(1);
    PlainField(w, "LEAF", 2);
    w.ArrayHeader(0);  // no rows
    return w.Take();
  };
  auto deep_rows_without_fields = [](int levels) {
    cbor::Writer w = Header(1, 6);
    w.Null();
    for (int i = 0; i < levels; ++i) w.ArrayHeader(1), w.ArrayHeader(1);  // rows, row
    w.ArrayHeader(0);
    return w.Take();
  };
  // Each case goes to the decoder of its own kind, which must refuse it
  // for the reason the case is named after.
  const Decoder data = [](auto b) { DecodeDataPacket(b); };
  const Decoder delta = [](auto b) { DecodeDeltaPacket(b); };
  const Decoder error = [](auto b) { DecodeErrorPacket(b); };
  const Decoder params = [](auto b) { DecodeParamPacket(b); };
  const struct {
    const char* name;
    const Decoder& decode;
    ByteArray bytes;
    std::string reason;
  } cases[] = {
      {"wrong magic", data, [] {
         cbor::Writer w;
         w.Tag(cbor::kTagSelfDescribed), w.ArrayHeader(6), w.Text("ORVALA-PACKETZ");
         w.Unsigned(1), w.Unsigned(1), w.Text("X"), w.Null(), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: not a packet"},
      {"unknown version", data, [] {
         cbor::Writer w;
         w.Tag(cbor::kTagSelfDescribed), w.ArrayHeader(6), w.Text("ORVALA-PACKETS");
         w.Unsigned(2), w.Unsigned(1), w.Text("X"), w.Null(), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: unknown packet version"},
      {"unknown code page", data, [] {
         cbor::Writer w;
         w.Tag(cbor::kTagSelfDescribed), w.ArrayHeader(6), w.Text("ORVALA-PACKETS");
         w.Unsigned(1), w.Unsigned(1), w.Text("NO-SUCH-CODE-PAGE"), w.Null(), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: Unknown code page: NO-SUCH-CODE-PAGE"},
      {"code page name with a stray character", data, [] {
         cbor::Writer w;
         w.Tag(cbor::kTagSelfDescribed), w.ArrayHeader(6), w.Text("ORVALA-PACKETS");
         w.Unsigned(1), w.Unsigned(1), w.Text("WINDOWS-12;2"), w.Null(), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: bad code page name"},
      {"code page name that iconv would tidy up", data, [] {
         cbor::Writer w;
         w.Tag(cbor::kTagSelfDescribed), w.ArrayHeader(6), w.Text("ORVALA-PACKETS");
         w.Unsigned(1), w.Unsigned(1), w.Text("WINDOWS-125\x11" "2"), w.Null(), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: bad code page name"},
      {"header with too few items", data, [] {
         cbor::Writer w = Header(1, 5);
         w.Null();
         return w.Take();
       }(),
       "Malformed packet: array of unexpected length"},
      {"trailing item", data, [] {
         cbor::Writer w = Header(1, 6);
         w.Null(), w.ArrayHeader(0), w.Null();
         return w.Take();
       }(),
       "Malformed packet: unexpected data after the end"},
      {"huge field count", data, [] {
         cbor::Writer w = Header(1, 6);
         w.ArrayHeader(0xFFFFFFFFFFull);
         return w.Take();
       }(),
       "Malformed packet: array count larger than the data"},
      {"huge row count", data, DataWithRows([](cbor::Writer& w) { w.ArrayHeader(1ull << 40); }),
       "Malformed packet: array count larger than the data"},
      {"huge string length", data, [] {
         ByteArray bytes = DataWithRows([](cbor::Writer& w) { w.ArrayHeader(1), w.ArrayHeader(1); });
         // A byte string head claiming 2^63 - 16 bytes, followed by three.
         bytes.insert(bytes.end(), {0x5B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3});
         return bytes;
       }(),
       "Malformed packet: byte string longer than the data"},
      {"row narrower than the fields", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(0);
       }),
       "Malformed packet: row width differs from the fields"},
      {"row wider than the fields", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(2), w.Int(1), w.Int(2);
       }),
       "Malformed packet: row width differs from the fields"},
      {"row that is not an array", data, DataWithRows([](cbor::Writer& w) { w.ArrayHeader(1), w.Int(1); }),
       "Malformed packet: unexpected item type"},
      {"nested table in a plain field", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.ArrayHeader(0);
       }),
       "Malformed packet: value expected"},
      {"map as a value", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.MapHeader(0);
       }),
       "Malformed packet: value expected"},
      {"text string as a value", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Text("A");
       }),
       "Malformed packet: value expected"},
      {"undefined in a data row", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Undefined();
       }),
       "Malformed packet: value expected"},
      {"plain integer beyond int32", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Int(int64_t{1} << 31);
       }),
       "Malformed packet: integer out of range"},
      {"int16 out of range", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Tag(cbor::kTagInt16), w.Int(40000);
       }),
       "Malformed packet: integer out of range"},
      {"timestamp past midnight", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Tag(cbor::kTagTimestamp), w.ArrayHeader(2);
         w.Int(1), w.Unsigned(kTimeUnitsPerDay);
       }),
       "Malformed packet: time of day out of range"},
      {"timestamp of three items", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Tag(cbor::kTagTimestamp), w.ArrayHeader(3);
         w.Int(1), w.Unsigned(1), w.Unsigned(1);
       }),
       "Malformed packet: array of unexpected length"},
      {"unknown tag on a value", data, DataWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(1), w.Tag(cbor::kTagCurrency), w.Int(1);
       }),
       "Malformed packet: unknown tag"},
      {"unknown field type", data, [] {
         cbor::Writer w = Header(1, 6);
         w.ArrayHeader(1);
         PlainField(w, "A", 10);
         w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: unknown field type"},
      {"nested fields beyond the limit", data, nested_fields(kMaxNestingDepth + 1),
       "Malformed packet: nested tables too deep"},
      {"nested rows beyond the limit", data, deep_rows_without_fields(kMaxNestingDepth + 1),
       "Malformed packet: nested tables too deep"},
      {"nested rows far beyond any stack", data, deep_rows_without_fields(200000),
       "Malformed packet: nested tables too deep"},
      {"slice rows of two widths", data, [] {
         cbor::Writer w = Header(1, 6);
         w.Null();
         w.ArrayHeader(2), w.ArrayHeader(1), w.Int(1), w.ArrayHeader(2), w.Int(1), w.Int(2);
         return w.Take();
       }(),
       "Malformed packet: row values: 2 where the fields ask for 1"},
      {"unknown update kind", delta, DeltaWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(4), w.Unsigned(4);
         w.ArrayHeader(0), w.ArrayHeader(0), w.ArrayHeader(0);
       }),
       "Malformed packet: unknown update kind"},
      {"old values of another width", delta, DeltaWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(4), w.Unsigned(1);
         w.ArrayHeader(2), w.Int(1), w.Int(2), w.ArrayHeader(0), w.ArrayHeader(0);
       }),
       "Malformed packet: old values differ from the fields"},
      {"nested delta without nested field", delta, DeltaWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(4), w.Unsigned(1);
         w.ArrayHeader(0), w.ArrayHeader(0), w.ArrayHeader(1), w.ArrayHeader(0);
       }),
       "Malformed packet: nested deltas differ from the fields"},
      {"delta row of three items", delta, DeltaWithRows([](cbor::Writer& w) {
         w.ArrayHeader(1), w.ArrayHeader(3), w.Unsigned(1), w.ArrayHeader(0), w.ArrayHeader(0);
       }),
       "Malformed packet: array of unexpected length"},
      {"error row with a text message", error, [] {
         cbor::Writer w = Header(3, 5);
         w.ArrayHeader(1), w.ArrayHeader(6), w.Int(1), w.Int(1), w.Text("m");
         w.Bytes(std::string_view()), w.Int(1), w.Int(0);
         return w.Take();
       }(),
       "Malformed packet: unexpected item type"},
      {"error row of seven items", error, [] {
         cbor::Writer w = Header(3, 5);
         w.ArrayHeader(1), w.ArrayHeader(7), w.Int(1), w.Int(1), w.Bytes(std::string_view("m"));
         w.Bytes(std::string_view()), w.Int(1), w.Int(0), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: error row of wrong size"},
      {"error row whose failed row has two rows", error, [] {
         cbor::Writer w = Header(3, 5);
         w.ArrayHeader(1), w.ArrayHeader(8), w.Int(1), w.Int(1), w.Bytes(std::string_view("m"));
         w.Bytes(std::string_view()), w.Int(1), w.Int(0), w.ArrayHeader(0);
         w.ArrayHeader(2), w.ArrayHeader(1);
         PlainField(w, "A", 2);
         w.ArrayHeader(2);
         for (int i = 0; i < 2; ++i) {
           w.ArrayHeader(4), w.Unsigned(3), w.ArrayHeader(1), w.Int(1), w.ArrayHeader(0);
           w.ArrayHeader(0);
         }
         return w.Take();
       }(),
       "Malformed packet: error row with several failed rows"},
      {"error row path beyond the nesting limit", error, [] {
         cbor::Writer w = Header(3, 5);
         w.ArrayHeader(1), w.ArrayHeader(8), w.Int(1), w.Int(1), w.Bytes(std::string_view("m"));
         w.Bytes(std::string_view()), w.Int(1), w.Int(0);
         w.ArrayHeader(kMaxNestingDepth + 1);
         for (int i = 0; i <= kMaxNestingDepth; ++i) {
           w.ArrayHeader(2), w.Int(1), w.Bytes(std::string_view("N"));
         }
         w.ArrayHeader(2), w.ArrayHeader(0), w.ArrayHeader(0);
         return w.Take();
       }(),
       "Malformed packet: nested tables too deep"},
      {"parameter with a negative scale", params, [] {
         cbor::Writer w = Header(4, 5);
         w.ArrayHeader(1), w.ArrayHeader(5), w.Bytes(std::string_view("P")), w.Int(1);
         w.Unsigned(3), w.Int(1), w.Int(-1);
         return w.Take();
       }(),
       "Malformed packet: parameter scale out of range"},
      {"parameter with a scale beyond NUMERIC's", params, [] {
         cbor::Writer w = Header(4, 5);
         w.ArrayHeader(1), w.ArrayHeader(5), w.Bytes(std::string_view("P")), w.Int(1);
         w.Unsigned(3), w.Int(1), w.Int(kMaxParamScale + 1);
         return w.Take();
       }(),
       "Malformed packet: parameter scale out of range"},
      {"parameter of six items", params, [] {
         cbor::Writer w = Header(4, 5);
         w.ArrayHeader(1), w.ArrayHeader(6), w.Bytes(std::string_view("P")), w.Int(1);
         w.Unsigned(3), w.Int(1), w.Int(2), w.Int(0);
         return w.Take();
       }(),
       "Malformed packet: parameter of wrong size"},
      {"parameter with undefined value", params, [] {
         cbor::Writer w = Header(4, 5);
         w.ArrayHeader(1), w.ArrayHeader(4), w.Bytes(std::string_view("P")), w.Undefined();
         w.Unsigned(2), w.Int(1);
         return w.Take();
       }(),
       "Malformed packet: value expected"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(c.decode, c.bytes), c.reason) << c.name;
  }
}

// Error rows written before they had a path and a failed row: six items,
// read as rows of the top level; such rows are still written so.
TEST(BinaryCodecTest, OldErrorRowsStayReadable) {
  cbor::Writer w = Header(3, 5);
  w.ArrayHeader(1), w.ArrayHeader(6), w.Int(4), w.Int(2), w.Bytes(std::string_view("m"));
  w.Bytes(std::string_view()), w.Int(1), w.Int(335544665);
  const ByteArray old = w.Take();
  const ErrorPacket packet = DecodeErrorPacket(old);
  ASSERT_EQ(packet.rows.size(), 1u);
  EXPECT_EQ(packet.rows[0].error_code, 335544665);
  EXPECT_TRUE(packet.rows[0].path.empty());
  EXPECT_FALSE(packet.rows[0].row.has_value());
  EXPECT_EQ(Encode(packet, Encoding::Binary), old);
}

}  // namespace
}  // namespace orvala::packets
