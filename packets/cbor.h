// A small CBOR (RFC 8949) writer and a bounds-checked reader, for the
// binary packets and the wire frames.
//
// The writer appends straight into one byte vector and allocates nothing
// per item beyond that vector's growth. It always writes the shortest
// head, definite lengths, and doubles as 64-bit floats so that they
// survive bit for bit.
//
// The reader is a cursor over bytes it does not own; it looks only at the
// span it was given. Every read checks that the item is there in full, a
// declared length or count is never believed beyond what the remaining
// bytes could hold, and nesting is limited. Any violation fails with an
// orvala::Error that names the offset. Indefinite lengths are refused.
//
// Writer and reader are single-threaded objects.
//
// Why not a CBOR library: the packets need a reader with the limits above
// that fails as an orvala::Error naming the offset, and a writer that
// appends into the packet's own vector; a general library would need all
// of that wrapped around it. That reader is small and fuzzed (packet_fuzzer, wire_fuzzer),
// and speed gives no reason to trade it for libcbor 0.8. One run, GCC -O3,
// on a shared 2-core machine that was not idle (load about 6), a data
// packet of 100,000 rows x 20 mixed columns (25.5 MB), best of 9:
//   walking every item (Reader::Skip, UTF-8 checked)      13.4 ms
//   libcbor cbor_stream_decode with empty callbacks       21.3 ms
//   decoding into a DataPacket (binary::DecodeData)      348.5 ms
//   libcbor cbor_load into its item tree, then freed     303.8 ms
// libcbor's tree would still have to be walked into a DataPacket, so the
// library would add a copy on top of the decoding that it replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/variant.h"

namespace orvala::cbor {

enum class Major : uint8_t {
  Unsigned = 0,
  Negative = 1,
  Bytes = 2,
  Text = 3,
  Array = 4,
  Map = 5,
  Tag = 6,
  Simple = 7,  // false, true, null, undefined and floats
};

// Tags of this system (not registered with IANA); docs/packets.md lists
// what each holds.
inline constexpr uint64_t kTagSelfDescribed = 55799;  // RFC 8949's magic prefix
inline constexpr uint64_t kTagInt16 = 20224;
inline constexpr uint64_t kTagInt64 = 20225;
inline constexpr uint64_t kTagTimestamp = 20226;      // [day, time]
inline constexpr uint64_t kTagCurrency = 20227;       // int64 scaled by 10,000
inline constexpr uint64_t kTagAutomationDate = 20228; // float64 days since 1899-12-30
inline constexpr uint64_t kTagStringArray = 20229;    // array of text strings
inline constexpr uint64_t kTagUtf16 = 20230;          // UTF-16LE bytes of a text that is not valid Unicode

class Writer {
 public:
  Writer() = default;
  explicit Writer(size_t reserve) { Reserve(reserve); }

  void Unsigned(uint64_t value) { Head(Major::Unsigned, value); }
  void Int(int64_t value);
  void Bytes(std::span<const uint8_t> bytes);
  void Bytes(std::string_view bytes);  // single-byte strings travel as byte strings
  void Text(std::string_view utf8);
  void ArrayHeader(uint64_t count) { Head(Major::Array, count); }
  void MapHeader(uint64_t count) { Head(Major::Map, count); }
  void Tag(uint64_t tag) { Head(Major::Tag, tag); }
  void Double(double value);
  void Bool(bool value) { out_.push_back(value ? 0xF5 : 0xF4); }
  void Null() { out_.push_back(0xF6); }
  void Undefined() { out_.push_back(0xF7); }

  // Bytes written so far; an array head written afterwards at `at`, for a
  // count known only once its items are written (what follows moves up).
  size_t size() const { return out_.size(); }
  // Room for `more` bytes beyond size(), growing the buffer by doubling.
  // A buffer past a few megabytes (a large fetch's packet) is given huge
  // pages where the kernel allows them, so that it is not faulted in and
  // looked up 4 KB at a time.
  void Reserve(size_t more);
  void InsertArrayHeader(size_t at, uint64_t count);

  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  void Head(Major major, uint64_t argument);
  std::vector<uint8_t> out_;
};

class Reader {
 public:
  static constexpr int kDefaultMaxDepth = 64;

  explicit Reader(std::span<const uint8_t> bytes, int max_depth = kDefaultMaxDepth)
      : bytes_(bytes), max_depth_(max_depth) {}

  size_t offset() const { return pos_; }
  size_t remaining() const { return bytes_.size() - pos_; }
  bool at_end() const { return pos_ == bytes_.size(); }

  // The major type of the next item; fails at the end of the input.
  Major PeekMajor() const;
  bool PeekNull() const;
  bool PeekUndefined() const;
  bool PeekFloat() const;
  bool PeekBool() const;
  bool PeekTag(uint64_t tag) const;  // the next item is this tag

  uint64_t ReadUnsigned();
  int64_t ReadInt();  // an unsigned or negative integer that fits int64
  int32_t ReadInt32();
  std::span<const uint8_t> ReadBytes();
  std::string_view ReadBytesAsString();
  std::string_view ReadText();  // checked to be valid UTF-8
  uint64_t ReadArrayHeader();   // the count is at most remaining()
  uint64_t ReadMapHeader();     // twice the count is at most remaining()
  uint64_t ReadTag();
  void ExpectTag(uint64_t tag);
  double ReadDouble();  // accepts half, single and double floats
  bool ReadBool();
  void ReadNull();
  bool TryReadNull();
  bool TryReadUndefined();
  void ExpectArray(uint64_t count);  // an array of exactly this many items
  void Skip();          // one whole item, however nested
  void ExpectEnd() const;  // nothing follows

  [[noreturn]] void Fail(std::string_view what) const;

  // Held while reading the items of one array, map or tag; refuses to go
  // deeper than the reader's limit, which bounds recursion on any input.
  class Nest {
   public:
    explicit Nest(Reader& reader);
    ~Nest() { --reader_.depth_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;

   private:
    Reader& reader_;
  };

 private:
  struct Head {
    Major major;
    uint8_t info;  // the low five bits of the initial byte
    uint64_t argument;
  };
  Head PeekHead(size_t* length) const;
  Head ReadHead(Major expected);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  int depth_ = 0;
  int max_depth_;
};

// Automation variants in CBOR, for the wire protocol: Empty is undefined,
// Null is null, I4 a plain integer, I2 and I8 tagged integers, R8 a 64-bit
// float, Currency and Date tagged, BStr a UTF-8 text string (tagged UTF-16
// when the text holds a lone surrogate), Bool true/false, ByteArray a byte
// string, VariantArray an array, StringArray a tagged array of texts.
// Decoding also takes what another CBOR writer would produce for these:
// plain integers beyond int32 become I8, narrower floats become R8.
void EncodeVariant(Writer& writer, const Variant& value);
Variant DecodeVariant(Reader& reader);

}  // namespace orvala::cbor
