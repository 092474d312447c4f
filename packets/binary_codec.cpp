#include "packets/binary_codec.h"

#include <algorithm>

#include "common/error.h"
#include "packets/cbor.h"
#include "packets/code_pages.h"
#include "packets/codec.h"
#include "packets/shape.h"

namespace orvala::packets::binary {

namespace {

using cbor::Reader;
using cbor::Writer;

constexpr std::string_view kMagic = "ORVALA-PACKETS";
constexpr uint64_t kVersion = 1;

enum class Kind : uint8_t { Data = 1, Delta = 2, Error = 3, Params = 4 };

constexpr uint64_t kFieldItems = 9;
constexpr uint64_t kDeltaRowItems = 4;
// An error row with neither a path nor the failed row leaves both out, as
// packets written before error rows had them.
constexpr uint64_t kErrorRowItems = 6;
constexpr uint64_t kErrorRowWithRowItems = 8;
// A parameter without decimal places leaves its scale out, so that packets
// written before parameters had one read the same.
constexpr uint64_t kParamItems = 4;
constexpr uint64_t kScaledParamItems = 5;

// ---- writing ----

void WriteHeader(Writer& w, Kind kind, uint64_t items, const std::string& code_page) {
  CodePageNamed(code_page);  // a packet in no known code page could never be read
  w.Tag(cbor::kTagSelfDescribed);
  w.ArrayHeader(items);
  w.Text(kMagic);
  w.Unsigned(kVersion);
  w.Unsigned(static_cast<uint64_t>(kind));
  w.Text(code_page);
}

void WriteValue(Writer& w, const Value& value) {
  switch (value.index()) {
    case 0:
      w.Null();
      return;
    case 1:
      w.Tag(cbor::kTagInt16);
      w.Int(std::get<int16_t>(value));
      return;
    case 2:
      w.Int(std::get<int32_t>(value));
      return;
    case 3:
      w.Tag(cbor::kTagInt64);
      w.Int(std::get<int64_t>(value));
      return;
    case 4:
      w.Double(std::get<double>(value));
      return;
    case 5: {
      const Timestamp& ts = std::get<Timestamp>(value);
      shape::CheckTimestamp(ts);
      w.Tag(cbor::kTagTimestamp);
      w.ArrayHeader(2);
      w.Int(ts.day);
      w.Unsigned(ts.time);
      return;
    }
    case 6:
      w.Bytes(std::string_view(std::get<std::string>(value)));
      return;
    case 7:
      w.Bool(std::get<bool>(value));
      return;
  }
}

void WriteFields(Writer& w, const std::vector<Field>& fields) {
  w.ArrayHeader(fields.size());
  for (const Field& f : fields) {
    w.ArrayHeader(kFieldItems);
    w.Bytes(std::string_view(f.name));
    w.Unsigned(static_cast<uint64_t>(f.type));
    w.Int(f.size);
    w.Int(f.scale);
    w.Bool(f.required);
    w.Bytes(std::string_view(f.origin));
    w.Unsigned(f.prov_flags);
    w.Bool(f.server_calc);
    WriteFields(w, f.children);
  }
}

void WriteRows(Writer& w, const std::vector<Row>& rows, const std::vector<Field>* fields, int depth);

// A row of a data packet: one item per field in field order, a value for a
// plain field and an array of rows for a nested one. Without field
// descriptions (fields null) the plain values come first.
void WriteRow(Writer& w, const std::vector<Value>& values,
              const std::vector<std::vector<Row>>& details, const std::vector<Field>* fields,
              const shape::Widths& widths, int depth) {
  shape::CheckRow(values.size(), details.size(), widths);
  w.ArrayHeader(values.size() + details.size());
  if (!fields) {
    for (const Value& v : values) WriteValue(w, v);
    for (const auto& detail : details) WriteRows(w, detail, nullptr, depth + 1);
    return;
  }
  size_t plain = 0, nested = 0;
  for (const Field& f : *fields) {
    if (f.is_nested()) {
      WriteRows(w, details[nested++], &f.children, depth + 1);
    } else {
      WriteValue(w, values[plain++]);
    }
  }
}

// Without field descriptions every row has the first row's width.
shape::Widths WidthsOf(const std::vector<Field>* fields, const std::vector<Value>& values,
                       const std::vector<std::vector<Row>>& details) {
  return fields ? shape::Widths(*fields) : shape::Widths(values.size(), details.size());
}

void WriteRows(Writer& w, const std::vector<Row>& rows, const std::vector<Field>* fields,
               int depth) {
  shape::CheckDepth(depth);
  w.ArrayHeader(rows.size());
  if (rows.empty()) return;
  const shape::Widths widths = WidthsOf(fields, rows.front().values, rows.front().details);
  for (const Row& row : rows) WriteRow(w, row.values, row.details, fields, widths, depth);
}

void WriteDeltaRows(Writer& w, const std::vector<DeltaRow>& rows,
                    const std::vector<Field>& fields, int depth) {
  shape::CheckDepth(depth);
  const shape::Widths widths(fields);
  std::vector<const std::vector<Field>*> children;
  for (const Field& f : fields) {
    if (f.is_nested()) children.push_back(&f.children);
  }
  w.ArrayHeader(rows.size());
  for (const DeltaRow& row : rows) {
    shape::CheckRow(row, widths);
    w.ArrayHeader(kDeltaRowItems);
    w.Unsigned(static_cast<uint64_t>(row.kind));
    w.ArrayHeader(row.old_values.size());
    for (const Value& v : row.old_values) WriteValue(w, v);
    w.ArrayHeader(row.new_values.size());
    for (const std::optional<Value>& v : row.new_values) {
      if (v) {
        WriteValue(w, *v);
      } else {
        w.Undefined();
      }
    }
    w.ArrayHeader(row.details.size());
    for (size_t i = 0; i < row.details.size(); ++i) {
      WriteDeltaRows(w, row.details[i], *children[i], depth + 1);
    }
  }
}

// Room made before each row of a packet written row by row: most rows fit.
constexpr size_t kRowRoom = 4096;

size_t EstimateSize(const std::vector<Row>& rows, size_t columns) {
  // A guess that spares most regrowth of the output on large fetches.
  return 256 + rows.size() * (2 + columns * 6);
}

// ---- reading ----

// A reader positioned after the header of a packet of the expected kind.
Reader OpenPacket(std::span<const uint8_t> bytes, Kind kind, uint64_t items,
                  std::string* code_page) {
  Reader r(bytes);
  if (!LooksBinary(bytes)) r.Fail("not a binary packet");
  r.ExpectTag(cbor::kTagSelfDescribed);
  // Each kind has its own count of items, so the kind is checked first: a
  // packet of another kind is refused as that, not for its length.
  const uint64_t have = r.ReadArrayHeader();
  if (r.PeekMajor() != cbor::Major::Text || r.ReadText() != kMagic) r.Fail("not a packet");
  if (r.ReadUnsigned() != kVersion) r.Fail("unknown packet version");
  if (r.ReadUnsigned() != static_cast<uint64_t>(kind)) r.Fail("packet of another kind");
  if (have != items) r.Fail("array of unexpected length");
  *code_page = std::string(r.ReadText());
  CodePageNamed(*code_page);
  return r;
}

Value ReadValue(Reader& r) {
  if (r.TryReadNull()) return Value{};
  if (r.PeekBool()) return Value{r.ReadBool()};
  if (r.PeekFloat()) return Value{r.ReadDouble()};
  switch (r.PeekMajor()) {
    case cbor::Major::Unsigned:
    case cbor::Major::Negative:
      return Value{r.ReadInt32()};
    case cbor::Major::Bytes:
      return Value{std::string(r.ReadBytesAsString())};
    case cbor::Major::Tag: {
      switch (r.ReadTag()) {
        case cbor::kTagInt16: {
          const int64_t v = r.ReadInt();
          if (v < INT16_MIN || v > INT16_MAX) r.Fail("integer out of range");
          return Value{static_cast<int16_t>(v)};
        }
        case cbor::kTagInt64:
          return Value{r.ReadInt()};
        case cbor::kTagTimestamp: {
          r.ExpectArray(2);
          Timestamp ts;
          ts.day = r.ReadInt32();
          const uint64_t time = r.ReadUnsigned();
          if (time >= kTimeUnitsPerDay) r.Fail("time of day out of range");
          ts.time = static_cast<uint32_t>(time);
          return Value{ts};
        }
        default:
          r.Fail("unknown tag");
      }
    }
    default:
      r.Fail("value expected");
  }
}

std::string ReadString(Reader& r) { return std::string(r.ReadBytesAsString()); }

std::vector<Field> ReadFields(Reader& r, int depth) {
  Reader::Nest nest(r);
  const uint64_t count = r.ReadArrayHeader();
  if (count > 0) shape::CheckDepth(depth);  // a plain field's empty list is no table
  std::vector<Field> fields;
  fields.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    Reader::Nest field_nest(r);
    r.ExpectArray(kFieldItems);
    Field f;
    f.name = ReadString(r);
    const uint64_t type = r.ReadUnsigned();
    if (type > static_cast<uint64_t>(FieldType::Boolean)) r.Fail("unknown field type");
    f.type = static_cast<FieldType>(type);
    f.size = r.ReadInt32();
    f.scale = r.ReadInt32();
    f.required = r.ReadBool();
    f.origin = ReadString(r);
    const uint64_t flags = r.ReadUnsigned();
    if (flags > 0xFF) r.Fail("provider flags out of range");
    f.prov_flags = static_cast<uint8_t>(flags);
    f.server_calc = r.ReadBool();
    f.children = ReadFields(r, depth + 1);
    fields.push_back(std::move(f));
  }
  return fields;
}

std::vector<Row> ReadRows(Reader& r, const std::vector<Field>* fields, int depth) {
  shape::CheckDepth(depth);
  Reader::Nest nest(r);
  const uint64_t count = r.ReadArrayHeader();
  std::vector<Row> rows;
  rows.reserve(static_cast<size_t>(count));
  std::optional<shape::Widths> widths;
  if (fields) widths.emplace(*fields);
  for (uint64_t i = 0; i < count; ++i) {
    Reader::Nest row_nest(r);
    const uint64_t items = r.ReadArrayHeader();
    if (fields && items != fields->size()) r.Fail("row width differs from the fields");
    Row& row = rows.emplace_back();
    row.values.reserve(widths ? widths->plain : static_cast<size_t>(items));
    if (widths) row.details.reserve(widths->nested);
    for (uint64_t k = 0; k < items; ++k) {
      const bool nested = fields ? (*fields)[k].is_nested()
                                 : r.PeekMajor() == cbor::Major::Array;
      if (nested) {
        row.details.push_back(ReadRows(r, fields ? &(*fields)[k].children : nullptr, depth + 1));
      } else {
        if (!fields && !row.details.empty()) r.Fail("value after a nested table");
        row.values.push_back(ReadValue(r));
      }
    }
    if (!fields) shape::CheckSameWidth(row, rows.front());
  }
  return rows;
}

std::vector<DeltaRow> ReadDeltaRows(Reader& r, const std::vector<Field>& fields, int depth) {
  shape::CheckDepth(depth);
  Reader::Nest nest(r);
  const shape::Widths widths(fields);
  std::vector<const std::vector<Field>*> children;
  for (const Field& f : fields) {
    if (f.is_nested()) children.push_back(&f.children);
  }
  const uint64_t count = r.ReadArrayHeader();
  std::vector<DeltaRow> rows;
  rows.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    Reader::Nest row_nest(r);
    r.ExpectArray(kDeltaRowItems);
    DeltaRow& row = rows.emplace_back();
    const uint64_t kind = r.ReadUnsigned();
    if (kind > static_cast<uint64_t>(UpdateKind::Delete)) r.Fail("unknown update kind");
    row.kind = static_cast<UpdateKind>(kind);
    {
      Reader::Nest values_nest(r);
      const uint64_t n = r.ReadArrayHeader();
      if (n != 0 && n != widths.plain) r.Fail("old values differ from the fields");
      row.old_values.reserve(static_cast<size_t>(n));
      for (uint64_t k = 0; k < n; ++k) row.old_values.push_back(ReadValue(r));
    }
    {
      Reader::Nest values_nest(r);
      const uint64_t n = r.ReadArrayHeader();
      if (n != 0 && n != widths.plain) r.Fail("new values differ from the fields");
      row.new_values.reserve(static_cast<size_t>(n));
      for (uint64_t k = 0; k < n; ++k) {
        if (r.TryReadUndefined()) {
          row.new_values.emplace_back();
        } else {
          row.new_values.emplace_back(ReadValue(r));
        }
      }
    }
    Reader::Nest details_nest(r);
    const uint64_t n = r.ReadArrayHeader();
    if (n != 0 && n != widths.nested) r.Fail("nested deltas differ from the fields");
    row.details.reserve(static_cast<size_t>(n));
    for (uint64_t k = 0; k < n; ++k) {
      row.details.push_back(ReadDeltaRows(r, *children[k], depth + 1));
    }
  }
  return rows;
}

}  // namespace

bool LooksBinary(std::span<const uint8_t> bytes) {
  return bytes.size() >= 3 && bytes[0] == 0xD9 && bytes[1] == 0xD9 && bytes[2] == 0xF7;
}

DataWriter::DataWriter(const std::string& code_page, const std::vector<Field>* fields,
                       std::optional<uint64_t> count, size_t reserve)
    : w_(reserve), fields_(fields), count_(count) {
  if (fields_) shape::CheckFields(*fields_);
  WriteHeader(w_, Kind::Data, 6, code_page);
  if (fields_) {
    WriteFields(w_, *fields_);
  } else {
    w_.Null();
  }
  if (count_) w_.ArrayHeader(*count_);
  rows_at_ = w_.size();
}

void DataWriter::Add(const std::vector<Value>& values,
                     const std::vector<std::vector<Row>>& details) {
  if (count_ && written_ == *count_) shape::Fail("more rows than announced");
  if (!widths_) widths_ = WidthsOf(fields_, values, details);
  w_.Reserve(kRowRoom);
  WriteRow(w_, values, details, fields_, *widths_, 0);
  ++written_;
}

std::vector<uint8_t> DataWriter::Finish() {
  if (!count_) {
    w_.InsertArrayHeader(rows_at_, written_);
  } else if (written_ != *count_) {
    shape::Fail("fewer rows than announced");
  }
  return w_.Take();
}

std::vector<uint8_t> Encode(const DataPacket& packet) {
  DataWriter w(packet.code_page, packet.has_metadata ? &packet.fields : nullptr,
               packet.rows.size(), EstimateSize(packet.rows, packet.fields.size()));
  for (const Row& row : packet.rows) w.Add(row.values, row.details);
  return w.Finish();
}

std::vector<uint8_t> Encode(const DeltaPacket& packet) {
  shape::CheckFields(packet.fields);
  Writer w(256 + packet.rows.size() * (8 + packet.fields.size() * 12));
  WriteHeader(w, Kind::Delta, 7, packet.code_page);
  WriteFields(w, packet.fields);
  WriteDeltaRows(w, packet.rows, packet.fields, 0);
  if (packet.table_name) {
    w.Bytes(std::string_view(*packet.table_name));
  } else {
    w.Null();
  }
  return w.Take();
}

std::vector<uint8_t> Encode(const ErrorPacket& packet) {
  Writer w(64 + packet.rows.size() * 64);
  WriteHeader(w, Kind::Error, 5, packet.code_page);
  w.ArrayHeader(packet.rows.size());
  for (const ErrorRow& row : packet.rows) {
    const bool extended = !row.path.empty() || row.row || !row.fields.empty();
    w.ArrayHeader(extended ? kErrorRowWithRowItems : kErrorRowItems);
    w.Int(row.record_number);
    w.Int(row.response);
    w.Bytes(std::string_view(row.message));
    w.Bytes(std::string_view(row.context));
    w.Int(row.category);
    w.Int(row.error_code);
    if (!extended) continue;
    shape::CheckDepth(static_cast<int>(row.path.size()));
    w.ArrayHeader(row.path.size());
    for (const ErrorStep& step : row.path) {
      w.ArrayHeader(2);
      w.Int(step.record_number);
      w.Bytes(std::string_view(step.nested_field));
    }
    shape::CheckErrorRowShape(row);
    w.ArrayHeader(2);
    WriteFields(w, row.fields);
    WriteDeltaRows(w, row.row ? std::vector<DeltaRow>{*row.row} : std::vector<DeltaRow>{},
                   row.fields, 0);
  }
  return w.Take();
}

std::vector<uint8_t> Encode(const ParamPacket& packet) {
  Writer w(64 + packet.params.size() * 32);
  WriteHeader(w, Kind::Params, 5, packet.code_page);
  w.ArrayHeader(packet.params.size());
  for (const PacketParam& p : packet.params) {
    if (p.data_type > FieldType::Boolean) shape::Fail("unknown field type");
    if (p.scale < 0 || p.scale > kMaxParamScale) shape::Fail("parameter scale out of range");
    w.ArrayHeader(p.scale != 0 ? kScaledParamItems : kParamItems);
    w.Bytes(std::string_view(p.name));
    WriteValue(w, p.value);
    w.Unsigned(static_cast<uint64_t>(p.data_type));
    w.Int(p.param_type);
    if (p.scale != 0) w.Int(p.scale);
  }
  return w.Take();
}

DataPacket DecodeData(std::span<const uint8_t> bytes) {
  DataPacket packet;
  Reader r = OpenPacket(bytes, Kind::Data, 6, &packet.code_page);
  packet.has_metadata = !r.TryReadNull();
  if (packet.has_metadata) packet.fields = ReadFields(r, 0);
  packet.rows = ReadRows(r, packet.has_metadata ? &packet.fields : nullptr, 0);
  r.ExpectEnd();
  return packet;
}

DeltaPacket DecodeDelta(std::span<const uint8_t> bytes) {
  DeltaPacket packet;
  Reader r = OpenPacket(bytes, Kind::Delta, 7, &packet.code_page);
  packet.fields = ReadFields(r, 0);
  packet.rows = ReadDeltaRows(r, packet.fields, 0);
  if (!r.TryReadNull()) packet.table_name = ReadString(r);
  r.ExpectEnd();
  return packet;
}

ErrorPacket DecodeError(std::span<const uint8_t> bytes) {
  ErrorPacket packet;
  Reader r = OpenPacket(bytes, Kind::Error, 5, &packet.code_page);
  const uint64_t count = r.ReadArrayHeader();
  packet.rows.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t items = r.ReadArrayHeader();
    if (items != kErrorRowItems && items != kErrorRowWithRowItems) r.Fail("error row of wrong size");
    ErrorRow& row = packet.rows.emplace_back();
    row.record_number = r.ReadInt32();
    row.response = r.ReadInt32();
    row.message = ReadString(r);
    row.context = ReadString(r);
    row.category = r.ReadInt32();
    row.error_code = r.ReadInt32();
    if (items == kErrorRowItems) continue;
    const uint64_t steps = r.ReadArrayHeader();
    shape::CheckDepth(static_cast<int>(std::min<uint64_t>(steps, 1000)));
    for (uint64_t k = 0; k < steps; ++k) {
      r.ExpectArray(2);
      ErrorStep& step = row.path.emplace_back();
      step.record_number = r.ReadInt32();
      step.nested_field = ReadString(r);
    }
    r.ExpectArray(2);
    row.fields = ReadFields(r, 0);
    std::vector<DeltaRow> failed = ReadDeltaRows(r, row.fields, 0);
    if (failed.size() > 1) r.Fail("error row with several failed rows");
    if (!failed.empty()) row.row = std::move(failed.front());
    shape::CheckErrorRowShape(row);
  }
  r.ExpectEnd();
  return packet;
}

ParamPacket DecodeParams(std::span<const uint8_t> bytes) {
  ParamPacket packet;
  Reader r = OpenPacket(bytes, Kind::Params, 5, &packet.code_page);
  const uint64_t count = r.ReadArrayHeader();
  packet.params.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t items = r.ReadArrayHeader();
    if (items != kParamItems && items != kScaledParamItems) r.Fail("parameter of wrong size");
    PacketParam& p = packet.params.emplace_back();
    p.name = ReadString(r);
    p.value = ReadValue(r);
    const uint64_t type = r.ReadUnsigned();
    if (type > static_cast<uint64_t>(FieldType::Boolean)) r.Fail("unknown field type");
    p.data_type = static_cast<FieldType>(type);
    p.param_type = r.ReadInt32();
    if (items == kScaledParamItems) p.scale = r.ReadInt32();
    if (p.scale < 0 || p.scale > kMaxParamScale) r.Fail("parameter scale out of range");
  }
  r.ExpectEnd();
  return packet;
}

}  // namespace orvala::packets::binary
