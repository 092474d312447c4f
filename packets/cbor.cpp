#include "packets/cbor.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "common/codepage.h"
#include "common/error.h"
#include "common/utf8.h"

namespace orvala::cbor {

namespace {

constexpr uint8_t kFalse = 0xF4;
constexpr uint8_t kTrue = 0xF5;
constexpr uint8_t kNull = 0xF6;
constexpr uint8_t kUndefined = 0xF7;
constexpr uint8_t kHalf = 0xF9;
constexpr uint8_t kDouble = 0xFB;

double HalfToDouble(uint16_t half) {
  const int exponent = (half >> 10) & 0x1F;
  const int mantissa = half & 0x3FF;
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa == 0 ? INFINITY : NAN;
  } else {
    value = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (half & 0x8000) ? -value : value;
}

bool HasLoneSurrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) return true;
  }
  return false;
}

void WriteText16(Writer& writer, const std::u16string& text) {
  if (!HasLoneSurrogate(text)) {
    writer.Text(ToUtf8(text));
    return;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  writer.Tag(kTagUtf16);
  writer.Bytes(std::span<const uint8_t>(bytes));
}

std::u16string ReadText16(Reader& reader) {
  if (reader.PeekMajor() == Major::Tag) {
    reader.ExpectTag(kTagUtf16);
    const auto bytes = reader.ReadBytes();
    if (bytes.size() % 2 != 0) reader.Fail("UTF-16 text of odd length");
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return text;
  }
  return FromUtf8(reader.ReadText());
}

}  // namespace

// ---- Writer ----

void Writer::Head(Major major, uint64_t argument) {
  const uint8_t type = static_cast<uint8_t>(static_cast<uint8_t>(major) << 5);
  if (argument < 24) {
    out_.push_back(static_cast<uint8_t>(type | argument));
    return;
  }
  int length;
  uint8_t info;
  if (argument <= 0xFF) {
    length = 1, info = 24;
  } else if (argument <= 0xFFFF) {
    length = 2, info = 25;
  } else if (argument <= 0xFFFFFFFFu) {
    length = 4, info = 26;
  } else {
    length = 8, info = 27;
  }
  const size_t at = out_.size();
  out_.resize(at + 1 + length);
  uint8_t* p = out_.data() + at;
  p[0] = type | info;
  for (int i = length; i >= 1; --i) {
    p[i] = static_cast<uint8_t>(argument);
    argument >>= 8;
  }
}

void Writer::Reserve(size_t more) {
  if (out_.capacity() - out_.size() >= more) return;
  out_.reserve(std::max(out_.size() + more, 2 * out_.capacity()));
  constexpr size_t kHugePage = size_t{2} << 20;
  if (out_.capacity() < 2 * kHugePage) return;
  // Only the whole huge pages inside the buffer; advice, so failure is harmless.
  const auto begin = reinterpret_cast<uintptr_t>(out_.data());
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + out_.capacity()) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void Writer::InsertArrayHeader(size_t at, uint64_t count) {
  Writer head;
  head.ArrayHeader(count);
  out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(at), head.out_.begin(), head.out_.end());
}

void Writer::Int(int64_t value) {
  if (value >= 0) {
    Head(Major::Unsigned, static_cast<uint64_t>(value));
  } else {
    // -1 - value without overflow for INT64_MIN.
    Head(Major::Negative, ~static_cast<uint64_t>(value));
  }
}

void Writer::Bytes(std::span<const uint8_t> bytes) {
  Head(Major::Bytes, bytes.size());
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void Writer::Bytes(std::string_view bytes) {
  Head(Major::Bytes, bytes.size());
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void Writer::Text(std::string_view utf8) {
  Head(Major::Text, utf8.size());
  out_.insert(out_.end(), utf8.begin(), utf8.end());
}

void Writer::Double(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  const size_t at = out_.size();
  out_.resize(at + 9);
  uint8_t* p = out_.data() + at;
  p[0] = kDouble;
  for (int i = 8; i >= 1; --i) {
    p[i] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
}

// ---- Reader ----

void Reader::Fail(std::string_view what) const {
  throw Error("Malformed packet: " + std::string(what) + " at byte " + std::to_string(pos_));
}

Reader::Nest::Nest(Reader& reader) : reader_(reader) {
  if (reader_.depth_ >= reader_.max_depth_) reader_.Fail("nesting too deep");
  ++reader_.depth_;
}

Reader::Head Reader::PeekHead(size_t* length) const {
  if (pos_ >= bytes_.size()) Fail("unexpected end of data");
  const uint8_t initial = bytes_[pos_];
  Head head{static_cast<Major>(initial >> 5), static_cast<uint8_t>(initial & 0x1F), 0};
  size_t extra = 0;
  if (head.info < 24) {
    head.argument = head.info;
  } else if (head.info <= 27) {
    extra = size_t{1} << (head.info - 24);
    if (remaining() - 1 < extra) Fail("unexpected end of data");
    for (size_t i = 1; i <= extra; ++i) head.argument = (head.argument << 8) | bytes_[pos_ + i];
  } else if (head.info == 31) {
    Fail("indefinite length not supported");
  } else {
    Fail("reserved item head");
  }
  *length = 1 + extra;
  return head;
}

Reader::Head Reader::ReadHead(Major expected) {
  size_t length;
  const Head head = PeekHead(&length);
  if (head.major != expected) Fail("unexpected item type");
  pos_ += length;
  return head;
}

Major Reader::PeekMajor() const {
  if (at_end()) Fail("unexpected end of data");
  return static_cast<Major>(bytes_[pos_] >> 5);
}

bool Reader::PeekNull() const { return !at_end() && bytes_[pos_] == kNull; }
bool Reader::PeekUndefined() const { return !at_end() && bytes_[pos_] == kUndefined; }
bool Reader::PeekBool() const {
  return !at_end() && (bytes_[pos_] == kFalse || bytes_[pos_] == kTrue);
}
bool Reader::PeekFloat() const {
  return !at_end() && bytes_[pos_] >= kHalf && bytes_[pos_] <= kDouble;  // half, single or double
}

bool Reader::PeekTag(uint64_t tag) const {
  if (at_end() || PeekMajor() != Major::Tag) return false;
  size_t length;
  return PeekHead(&length).argument == tag;
}

uint64_t Reader::ReadUnsigned() { return ReadHead(Major::Unsigned).argument; }

int64_t Reader::ReadInt() {
  const Major major = PeekMajor();
  if (major != Major::Unsigned && major != Major::Negative) Fail("integer expected");
  const size_t at = pos_;
  const uint64_t argument = ReadHead(major).argument;
  if (argument > static_cast<uint64_t>(INT64_MAX)) {
    pos_ = at;
    Fail("integer out of range");
  }
  const int64_t magnitude = static_cast<int64_t>(argument);
  return major == Major::Unsigned ? magnitude : -1 - magnitude;
}

int32_t Reader::ReadInt32() {
  const size_t at = pos_;
  const int64_t value = ReadInt();
  if (value < INT32_MIN || value > INT32_MAX) {
    pos_ = at;
    Fail("integer out of range");
  }
  return static_cast<int32_t>(value);
}

std::span<const uint8_t> Reader::ReadBytes() {
  const size_t at = pos_;
  const uint64_t length = ReadHead(Major::Bytes).argument;
  if (length > remaining()) {
    pos_ = at;
    Fail("byte string longer than the data");
  }
  const auto bytes = bytes_.subspan(pos_, static_cast<size_t>(length));
  pos_ += static_cast<size_t>(length);
  return bytes;
}

std::string_view Reader::ReadBytesAsString() {
  const auto bytes = ReadBytes();
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string_view Reader::ReadText() {
  const size_t at = pos_;
  const uint64_t length = ReadHead(Major::Text).argument;
  if (length > remaining()) {
    pos_ = at;
    Fail("text string longer than the data");
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes_.data() + pos_),
                              static_cast<size_t>(length));
  if (!IsUtf8(text)) {
    pos_ = at;
    Fail("text string is not UTF-8");
  }
  pos_ += static_cast<size_t>(length);
  return text;
}

uint64_t Reader::ReadArrayHeader() {
  const size_t at = pos_;
  const uint64_t count = ReadHead(Major::Array).argument;
  if (count > remaining()) {  // every item takes at least one byte
    pos_ = at;
    Fail("array count larger than the data");
  }
  return count;
}

uint64_t Reader::ReadMapHeader() {
  const size_t at = pos_;
  const uint64_t count = ReadHead(Major::Map).argument;
  if (count > remaining() / 2) {
    pos_ = at;
    Fail("map count larger than the data");
  }
  return count;
}

uint64_t Reader::ReadTag() { return ReadHead(Major::Tag).argument; }

void Reader::ExpectTag(uint64_t tag) {
  const size_t at = pos_;
  if (ReadTag() != tag) {
    pos_ = at;
    Fail("unexpected tag");
  }
}

void Reader::ExpectArray(uint64_t count) {
  const size_t at = pos_;
  if (ReadArrayHeader() != count) {
    pos_ = at;
    Fail("array of unexpected length");
  }
}

double Reader::ReadDouble() {
  if (!PeekFloat()) Fail("float expected");
  size_t length;
  const Head head = PeekHead(&length);
  pos_ += length;
  switch (head.info) {
    case 25:
      return HalfToDouble(static_cast<uint16_t>(head.argument));
    case 26:
      return std::bit_cast<float>(static_cast<uint32_t>(head.argument));
    default:
      return std::bit_cast<double>(head.argument);
  }
}

bool Reader::ReadBool() {
  if (!PeekBool()) Fail("boolean expected");
  return bytes_[pos_++] == kTrue;
}

void Reader::ReadNull() {
  if (!TryReadNull()) Fail("null expected");
}

bool Reader::TryReadNull() {
  if (!PeekNull()) return false;
  ++pos_;
  return true;
}

bool Reader::TryReadUndefined() {
  if (!PeekUndefined()) return false;
  ++pos_;
  return true;
}

void Reader::Skip() {
  size_t length;
  const Head head = PeekHead(&length);
  switch (head.major) {
    case Major::Unsigned:
    case Major::Negative:
    case Major::Simple:
      if (head.major == Major::Simple && head.info == 24 && head.argument < 32) {
        Fail("invalid simple value");
      }
      pos_ += length;
      return;
    case Major::Bytes:
      ReadBytes();
      return;
    case Major::Text:
      ReadText();
      return;
    case Major::Array: {
      Nest nest(*this);
      for (uint64_t n = ReadArrayHeader(); n > 0; --n) Skip();
      return;
    }
    case Major::Map: {
      Nest nest(*this);
      for (uint64_t n = ReadMapHeader(); n > 0; --n) Skip(), Skip();
      return;
    }
    case Major::Tag: {
      Nest nest(*this);
      pos_ += length;
      Skip();
      return;
    }
  }
}

void Reader::ExpectEnd() const {
  if (!at_end()) Fail("unexpected data after the end");
}

// ---- Variants ----

void EncodeVariant(Writer& writer, const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
      writer.Undefined();
      return;
    case VarType::Null:
      writer.Null();
      return;
    case VarType::I2:
      writer.Tag(kTagInt16);
      writer.Int(value.i2());
      return;
    case VarType::I4:
      writer.Int(value.i4());
      return;
    case VarType::I8:
      writer.Tag(kTagInt64);
      writer.Int(value.i8());
      return;
    case VarType::R8:
      writer.Double(value.r8());
      return;
    case VarType::Currency:
      writer.Tag(kTagCurrency);
      writer.Int(value.currency().scaled);
      return;
    case VarType::Date:
      writer.Tag(kTagAutomationDate);
      writer.Double(value.date().value);
      return;
    case VarType::BStr:
      WriteText16(writer, value.bstr());
      return;
    case VarType::Bool:
      writer.Bool(value.boolean());
      return;
    case VarType::ByteArray:
      writer.Bytes(std::span<const uint8_t>(value.bytes()));
      return;
    case VarType::VariantArray:
      writer.ArrayHeader(value.array().size());
      for (const Variant& item : value.array()) EncodeVariant(writer, item);
      return;
    case VarType::StringArray:
      writer.Tag(kTagStringArray);
      writer.ArrayHeader(value.strings().size());
      for (const std::u16string& item : value.strings()) WriteText16(writer, item);
      return;
  }
  throw Error("Variant type cannot be encoded");
}

Variant DecodeVariant(Reader& reader) {
  if (reader.TryReadUndefined()) return Variant();
  if (reader.TryReadNull()) return Variant::Null();
  if (reader.PeekBool()) return Variant::Bool(reader.ReadBool());
  if (reader.PeekFloat()) return Variant::R8(reader.ReadDouble());
  switch (reader.PeekMajor()) {
    case Major::Unsigned:
    case Major::Negative: {
      const int64_t value = reader.ReadInt();
      if (value >= INT32_MIN && value <= INT32_MAX) return Variant::I4(static_cast<int32_t>(value));
      return Variant::I8(value);
    }
    case Major::Bytes: {
      const auto bytes = reader.ReadBytes();
      return Variant::Bytes(ByteArray(bytes.begin(), bytes.end()));
    }
    case Major::Text:
      return Variant::BStr(FromUtf8(reader.ReadText()));
    case Major::Array: {
      Reader::Nest nest(reader);
      const uint64_t count = reader.ReadArrayHeader();
      VariantArray items;
      items.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) items.push_back(DecodeVariant(reader));
      return Variant::Array(std::move(items));
    }
    case Major::Tag: {
      if (reader.PeekTag(kTagUtf16)) return Variant::BStr(ReadText16(reader));
      Reader::Nest nest(reader);
      switch (reader.ReadTag()) {
        case kTagInt16: {
          const int64_t value = reader.ReadInt();
          if (value < INT16_MIN || value > INT16_MAX) reader.Fail("integer out of range");
          return Variant::I2(static_cast<int16_t>(value));
        }
        case kTagInt64:
          return Variant::I8(reader.ReadInt());
        case kTagCurrency:
          return Variant::Money(Currency{reader.ReadInt()});
        case kTagAutomationDate:
          return Variant::Date(reader.ReadDouble());
        case kTagStringArray: {
          const uint64_t count = reader.ReadArrayHeader();
          StringArray items;
          items.reserve(static_cast<size_t>(count));
          for (uint64_t i = 0; i < count; ++i) items.push_back(ReadText16(reader));
          return Variant::Strings(std::move(items));
        }
        default:
          reader.Fail("unknown tag");
      }
      break;
    }
    default:
      break;
  }
  reader.Fail("unexpected item type");
}

}  // namespace orvala::cbor
