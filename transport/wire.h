// The remote-call protocol: the frames that travel between a client and the
// server endpoint, their CBOR shapes, and the length prefix around them.
// docs/protocol.md describes the same format for clients in other
// languages.
//
// A frame on the stream is a 4-byte big-endian length followed by that many
// bytes of CBOR: one array whose first item is the frame kind.
//
// The decoders are pure functions over the bytes they are given: they never
// read outside that span, believe no count beyond what the bytes can hold,
// bound nesting and the number of items in one frame, and fail with an
// orvala::Error on anything they do not understand. Everything here is
// stateless and may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/status.h"
#include "common/variant.h"
#include "server/call.h"
#include "server/type_library.h"
#include "transport/limits.h"

namespace orvala::transport::wire {

inline constexpr uint32_t kProtocolVersion = 1;
inline constexpr size_t kLengthPrefixSize = 4;
inline constexpr size_t kDefaultMaxFrameSize = Limits{}.max_frame_size;
// A decoded variant costs far more memory than its CBOR item (a one-byte
// `undefined` becomes a whole Variant), so the items of one frame are
// counted before any is decoded.
inline constexpr size_t kMaxItemsPerFrame = size_t{1} << 20;
// The tag that marks a method result the method did not write.
inline constexpr uint64_t kTagNotWritten = 20256;

// A reply whose body is larger than this travels in parts (frames of kind
// kReplyPart, [22, total: uint, chunk: bytes]) of at most kReplyPartSize
// bytes of chunk each; the chunks, joined, are the body of the reply.
// Every client reads frames of up to kDefaultMaxFrameSize.
inline constexpr size_t kMaxSingleReplySize = kDefaultMaxFrameSize;
inline constexpr size_t kReplyPartSize = size_t{16} << 20;

// Statuses that the transport itself answers with.
inline constexpr HResult kStatusServerTooBusy = static_cast<HResult>(0x800706BBu);
inline constexpr HResult kStatusVersionMismatch = static_cast<HResult>(0x80010110u);
inline constexpr HResult kStatusProtocolError = static_cast<HResult>(0x80010111u);
// Client side only: the TLS handshake failed (a certificate that does not
// verify, a server or client that does not speak TLS).
inline constexpr HResult kStatusTlsFailure = static_cast<HResult>(0x80090326u);
// A reply larger than the limit of the side that would have to hold it;
// the call ran, its answer was not delivered, the connection stays.
inline constexpr HResult kStatusReplyTooLarge = static_cast<HResult>(0x800706B9u);
inline constexpr int32_t kDispidUnknown = -1;

enum class FrameKind : uint8_t {
  // client to server
  kHello = 1,
  kCreateObject = 2,
  kCall = 3,
  kGetIdsOfNames = 4,
  kGetTypeInfo = 5,
  kRelease = 6,
  kGetTypeLibrary = 7,
  // server to client
  kWelcome = 16,
  kStatus = 17,
  kCallReply = 18,
  kIdsOfNamesReply = 19,
  kTypeInfoReply = 20,
  kTypeLibraryReply = 21,
  kReplyPart = 22,  // a piece of a reply too large for one frame
};

// ---- client to server ----

struct Hello {
  uint32_t version = kProtocolVersion;
  std::optional<std::string> secret;  // bytes as read from the secret file
};

struct CreateObject {
  std::string clsid;  // "{BE3B9670-...}"
};

enum class CallTarget : uint8_t { kSlot = 0, kDispid = 1 };

struct CallRequest {
  CallTarget target = CallTarget::kSlot;
  int32_t id = 0;  // the slot or the dispatch identifier
  std::vector<Variant> args;  // every argument in interface order
};

struct GetIdsOfNames {
  std::vector<std::string> names;  // the method's name, then argument names
};

struct GetTypeInfo {};
struct Release {};
// The type library as structured data (GetTypeInfo gives it as text).
struct GetTypeLibrary {};

using ClientFrame = std::variant<Hello, CreateObject, CallRequest, GetIdsOfNames, GetTypeInfo,
                                 Release, GetTypeLibrary>;

// ---- server to client ----

struct Welcome {
  uint32_t version = kProtocolVersion;
};

// Answers Hello when it is refused, CreateObject and Release; also the last
// frame before the server closes a connection it will not serve.
struct StatusReply {
  HResult status = S_OK;
  std::optional<server::ErrorInfo> error;
};

struct CallReply {
  HResult status = S_OK;
  std::optional<Variant> result;  // nullopt: the method did not write it
  std::vector<std::pair<uint32_t, Variant>> out;  // argument index and value
  std::optional<server::ErrorInfo> error;
};

struct IdsOfNamesReply {
  HResult status = S_OK;
  std::vector<int32_t> ids;  // one per name; kDispidUnknown where unknown
};

struct TypeInfoReply {
  HResult status = S_OK;
  std::string text;
};

// A map with text keys; a reader skips keys it does not know, so that later
// servers may add some.
struct TypeLibraryReply {
  HResult status = S_OK;
  std::optional<server::TypeLibraryDescription> library;  // nullopt on a failed status
};

using ServerFrame = std::variant<Welcome, StatusReply, CallReply, IdsOfNamesReply, TypeInfoReply,
                                 TypeLibraryReply>;

// Frame bodies (without the length prefix).
std::vector<uint8_t> EncodeBody(const ClientFrame& frame);
std::vector<uint8_t> EncodeBody(const ServerFrame& frame);
ClientFrame DecodeClientFrame(std::span<const uint8_t> body);
ServerFrame DecodeServerFrame(std::span<const uint8_t> body);

// Whole frames: the length prefix and the body.
std::vector<uint8_t> EncodeFrame(const ClientFrame& frame);
std::vector<uint8_t> EncodeFrame(const ServerFrame& frame);

// A whole frame around a body that is already encoded; the body is moved
// in, not copied.
std::vector<uint8_t> Prefixed(std::vector<uint8_t> body);

// The length prefix and the CBOR head of one reply part that carries
// `chunk_size` bytes of a reply body of `total` bytes; the chunk's bytes
// follow it on the stream as they are.
std::vector<uint8_t> ReplyPartHead(uint64_t total, size_t chunk_size);

struct ReplyPart {
  uint64_t total = 0;
  std::span<const uint8_t> chunk;  // inside the frame's body
};
// The part in a frame body, or nullopt when the frame is not a part.
// Throws Error on a malformed part.
std::optional<ReplyPart> ReadReplyPart(std::span<const uint8_t> body);

// The length a frame's prefix announces.
uint32_t ReadLengthPrefix(std::span<const uint8_t, kLengthPrefixSize> prefix);

// Finds the first frame at the front of a byte stream.
struct FrameSplit {
  enum class State {
    kComplete,   // `body` is the frame's body, `consumed` its size with the prefix
    kNeedMore,   // the frame is not all there yet
    kTooLarge,   // the announced length exceeds the limit
    kEmpty,      // a zero length: never a valid frame
  };
  State state;
  std::span<const uint8_t> body;
  size_t consumed = 0;
};
FrameSplit SplitFrame(std::span<const uint8_t> stream, size_t max_frame_size);

}  // namespace orvala::transport::wire
