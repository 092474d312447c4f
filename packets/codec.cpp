#include "packets/codec.h"

#include "common/error.h"
#include "packets/binary_codec.h"
#include "packets/xml_codec.h"

namespace orvala::packets {

namespace {

constexpr int32_t kOptionXml = 4;
constexpr int32_t kOptionXmlUtf8 = 8;

template <typename Packet>
ByteArray EncodeAny(const Packet& packet, Encoding encoding) {
  switch (encoding) {
    case Encoding::Binary: return binary::Encode(packet);
    case Encoding::Xml: return xml::Encode(packet, false);
    case Encoding::XmlUtf8: return xml::Encode(packet, true);
  }
  throw Error("Unknown packet encoding");
}

template <typename Packet>
Packet DecodeAny(std::span<const uint8_t> bytes, Packet (*from_binary)(std::span<const uint8_t>),
                 Packet (*from_xml)(std::span<const uint8_t>)) {
  if (binary::LooksBinary(bytes)) return from_binary(bytes);
  if (xml::LooksXml(bytes)) return from_xml(bytes);
  throw Error("Malformed packet: neither binary nor XML");
}

}  // namespace

Encoding EncodingForOptions(int32_t options) {
  if (options & kOptionXmlUtf8) return Encoding::XmlUtf8;
  if (options & kOptionXml) return Encoding::Xml;
  return Encoding::Binary;
}

DataPacketWriter::DataPacketWriter(Encoding encoding, DataPacket header)
    : encoding_(encoding), packet_(std::move(header)) {
  packet_.rows.clear();
  if (encoding_ == Encoding::Binary) {
    binary_.emplace(packet_.code_page, packet_.has_metadata ? &packet_.fields : nullptr);
  }
}

void DataPacketWriter::Add(const std::vector<Value>& values,
                           std::vector<std::vector<Row>>&& details) {
  if (binary_) {
    binary_->Add(values, details);
  } else {
    packet_.rows.push_back({values, std::move(details)});
  }
}

ByteArray DataPacketWriter::Finish() {
  return binary_ ? binary_->Finish() : EncodeAny(packet_, encoding_);
}

ByteArray Encode(const DataPacket& packet, Encoding encoding) { return EncodeAny(packet, encoding); }
ByteArray Encode(const DeltaPacket& packet, Encoding encoding) { return EncodeAny(packet, encoding); }
ByteArray Encode(const ErrorPacket& packet, Encoding encoding) { return EncodeAny(packet, encoding); }
ByteArray Encode(const ParamPacket& packet, Encoding encoding) { return EncodeAny(packet, encoding); }

DataPacket DecodeDataPacket(std::span<const uint8_t> bytes) {
  return DecodeAny(bytes, binary::DecodeData, xml::DecodeData);
}
DeltaPacket DecodeDeltaPacket(std::span<const uint8_t> bytes) {
  return DecodeAny(bytes, binary::DecodeDelta, xml::DecodeDelta);
}
ErrorPacket DecodeErrorPacket(std::span<const uint8_t> bytes) {
  return DecodeAny(bytes, binary::DecodeError, xml::DecodeError);
}
ParamPacket DecodeParamPacket(std::span<const uint8_t> bytes) {
  return DecodeAny(bytes, binary::DecodeParams, xml::DecodeParams);
}

}  // namespace orvala::packets
