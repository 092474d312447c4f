// libFuzzer target for the packet decoders: any input either decodes or
// raises orvala::Error, and whatever decodes survives every encoding and
// comes back the same. Built with -DORVALA_FUZZ=ON under clang.
#include <cstdint>
#include <cstdlib>

#include "common/error.h"
#include "packets/cbor.h"
#include "packets/codec.h"

namespace {

using namespace orvala::packets;

template <typename Packet>
void CheckRoundTrips(std::span<const uint8_t> bytes, Packet (*decode)(std::span<const uint8_t>)) {
  Packet packet;
  try {
    packet = decode(bytes);
  } catch (const orvala::Error&) {
    return;
  }
  // Binary bytes compare doubles by their bits, so they stand for the packet.
  const auto reference = Encode(packet, Encoding::Binary);
  for (Encoding e : {Encoding::Binary, Encoding::Xml, Encoding::XmlUtf8}) {
    if (Encode(decode(Encode(packet, e)), Encoding::Binary) != reference) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  CheckRoundTrips(bytes, DecodeDataPacket);
  CheckRoundTrips(bytes, DecodeDeltaPacket);
  CheckRoundTrips(bytes, DecodeErrorPacket);
  CheckRoundTrips(bytes, DecodeParamPacket);
  try {
    orvala::cbor::Reader reader(bytes);
    const orvala::Variant value = orvala::cbor::DecodeVariant(reader);
    orvala::cbor::Writer writer;
    orvala::cbor::EncodeVariant(writer, value);
    const auto again = writer.Take();
    orvala::cbor::Reader second(again);
    if (!(orvala::cbor::DecodeVariant(second) == value) && value == value) std::abort();
  } catch (const orvala::Error&) {
  }
  return 0;
}
