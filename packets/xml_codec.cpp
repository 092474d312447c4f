#include "packets/xml_codec.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <pugixml.hpp>

#include "common/codepage.h"
#include "common/error.h"
#include "common/hex.h"
#include "common/utf8.h"
#include "packets/code_pages.h"
#include "packets/shape.h"

namespace orvala::packets::xml {

namespace {

constexpr const char* kRoot = "orvala-packet";
constexpr int kVersion = 1;

// ---- strings ----

bool IsXmlSafe(char16_t unit) {
  // Carriage returns are folded by every XML parser and the other C0
  // controls cannot be written at all, so strings holding them go as hex.
  if (unit < 0x20) return unit == u'\t' || unit == u'\n';
  return !(unit >= 0xD800 && unit <= 0xDFFF) && unit != 0xFFFE && unit != 0xFFFF;
}

bool IsPlainAscii(std::string_view bytes) {
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x7F || (b < 0x20 && b != '\t' && b != '\n')) return false;
  }
  return true;
}

// The packet's single-byte strings as XML text and back. A string that XML
// cannot carry as text, or that the code page would not give back byte for
// byte, is written as hex instead, so that every string survives.
class Strings {
 public:
  explicit Strings(const std::string& code_page)
      : holder_(CodePageNamed(code_page)), cp_(*holder_) {
    for (int b = 0x20; b < 0x7F; ++b) {
      if (cp_.Decode(std::string(1, static_cast<char>(b)))[0] != b) ascii_ = false;
    }
  }

  // False when the string must go as hex.
  bool ToText(std::string_view bytes, std::string* utf8) const {
    if (ascii_ && IsPlainAscii(bytes)) {
      utf8->assign(bytes);
      return true;
    }
    const std::u16string text = cp_.Decode(bytes);
    for (char16_t unit : text) {
      if (!IsXmlSafe(unit)) return false;
    }
    if (cp_.Encode(text) != bytes) return false;
    *utf8 = ToUtf8(text);
    return true;
  }

  std::string FromText(std::string_view utf8) const {
    if (ascii_ && IsPlainAscii(utf8)) return std::string(utf8);
    const std::u16string text = FromUtf8(utf8);
    std::string bytes = cp_.Encode(text);
    if (cp_.Decode(bytes) != text) shape::Fail("text outside the packet's code page");
    return bytes;
  }

  const CodePage& code_page() const { return cp_; }
  bool ascii_compatible() const { return ascii_; }

 private:
  std::shared_ptr<const CodePage> holder_;
  const CodePage& cp_;
  bool ascii_ = true;
};

// The bytes of a string that went as hex.
std::string FromHexText(std::string_view hex) {
  if (hex.size() % 2 != 0) shape::Fail("hex string of odd length");
  std::optional<std::string> bytes = FromHex(hex);
  if (!bytes) shape::Fail("bad hex digit");
  return *std::move(bytes);
}

// ---- names of types and kinds ----

constexpr const char* kFieldTypeNames[] = {"unknown", "smallint", "integer", "bigint",
                                           "double",  "timestamp", "string", "memo",
                                           "blob",    "boolean"};
constexpr const char* kValueTypeNames[] = {"null",   "int16",     "int32",  "int64",
                                           "double", "timestamp", "string", "bool"};
constexpr const char* kUpdateKindNames[] = {"unmodified", "modify", "insert", "delete"};

template <size_t N>
int IndexOf(const char* const (&names)[N], std::string_view name, const char* what) {
  for (size_t i = 0; i < N; ++i) {
    if (name == names[i]) return static_cast<int>(i);
  }
  shape::Fail(std::string("unknown ") + what + " '" + std::string(name) + "'");
}

// The value type that a field of this type holds, or -1 when it has none;
// a value of that type is written without a type attribute.
int NaturalValueIndex(FieldType type) {
  switch (type) {
    case FieldType::SmallInt: return 1;
    case FieldType::Integer: return 2;
    case FieldType::BigInt: return 3;
    case FieldType::Double: return 4;
    case FieldType::Timestamp: return 5;
    case FieldType::String:
    case FieldType::Memo:
    case FieldType::Blob: return 6;
    case FieldType::Boolean: return 7;
    case FieldType::Unknown: break;
  }
  return -1;
}

// ---- scalars as text ----

template <typename T>
std::string IntText(T value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

template <typename T>
T ParseInt(std::string_view text, const char* what) {
  T value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    shape::Fail(std::string("bad ") + what + " '" + std::string(text) + "'");
  }
  return value;
}

// Finite doubles in their shortest form that reads back to the same bits;
// infinities by name; NaNs with their bits, as payloads differ.
std::string DoubleText(double value) {
  if (std::isnan(value)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "NaN(%016" PRIx64 ")", std::bit_cast<uint64_t>(value));
    return buffer;
  }
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

double ParseDouble(std::string_view text) {
  if (text == "INF") return INFINITY;
  if (text == "-INF") return -INFINITY;
  if (text.starts_with("NaN(") && text.size() == 21 && text.back() == ')') {
    uint64_t bits = 0;
    const std::string_view hex = text.substr(4, 16);
    const auto result = std::from_chars(hex.data(), hex.data() + hex.size(), bits, 16);
    if (result.ec != std::errc() || result.ptr != hex.data() + hex.size() ||
        !std::isnan(std::bit_cast<double>(bits))) {
      shape::Fail("bad NaN '" + std::string(text) + "'");
    }
    return std::bit_cast<double>(bits);
  }
  double value = 0;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value)) {
    shape::Fail("bad double '" + std::string(text) + "'");
  }
  return value;
}

// ISO date and time with the 100-microsecond fraction; days beyond the
// years 1 to 9999 as "day,time".
std::string TimestampText(const Timestamp& ts) {
  shape::CheckTimestamp(ts);
  std::string iso = FormatIso(ts);
  if (ParseIso(iso) == ts) return iso;
  return IntText(ts.day) + "," + IntText(ts.time);
}

Timestamp ParseTimestamp(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma != std::string_view::npos) {
    Timestamp ts{ParseInt<int32_t>(text.substr(0, comma), "day"),
                 ParseInt<uint32_t>(text.substr(comma + 1), "time")};
    shape::CheckTimestamp(ts);
    return ts;
  }
  const std::optional<Timestamp> ts = ParseIso(text);
  if (!ts) shape::Fail("bad timestamp '" + std::string(text) + "'");
  return *ts;
}

bool ParseBool(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  shape::Fail("bad boolean '" + std::string(text) + "'");
}

// ---- writing ----

class Writer {
 public:
  // A code page that does not keep ASCII where it is (EBCDIC) cannot hold
  // the markup, so such packets are written in UTF-8 whatever was asked.
  Writer(const std::string& code_page, bool utf8)
      : strings_(code_page), utf8_(utf8 || !strings_.ascii_compatible()) {
    auto decl = doc_.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = utf8_ ? "UTF-8" : code_page.c_str();
  }

  pugi::xml_node Root(const char* kind, const std::string& code_page) {
    auto root = doc_.append_child(kRoot);
    root.append_attribute("kind") = kind;
    root.append_attribute("version") = kVersion;
    root.append_attribute("code-page") = code_page.c_str();
    return root;
  }

  // A string attribute, or "<name>-hex" when it must go as hex.
  void StringAttribute(pugi::xml_node node, const char* name, std::string_view bytes) {
    std::string text;
    if (strings_.ToText(bytes, &text)) {
      node.append_attribute(name) = text.c_str();
    } else {
      node.append_attribute((std::string(name) + "-hex").c_str()) = ToHex(bytes).c_str();
    }
  }

  void StringText(pugi::xml_node node, std::string_view bytes) {
    std::string text;
    if (strings_.ToText(bytes, &text)) {
      node.text().set(text.c_str());
    } else {
      node.append_attribute("enc") = "hex";
      node.text().set(ToHex(bytes).c_str());
    }
  }

  void Fields(pugi::xml_node parent, const std::vector<Field>& fields) {
    for (const Field& f : fields) {
      auto node = parent.append_child("field");
      StringAttribute(node, "name", f.name);
      node.append_attribute("type") = kFieldTypeNames[static_cast<int>(f.type)];
      node.append_attribute("size") = f.size;
      node.append_attribute("scale") = f.scale;
      node.append_attribute("required") = f.required;
      StringAttribute(node, "origin", f.origin);
      node.append_attribute("prov-flags") = f.prov_flags;
      node.append_attribute("server-calc") = f.server_calc;
      Fields(node, f.children);
    }
  }

  void Item(pugi::xml_node parent, const Value& value, int natural) {
    if (IsNull(value)) {
      parent.append_child("null");
      return;
    }
    auto node = parent.append_child("v");
    const int index = static_cast<int>(value.index());
    if (index != natural) node.append_attribute("t") = kValueTypeNames[index];
    switch (index) {
      case 1: node.text().set(IntText(std::get<int16_t>(value)).c_str()); return;
      case 2: node.text().set(IntText(std::get<int32_t>(value)).c_str()); return;
      case 3: node.text().set(IntText(std::get<int64_t>(value)).c_str()); return;
      case 4: node.text().set(DoubleText(std::get<double>(value)).c_str()); return;
      case 5: node.text().set(TimestampText(std::get<Timestamp>(value)).c_str()); return;
      case 6: StringText(node, std::get<std::string>(value)); return;
      case 7: node.text().set(std::get<bool>(value) ? "true" : "false"); return;
    }
  }

  // Row items in field order: values of plain fields, <nested> for nested
  // ones. Without fields the values come first, each with its type.
  void Rows(pugi::xml_node parent, const std::vector<Row>& rows,
            const std::vector<Field>* fields, int depth) {
    shape::CheckDepth(depth);
    std::optional<shape::Widths> widths;
    if (fields) widths.emplace(*fields);
    for (const Row& row : rows) {
      auto node = parent.append_child("row");
      if (!fields) {
        shape::CheckSameWidth(row, rows.front());
        for (const Value& v : row.values) Item(node, v, -1);
        for (const auto& detail : row.details) Rows(node.append_child("nested"), detail, nullptr, depth + 1);
        continue;
      }
      shape::CheckRow(row, *widths);
      size_t plain = 0, nested = 0;
      for (const Field& f : *fields) {
        if (f.is_nested()) {
          Rows(node.append_child("nested"), row.details[nested++], &f.children, depth + 1);
        } else {
          Item(node, row.values[plain++], NaturalValueIndex(f.type));
        }
      }
    }
  }

  void DeltaRows(pugi::xml_node parent, const std::vector<DeltaRow>& rows,
                 const std::vector<Field>& fields, int depth) {
    shape::CheckDepth(depth);
    const shape::Widths widths(fields);
    std::vector<int> natural;
    std::vector<const std::vector<Field>*> children;
    for (const Field& f : fields) {
      if (f.is_nested()) {
        children.push_back(&f.children);
      } else {
        natural.push_back(NaturalValueIndex(f.type));
      }
    }
    for (const DeltaRow& row : rows) {
      shape::CheckRow(row, widths);
      auto node = parent.append_child("row");
      node.append_attribute("kind") = kUpdateKindNames[static_cast<int>(row.kind)];
      auto old_node = node.append_child("old");
      for (size_t i = 0; i < row.old_values.size(); ++i) Item(old_node, row.old_values[i], natural[i]);
      auto new_node = node.append_child("new");
      for (size_t i = 0; i < row.new_values.size(); ++i) {
        if (row.new_values[i]) {
          Item(new_node, *row.new_values[i], natural[i]);
        } else {
          new_node.append_child("unchanged");
        }
      }
      for (size_t i = 0; i < row.details.size(); ++i) {
        DeltaRows(node.append_child("nested"), row.details[i], *children[i], depth + 1);
      }
    }
  }

  std::vector<uint8_t> Finish() {
    struct Sink : pugi::xml_writer {
      std::string text;
      void write(const void* data, size_t size) override {
        text.append(static_cast<const char*>(data), size);
      }
    } sink;
    doc_.save(sink, "  ", pugi::format_default, pugi::encoding_utf8);
    // Plain ASCII is the same text in UTF-8 and in a code page that keeps
    // ASCII where it is.
    if (utf8_ || IsPlainAscii(sink.text)) return std::vector<uint8_t>(sink.text.begin(), sink.text.end());
    // Every character of the document came from the code page or is ASCII
    // markup, so the code page holds all of them.
    const std::string bytes = strings_.code_page().Encode(FromUtf8(sink.text));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }

 private:
  pugi::xml_document doc_;
  Strings strings_;
  bool utf8_;
};

// ---- reading ----

// The encoding that the XML declaration names, or "" when it names none.
std::string DeclaredEncoding(std::string_view text) {
  if (!text.starts_with("<?xml")) return "";
  const size_t end = text.find("?>");
  if (end == std::string_view::npos) return "";
  const std::string_view decl = text.substr(0, end);
  size_t pos = decl.find("encoding");
  if (pos == std::string_view::npos) return "";
  pos += 8;
  while (pos < decl.size() && (decl[pos] == ' ' || decl[pos] == '=' || decl[pos] == '\t')) ++pos;
  if (pos >= decl.size() || (decl[pos] != '"' && decl[pos] != '\'')) return "";
  const size_t close = decl.find(decl[pos], pos + 1);
  if (close == std::string_view::npos) return "";
  return std::string(decl.substr(pos + 1, close - pos - 1));
}

bool IsUtf8Name(const std::string& name) {
  return name.empty() || strcasecmp(name.c_str(), "UTF-8") == 0 || strcasecmp(name.c_str(), "UTF8") == 0;
}

// Element children only; blanks between elements are layout.
template <typename F>
void ForEachElement(pugi::xml_node node, F&& f) {
  for (auto child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) {
      f(child);
    } else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      const std::string_view text = child.value();
      if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
        shape::Fail(std::string("unexpected text in <") + node.name() + ">");
      }
    }
  }
}

// A value's text may come in several pieces (character data, CDATA
// sections) from writers other than ours; they are joined in `pieces`. Our
// own values come in one piece, which is looked at where it lies.
std::string_view ElementText(pugi::xml_node node, std::string& pieces) {
  const auto first = node.first_child();
  if (first && !first.next_sibling() && first.type() == pugi::node_pcdata) return first.value();
  pieces.clear();
  for (auto child = first; child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      pieces += child.value();
    } else if (child.type() == pugi::node_element) {
      shape::Fail(std::string("element inside <") + node.name() + ">");
    }
  }
  return pieces;
}

void ExpectName(pugi::xml_node node, const char* name) {
  if (std::strcmp(node.name(), name) != 0) {
    shape::Fail(std::string("<") + name + "> expected, found <" + node.name() + ">");
  }
}

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const std::string declared = DeclaredEncoding(text);
    std::string converted;
    if (!IsUtf8Name(declared) && !(IsPlainAscii(text) && Strings(declared).ascii_compatible())) {
      converted = ToUtf8(CodePageNamed(declared)->Decode(text));
      text = converted;
    }
    const auto result = doc_.load_buffer(text.data(), text.size(),
                                         pugi::parse_default | pugi::parse_ws_pcdata_single,
                                         pugi::encoding_utf8);
    if (!result) {
      shape::Fail(std::string("XML ") + result.description() + " at offset " +
                  std::to_string(result.offset));
    }
    root_ = doc_.document_element();
    ExpectName(root_, kRoot);
    if (Int<int>(root_, "version", 0) != kVersion) shape::Fail("unknown packet version");
    code_page_ = Attribute(root_, "code-page");
    if (code_page_.empty()) shape::Fail("packet without code page");
    strings_.emplace(code_page_);
  }

  pugi::xml_node Open(const char* kind) {
    if (std::strcmp(root_.attribute("kind").value(), kind) != 0) {
      shape::Fail(std::string("not a ") + kind + " packet");
    }
    return root_;
  }

  const std::string& code_page() const { return code_page_; }

  static std::string Attribute(pugi::xml_node node, const char* name) {
    return node.attribute(name).value();
  }

  template <typename T>
  static T Int(pugi::xml_node node, const char* name, T fallback) {
    const auto attribute = node.attribute(name);
    if (!attribute) return fallback;
    return ParseInt<T>(attribute.value(), name);
  }

  static bool Bool(pugi::xml_node node, const char* name) {
    const auto attribute = node.attribute(name);
    return attribute && ParseBool(attribute.value());
  }

  std::string StringAttribute(pugi::xml_node node, const char* name) const {
    if (const auto hex = node.attribute((std::string(name) + "-hex").c_str())) {
      return FromHexText(hex.value());
    }
    return strings_->FromText(node.attribute(name).value());
  }

  std::optional<std::string> OptionalStringAttribute(pugi::xml_node node, const char* name) const {
    if (!node.attribute(name) && !node.attribute((std::string(name) + "-hex").c_str())) {
      return std::nullopt;
    }
    return StringAttribute(node, name);
  }

  std::string StringText(pugi::xml_node node) const {
    std::string pieces;
    return StringText(node, ElementText(node, pieces));
  }

  // The string of an element whose text is `text`.
  std::string StringText(pugi::xml_node node, std::string_view text) const {
    const auto enc = node.attribute("enc");
    if (enc) {
      if (std::strcmp(enc.value(), "hex") != 0) shape::Fail("unknown string encoding");
      return FromHexText(text);
    }
    return strings_->FromText(text);
  }

  std::vector<Field> Fields(pugi::xml_node parent, int depth) const {
    std::vector<Field> fields;
    ForEachElement(parent, [&](pugi::xml_node node) {
      ExpectName(node, "field");
      shape::CheckDepth(depth);
      Field& f = fields.emplace_back();
      f.name = StringAttribute(node, "name");
      f.type = static_cast<FieldType>(
          IndexOf(kFieldTypeNames, node.attribute("type").value(), "field type"));
      f.size = Int<int>(node, "size", 0);
      f.scale = Int<int>(node, "scale", 0);
      f.required = Bool(node, "required");
      f.origin = StringAttribute(node, "origin");
      f.prov_flags = Int<uint8_t>(node, "prov-flags", kInUpdate | kInWhere);
      f.server_calc = Bool(node, "server-calc");
      f.children = Fields(node, depth + 1);
    });
    return fields;
  }

  Value Item(pugi::xml_node node, int natural) const {
    if (std::strcmp(node.name(), "null") == 0) return Value{};
    ExpectName(node, "v");
    int index = natural;
    if (const auto t = node.attribute("t")) index = IndexOf(kValueTypeNames, t.value(), "value type");
    std::string pieces;
    const std::string_view text = ElementText(node, pieces);
    switch (index) {
      case 1: return Value{ParseInt<int16_t>(text, "int16")};
      case 2: return Value{ParseInt<int32_t>(text, "int32")};
      case 3: return Value{ParseInt<int64_t>(text, "int64")};
      case 4: return Value{ParseDouble(text)};
      case 5: return Value{ParseTimestamp(text)};
      case 6: return Value{StringText(node, text)};
      case 7: return Value{ParseBool(text)};
      case 0: shape::Fail("<v> of type null");
      default: shape::Fail("value without a type");
    }
  }

  std::vector<Row> Rows(pugi::xml_node parent, const std::vector<Field>* fields, int depth) const {
    shape::CheckDepth(depth);
    std::vector<Row> rows;
    std::optional<shape::Widths> widths;
    if (fields) widths.emplace(*fields);
    ForEachElement(parent, [&](pugi::xml_node node) {
      ExpectName(node, "row");
      Row& row = rows.emplace_back();
      size_t k = 0;
      ForEachElement(node, [&](pugi::xml_node item) {
        if (fields && k >= fields->size()) shape::Fail("row wider than the fields");
        const Field* field = fields ? &(*fields)[k] : nullptr;
        ++k;
        if (std::strcmp(item.name(), "nested") == 0) {
          if (field && !field->is_nested()) shape::Fail("nested table in a plain field");
          row.details.push_back(Rows(item, field ? &field->children : nullptr, depth + 1));
          return;
        }
        if (field && field->is_nested()) shape::Fail("value in a nested-table field");
        if (!field && !row.details.empty()) shape::Fail("value after a nested table");
        row.values.push_back(Item(item, field ? NaturalValueIndex(field->type) : -1));
      });
      if (widths) {
        shape::CheckRow(row, *widths);
      } else {
        shape::CheckSameWidth(row, rows.front());
      }
    });
    return rows;
  }

  std::vector<DeltaRow> DeltaRows(pugi::xml_node parent, const std::vector<Field>& fields,
                                  int depth) const {
    shape::CheckDepth(depth);
    const shape::Widths widths(fields);
    std::vector<int> natural;
    std::vector<const std::vector<Field>*> children;
    for (const Field& f : fields) {
      if (f.is_nested()) {
        children.push_back(&f.children);
      } else {
        natural.push_back(NaturalValueIndex(f.type));
      }
    }
    auto natural_at = [&](size_t i) {
      if (i >= natural.size()) shape::Fail("delta row wider than the fields");
      return natural[i];
    };
    std::vector<DeltaRow> rows;
    ForEachElement(parent, [&](pugi::xml_node node) {
      ExpectName(node, "row");
      DeltaRow& row = rows.emplace_back();
      row.kind = static_cast<UpdateKind>(
          IndexOf(kUpdateKindNames, node.attribute("kind").value(), "update kind"));
      bool seen_old = false, seen_new = false;
      ForEachElement(node, [&](pugi::xml_node part) {
        const std::string_view name = part.name();
        if (name == "old" && !seen_old && !seen_new && row.details.empty()) {
          seen_old = true;
          ForEachElement(part, [&](pugi::xml_node item) {
            row.old_values.push_back(Item(item, natural_at(row.old_values.size())));
          });
        } else if (name == "new" && !seen_new && row.details.empty()) {
          seen_new = true;
          ForEachElement(part, [&](pugi::xml_node item) {
            const int type = natural_at(row.new_values.size());
            if (std::strcmp(item.name(), "unchanged") == 0) {
              row.new_values.emplace_back();
            } else {
              row.new_values.emplace_back(Item(item, type));
            }
          });
        } else if (name == "nested") {
          if (row.details.size() >= children.size()) shape::Fail("more nested deltas than nested fields");
          row.details.push_back(DeltaRows(part, *children[row.details.size()], depth + 1));
        } else {
          shape::Fail("unexpected <" + std::string(name) + "> in a delta row");
        }
      });
      shape::CheckRow(row, widths);
    });
    return rows;
  }

 private:
  pugi::xml_document doc_;
  pugi::xml_node root_;
  std::string code_page_;
  std::optional<Strings> strings_;
};

// The one child element of this name, or none.
pugi::xml_node Child(pugi::xml_node parent, const char* name) {
  pugi::xml_node found;
  ForEachElement(parent, [&](pugi::xml_node node) {
    if (std::strcmp(node.name(), name) != 0) return;
    if (found) shape::Fail(std::string("more than one <") + name + ">");
    found = node;
  });
  return found;
}

pugi::xml_node RequiredChild(pugi::xml_node parent, const char* name) {
  const pugi::xml_node node = Child(parent, name);
  if (!node) shape::Fail(std::string("<") + name + "> missing");
  return node;
}

void ExpectOnly(pugi::xml_node parent, std::initializer_list<const char*> names) {
  ForEachElement(parent, [&](pugi::xml_node node) {
    for (const char* name : names) {
      if (std::strcmp(node.name(), name) == 0) return;
    }
    shape::Fail(std::string("unexpected <") + node.name() + ">");
  });
}

}  // namespace

bool LooksXml(std::span<const uint8_t> bytes) {
  size_t i = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
  while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n')) ++i;
  return i < bytes.size() && bytes[i] == '<';
}

std::vector<uint8_t> Encode(const DataPacket& packet, bool utf8) {
  Writer w(packet.code_page, utf8);
  auto root = w.Root("data", packet.code_page);
  if (packet.has_metadata) {
    shape::CheckFields(packet.fields);
    w.Fields(root.append_child("fields"), packet.fields);
  }
  w.Rows(root.append_child("rows"), packet.rows, packet.has_metadata ? &packet.fields : nullptr, 0);
  return w.Finish();
}

std::vector<uint8_t> Encode(const DeltaPacket& packet, bool utf8) {
  shape::CheckFields(packet.fields);
  Writer w(packet.code_page, utf8);
  auto root = w.Root("delta", packet.code_page);
  if (packet.table_name) w.StringAttribute(root, "table-name", *packet.table_name);
  w.Fields(root.append_child("fields"), packet.fields);
  w.DeltaRows(root.append_child("rows"), packet.rows, packet.fields, 0);
  return w.Finish();
}

std::vector<uint8_t> Encode(const ErrorPacket& packet, bool utf8) {
  Writer w(packet.code_page, utf8);
  auto root = w.Root("error", packet.code_page);
  auto rows = root.append_child("rows");
  for (const ErrorRow& row : packet.rows) {
    auto node = rows.append_child("error");
    node.append_attribute("record-number") = row.record_number;
    node.append_attribute("response") = row.response;
    node.append_attribute("category") = row.category;
    node.append_attribute("error-code") = row.error_code;
    w.StringText(node.append_child("message"), row.message);
    w.StringText(node.append_child("context"), row.context);
    if (!row.path.empty()) {
      shape::CheckDepth(static_cast<int>(row.path.size()));
      auto path = node.append_child("path");
      for (const ErrorStep& step : row.path) {
        auto step_node = path.append_child("step");
        step_node.append_attribute("record-number") = step.record_number;
        w.StringAttribute(step_node, "field", step.nested_field);
      }
    }
    if (row.row || !row.fields.empty()) {
      shape::CheckErrorRowShape(row);
      auto failed = node.append_child("failed");
      w.Fields(failed.append_child("fields"), row.fields);
      w.DeltaRows(failed.append_child("rows"),
                  row.row ? std::vector<DeltaRow>{*row.row} : std::vector<DeltaRow>{}, row.fields,
                  0);
    }
  }
  return w.Finish();
}

std::vector<uint8_t> Encode(const ParamPacket& packet, bool utf8) {
  Writer w(packet.code_page, utf8);
  auto root = w.Root("params", packet.code_page);
  auto params = root.append_child("params");
  for (const PacketParam& p : packet.params) {
    if (p.data_type > FieldType::Boolean) shape::Fail("unknown field type");
    auto node = params.append_child("param");
    w.StringAttribute(node, "name", p.name);
    node.append_attribute("data-type") = kFieldTypeNames[static_cast<int>(p.data_type)];
    node.append_attribute("param-type") = p.param_type;
    if (p.scale < 0 || p.scale > kMaxParamScale) shape::Fail("parameter scale out of range");
    if (p.scale != 0) node.append_attribute("scale") = p.scale;
    w.Item(node, p.value, NaturalValueIndex(p.data_type));
  }
  return w.Finish();
}

DataPacket DecodeData(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  const auto root = r.Open("data");
  ExpectOnly(root, {"fields", "rows"});
  DataPacket packet;
  packet.code_page = r.code_page();
  const auto fields = Child(root, "fields");
  packet.has_metadata = static_cast<bool>(fields);
  if (fields) packet.fields = r.Fields(fields, 0);
  packet.rows = r.Rows(RequiredChild(root, "rows"), fields ? &packet.fields : nullptr, 0);
  return packet;
}

DeltaPacket DecodeDelta(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  const auto root = r.Open("delta");
  ExpectOnly(root, {"fields", "rows"});
  DeltaPacket packet;
  packet.code_page = r.code_page();
  packet.table_name = r.OptionalStringAttribute(root, "table-name");
  packet.fields = r.Fields(RequiredChild(root, "fields"), 0);
  packet.rows = r.DeltaRows(RequiredChild(root, "rows"), packet.fields, 0);
  return packet;
}

ErrorPacket DecodeError(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  const auto root = r.Open("error");
  ExpectOnly(root, {"rows"});
  ErrorPacket packet;
  packet.code_page = r.code_page();
  ForEachElement(RequiredChild(root, "rows"), [&](pugi::xml_node node) {
    ExpectName(node, "error");
    ExpectOnly(node, {"message", "context", "path", "failed"});
    ErrorRow& row = packet.rows.emplace_back();
    row.record_number = Reader::Int<int32_t>(node, "record-number", 0);
    row.response = Reader::Int<int32_t>(node, "response", kResponseSkip);
    row.category = Reader::Int<int32_t>(node, "category", 1);
    row.error_code = Reader::Int<int32_t>(node, "error-code", 0);
    if (const auto message = Child(node, "message")) row.message = r.StringText(message);
    if (const auto context = Child(node, "context")) row.context = r.StringText(context);
    if (const auto path = Child(node, "path")) {
      ForEachElement(path, [&](pugi::xml_node step_node) {
        ExpectName(step_node, "step");
        ErrorStep& step = row.path.emplace_back();
        step.record_number = Reader::Int<int32_t>(step_node, "record-number", 0);
        step.nested_field = r.StringAttribute(step_node, "field");
        shape::CheckDepth(static_cast<int>(row.path.size()));
      });
    }
    if (const auto failed = Child(node, "failed")) {
      ExpectOnly(failed, {"fields", "rows"});
      row.fields = r.Fields(RequiredChild(failed, "fields"), 0);
      std::vector<DeltaRow> rows = r.DeltaRows(RequiredChild(failed, "rows"), row.fields, 0);
      if (rows.size() > 1) shape::Fail("error row with several failed rows");
      if (!rows.empty()) row.row = std::move(rows.front());
      shape::CheckErrorRowShape(row);
    }
  });
  return packet;
}

ParamPacket DecodeParams(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  const auto root = r.Open("params");
  ExpectOnly(root, {"params"});
  ParamPacket packet;
  packet.code_page = r.code_page();
  ForEachElement(RequiredChild(root, "params"), [&](pugi::xml_node node) {
    ExpectName(node, "param");
    PacketParam& p = packet.params.emplace_back();
    p.name = r.StringAttribute(node, "name");
    p.data_type = static_cast<FieldType>(
        IndexOf(kFieldTypeNames, node.attribute("data-type").value(), "field type"));
    p.param_type = Reader::Int<int32_t>(node, "param-type", kParamInput);
    p.scale = Reader::Int<int32_t>(node, "scale", 0);
    if (p.scale < 0 || p.scale > kMaxParamScale) shape::Fail("parameter scale out of range");
    int values = 0;
    ForEachElement(node, [&](pugi::xml_node item) {
      if (++values > 1) shape::Fail("parameter with more than one value");
      p.value = r.Item(item, NaturalValueIndex(p.data_type));
    });
    if (values == 0) shape::Fail("parameter without a value");
  });
  return packet;
}

}  // namespace orvala::packets::xml
