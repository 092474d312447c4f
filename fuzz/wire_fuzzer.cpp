// Any byte stream a peer can send: the frame splitter finds frames without
// reading past the stream, and every body either decodes, as a client or a
// server frame, or raises orvala::Error. Whatever decodes is encoded again
// and must decode to the same bytes; so must a reply part.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "transport/wire.h"

namespace {

using namespace orvala::transport::wire;

template <typename Frame>
void CheckRoundTrip(std::span<const uint8_t> body, Frame (*decode)(std::span<const uint8_t>)) {
  Frame frame;
  try {
    frame = decode(body);
  } catch (const orvala::Error&) {
    return;
  }
  const auto encoded = EncodeBody(frame);
  if (EncodeBody(decode(encoded)) != encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  CheckRoundTrip(bytes, DecodeClientFrame);
  CheckRoundTrip(bytes, DecodeServerFrame);

  // A reply part: its chunk lies inside the body, and its head written
  // again, followed by the chunk, is the same frame.
  try {
    if (const std::optional<ReplyPart> part = ReadReplyPart(bytes)) {
      if (part->chunk.data() < bytes.data() ||
          part->chunk.data() + part->chunk.size() > bytes.data() + bytes.size() ||
          part->chunk.empty() || part->chunk.size() > part->total) {
        std::abort();
      }
      std::vector<uint8_t> again = ReplyPartHead(part->total, part->chunk.size());
      again.insert(again.end(), part->chunk.begin(), part->chunk.end());
      if (again.size() != kLengthPrefixSize + bytes.size() ||
          !std::equal(bytes.begin(), bytes.end(), again.begin() + kLengthPrefixSize)) {
        std::abort();
      }
    }
  } catch (const orvala::Error&) {
  }

  // The same bytes as a stream of length-prefixed frames, with a small
  // limit so that refusals are reached too.
  std::span<const uint8_t> stream = bytes;
  while (!stream.empty()) {
    const FrameSplit split = SplitFrame(stream, 4096);
    if (split.state != FrameSplit::State::kComplete) break;
    if (split.consumed == 0 || split.consumed > stream.size() ||
        split.body.data() < stream.data() ||
        split.body.data() + split.body.size() > stream.data() + stream.size()) {
      std::abort();
    }
    CheckRoundTrip(split.body, DecodeClientFrame);
    stream = stream.subspan(split.consumed);
  }
  return 0;
}
