// The binary (CBOR) encoding of packets; docs/packets.md describes it.
// Reached through codec.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packets/packet.h"

namespace orvala::packets::binary {

// Every binary packet begins with these bytes: the self-described CBOR
// tag, so that the encoding is recognised from the first three.
bool LooksBinary(std::span<const uint8_t> bytes);

std::vector<uint8_t> Encode(const DataPacket& packet);
std::vector<uint8_t> Encode(const DeltaPacket& packet);
std::vector<uint8_t> Encode(const ErrorPacket& packet);
std::vector<uint8_t> Encode(const ParamPacket& packet);

DataPacket DecodeData(std::span<const uint8_t> bytes);
DeltaPacket DecodeDelta(std::span<const uint8_t> bytes);
ErrorPacket DecodeError(std::span<const uint8_t> bytes);
ParamPacket DecodeParams(std::span<const uint8_t> bytes);

}  // namespace orvala::packets::binary
