// Any byte stream a peer can send: the frame splitter finds frames without
// reading past the stream, and every body either decodes, as a client or a
// server frame, or raises orvala::Error. Whatever decodes is encoded again
// and must decode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

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
