// Packets as the remote interface carries them: inside automation variants.
//
// A packet arrives as a byte array or as null. Every packet handed to the
// server passes PacketBytes first, so that nothing short, mistyped or
// empty-but-not-null reaches a decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/variant.h"
#include "packets/codec.h"
#include "packets/packet.h"

namespace orvala::packets {

// Null gives nullopt; a byte array of at least 22 bytes (an upper bound
// above 20) gives its bytes; anything else, Empty included, fails with
// "Invalid data packet". Callers to whom Empty means "not passed" (the
// Params of a fetch) test for Empty before calling.
std::optional<std::span<const uint8_t>> PacketBytes(const Variant& packet);

// The smallest packet that passes the gate. Every binary and XML packet
// is at least this long.
inline constexpr size_t kMinPacketSize = 22;

Variant ToVariant(const DataPacket& packet, Encoding encoding);
Variant ToVariant(const DeltaPacket& packet, Encoding encoding);
// Null when no row failed.
Variant ToVariant(const ErrorPacket& packet, Encoding encoding);
// Null for an empty parameter list.
Variant ToVariant(const ParamPacket& packet, Encoding encoding);

// Each passes the gate first; a null packet decodes as the empty packet of
// its kind (no rows, no parameters).
DataPacket DataPacketFromVariant(const Variant& packet);
DeltaPacket DeltaPacketFromVariant(const Variant& packet);
ErrorPacket ErrorPacketFromVariant(const Variant& packet);
ParamPacket ParamPacketFromVariant(const Variant& packet);

}  // namespace orvala::packets
