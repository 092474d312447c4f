// The XML encoding of packets, in the code page of the packet or in UTF-8;
// docs/packets.md describes it. Reached through codec.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packets/packet.h"

namespace orvala::packets::xml {

// The first character after an optional byte-order mark and blanks is '<'.
bool LooksXml(std::span<const uint8_t> bytes);

// utf8: the document is UTF-8; otherwise it is written in the packet's
// code page and declares it. The strings read back the same either way.
std::vector<uint8_t> Encode(const DataPacket& packet, bool utf8);
std::vector<uint8_t> Encode(const DeltaPacket& packet, bool utf8);
std::vector<uint8_t> Encode(const ErrorPacket& packet, bool utf8);
std::vector<uint8_t> Encode(const ParamPacket& packet, bool utf8);

DataPacket DecodeData(std::span<const uint8_t> bytes);
DeltaPacket DecodeDelta(std::span<const uint8_t> bytes);
ErrorPacket DecodeError(std::span<const uint8_t> bytes);
ParamPacket DecodeParams(std::span<const uint8_t> bytes);

}  // namespace orvala::packets::xml
