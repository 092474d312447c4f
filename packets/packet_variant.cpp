#include "packets/packet_variant.h"

#include "common/error.h"

namespace orvala::packets {

namespace {

template <typename Packet>
Packet FromVariant(const Variant& packet, Packet (*decode)(std::span<const uint8_t>)) {
  const auto bytes = PacketBytes(packet);
  return bytes ? decode(*bytes) : Packet{};
}

}  // namespace

std::optional<std::span<const uint8_t>> PacketBytes(const Variant& packet) {
  if (packet.is_null()) return std::nullopt;
  if (packet.type() != VarType::ByteArray || packet.bytes().size() < kMinPacketSize) {
    throw Error("Invalid data packet");
  }
  return std::span<const uint8_t>(packet.bytes());
}

Variant ToVariant(const DataPacket& packet, Encoding encoding) {
  return Variant::Bytes(Encode(packet, encoding));
}

Variant ToVariant(const DeltaPacket& packet, Encoding encoding) {
  return Variant::Bytes(Encode(packet, encoding));
}

Variant ToVariant(const ErrorPacket& packet, Encoding encoding) {
  return packet.rows.empty() ? Variant::Null() : Variant::Bytes(Encode(packet, encoding));
}

Variant ToVariant(const ParamPacket& packet, Encoding encoding) {
  return packet.params.empty() ? Variant::Null() : Variant::Bytes(Encode(packet, encoding));
}

DataPacket DataPacketFromVariant(const Variant& packet) {
  return FromVariant(packet, DecodeDataPacket);
}
DeltaPacket DeltaPacketFromVariant(const Variant& packet) {
  return FromVariant(packet, DecodeDeltaPacket);
}
ErrorPacket ErrorPacketFromVariant(const Variant& packet) {
  return FromVariant(packet, DecodeErrorPacket);
}
ParamPacket ParamPacketFromVariant(const Variant& packet) {
  return FromVariant(packet, DecodeParamPacket);
}

}  // namespace orvala::packets
