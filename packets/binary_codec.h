// The binary (CBOR) encoding of packets; docs/packets.md describes it.
// Reached through codec.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packets/cbor.h"
#include "packets/packet.h"
#include "packets/shape.h"

namespace orvala::packets::binary {

// Every binary packet begins with these bytes: the self-described CBOR
// tag, so that the encoding is recognised from the first three.
bool LooksBinary(std::span<const uint8_t> bytes);

std::vector<uint8_t> Encode(const DataPacket& packet);
std::vector<uint8_t> Encode(const DeltaPacket& packet);
std::vector<uint8_t> Encode(const ErrorPacket& packet);
std::vector<uint8_t> Encode(const ParamPacket& packet);

// A data packet written one top-level row at a time, for a fetch that does
// not hold all its rows at once: its bytes are those Encode gives for the
// packet of the same rows. A count of rows not known ahead is written into
// its place by Finish. A row that does not fit the fields fails as in
// Encode. A single-threaded object.
class DataWriter {
 public:
  // `fields` null: a slice without field descriptions. The fields must
  // outlive the writer. `reserve`: the bytes to make room for ahead.
  DataWriter(const std::string& code_page, const std::vector<Field>* fields,
             std::optional<uint64_t> count = std::nullopt, size_t reserve = 0);
  void Add(const std::vector<Value>& values, const std::vector<std::vector<Row>>& details);
  std::vector<uint8_t> Finish();

 private:
  cbor::Writer w_;
  const std::vector<Field>* fields_;
  std::optional<uint64_t> count_;
  std::optional<shape::Widths> widths_;
  size_t rows_at_ = 0;
  uint64_t written_ = 0;
};

DataPacket DecodeData(std::span<const uint8_t> bytes);
DeltaPacket DecodeDelta(std::span<const uint8_t> bytes);
ErrorPacket DecodeError(std::span<const uint8_t> bytes);
ParamPacket DecodeParams(std::span<const uint8_t> bytes);

}  // namespace orvala::packets::binary
