// Packets to bytes and back, in the binary (CBOR) encoding or in XML.
// docs/packets.md defines both encodings for clients in other languages.
//
// Decoders read untrusted bytes: they look only at the span they are
// given, and any malformed input (truncated, wrong types, inconsistent row
// widths, nesting too deep, counts the input cannot hold) fails with an
// orvala::Error. The functions keep no state and may run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/variant.h"
#include "packets/binary_codec.h"
#include "packets/packet.h"

namespace orvala::packets {

enum class Encoding {
  Binary,   // CBOR
  Xml,      // XML declaring the packet's code page, strings as their bytes
  XmlUtf8,  // XML in UTF-8, strings converted from the packet's code page
};

// The encoding that the options of a fetch ask for: bit 4 XML, bit 8 XML
// in UTF-8 (bit 8 wins when both are set), binary otherwise.
Encoding EncodingForOptions(int32_t options);

ByteArray Encode(const DataPacket& packet, Encoding encoding);
ByteArray Encode(const DeltaPacket& packet, Encoding encoding);
ByteArray Encode(const ErrorPacket& packet, Encoding encoding);
ByteArray Encode(const ParamPacket& packet, Encoding encoding);

// A data packet written row by row, for a fetch: the bytes are those that
// Encode gives for the packet of the same rows. Binary rows are encoded as
// they come, so the fetch never holds its rows as values; XML rows are kept
// until Finish. A row that does not fit the fields fails as in Encode: at
// Add when binary, at Finish when XML. A single-threaded object.
class DataPacketWriter {
 public:
  // The code page, field descriptions and has_metadata of `header`; its
  // rows are ignored.
  DataPacketWriter(Encoding encoding, DataPacket header);
  DataPacketWriter(const DataPacketWriter&) = delete;
  DataPacketWriter& operator=(const DataPacketWriter&) = delete;

  void Add(const std::vector<Value>& values, std::vector<std::vector<Row>>&& details);
  ByteArray Finish();

 private:
  Encoding encoding_;
  DataPacket packet_;
  std::optional<binary::DataWriter> binary_;  // over packet_'s fields
};

// The encoding is recognised from the bytes.
DataPacket DecodeDataPacket(std::span<const uint8_t> bytes);
DeltaPacket DecodeDeltaPacket(std::span<const uint8_t> bytes);
ErrorPacket DecodeErrorPacket(std::span<const uint8_t> bytes);
ParamPacket DecodeParamPacket(std::span<const uint8_t> bytes);

// Nested tables deeper than this are refused by encoder and decoders alike.
inline constexpr int kMaxNestingDepth = 16;

}  // namespace orvala::packets
