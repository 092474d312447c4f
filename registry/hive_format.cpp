#include "registry/hive_format.h"

#include <cstdint>

#include "common/hex.h"
#include "common/utf8.h"

namespace orvala::registry {
namespace {

constexpr std::string_view kHeader = "orvala-hive";
constexpr std::string_view kVersion = "1";

// ----------------------------------------------------------------- writing


// Readable text stays as it is; quotes, backslashes, control characters and
// bytes that are not UTF-8 are escaped, so that one line holds one record
// and any bytes come back.
void AppendQuoted(std::string* out, std::string_view bytes) {
  *out += '"';
  while (!bytes.empty()) {
    const unsigned char c = static_cast<unsigned char>(bytes.front());
    size_t taken = 1;
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      *out += static_cast<char>(c);
    } else if (const size_t length = c >= 0x80 ? Utf8SequenceLength(bytes) : 0; length > 0) {
      out->append(bytes.substr(0, length));
      taken = length;
    } else {
      *out += "\\x";
      AppendHexByte(*out, c);
    }
    bytes.remove_prefix(taken);
  }
  *out += '"';
}

void AppendKey(std::string* out, const HiveKey& key, KeyPath* path) {
  if (!path->empty() || !key.values().empty()) {
    *out += "key";
    for (const std::string& name : *path) {
      *out += ' ';
      AppendQuoted(out, name);
    }
    *out += '\n';
  }
  for (const auto& [folded, named] : key.values()) {
    *out += "  value ";
    AppendQuoted(out, named.name);
    *out += ' ';
    *out += ValueTypeName(named.value.type());
    *out += ' ';
    switch (named.value.type()) {
      case ValueType::kDword: *out += std::to_string(named.value.dword()); break;
      case ValueType::kBinary:
        *out += '"';
        for (char byte : named.value.data()) AppendHexByte(*out, static_cast<unsigned char>(byte));
        *out += '"';
        break;
      case ValueType::kText:
      case ValueType::kExpandText: AppendQuoted(out, named.value.data()); break;
    }
    *out += '\n';
  }
  for (const auto& [folded, subkey] : key.subkeys()) {
    path->push_back(subkey->name());
    AppendKey(out, *subkey, path);
    path->pop_back();
  }
}

// ----------------------------------------------------------------- reading


// A cursor over one line of the file. It never looks outside `rest_`; each
// reader returns false with error_ set when the bytes do not fit.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : rest_(line) {}

  const std::string& error() const { return error_; }

  void SkipBlanks() {
    while (!rest_.empty() &&
           (rest_.front() == ' ' || rest_.front() == '\t' || rest_.front() == '\r')) {
      rest_.remove_prefix(1);
    }
  }

  bool AtEnd() {
    SkipBlanks();
    return rest_.empty();
  }

  bool StartsWith(char c) {
    SkipBlanks();
    return !rest_.empty() && rest_.front() == c;
  }

  // A run of letters, digits, '_' and '-'.
  std::string_view Word() {
    SkipBlanks();
    size_t length = 0;
    while (length < rest_.size()) {
      const char c = rest_[length];
      const bool word_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '_' || c == '-';
      if (!word_char) break;
      ++length;
    }
    const std::string_view word = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return word;
  }

  bool Quoted(std::string* bytes) {
    bytes->clear();
    if (!StartsWith('"')) return Fail("expected a quoted string");
    rest_.remove_prefix(1);
    while (!rest_.empty()) {
      const char c = rest_.front();
      rest_.remove_prefix(1);
      if (c == '"') return true;
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) return Fail("control character in a quoted string");
      if (c != '\\') {
        *bytes += c;
        continue;
      }
      if (rest_.empty()) break;
      const char escaped = rest_.front();
      rest_.remove_prefix(1);
      if (escaped == '"' || escaped == '\\') {
        *bytes += escaped;
      } else if (escaped == 'x') {
        const int high = rest_.size() >= 2 ? HexDigit(rest_[0]) : -1;
        const int low = rest_.size() >= 2 ? HexDigit(rest_[1]) : -1;
        if (high < 0 || low < 0) return Fail("\\x not followed by two hex digits");
        *bytes += static_cast<char>(high * 16 + low);
        rest_.remove_prefix(2);
      } else {
        return Fail("unknown escape in a quoted string");
      }
    }
    return Fail("unterminated quoted string");
  }

  bool Dword(uint32_t* number) {
    const std::string_view digits = Word();
    if (digits.empty()) return Fail("expected a REG_DWORD number");
    uint64_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return Fail("expected a REG_DWORD number");
      value = value * 10 + static_cast<uint64_t>(c - '0');
      if (value > UINT32_MAX) return Fail("REG_DWORD number out of range");
    }
    *number = static_cast<uint32_t>(value);
    return true;
  }

  bool HexBytes(std::string* bytes) {
    std::string hex;
    if (!Quoted(&hex)) return false;
    if (hex.size() % 2 != 0) return Fail("odd number of hex digits");
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
      const int high = HexDigit(hex[i]);
      const int low = HexDigit(hex[i + 1]);
      if (high < 0 || low < 0) return Fail("bad hex digit in REG_BINARY data");
      *bytes += static_cast<char>(high * 16 + low);
    }
    return true;
  }

  bool Fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }

 private:
  std::string_view rest_;
  std::string error_;
};

std::optional<ValueType> ValueTypeFromName(std::string_view name) {
  for (ValueType type :
       {ValueType::kText, ValueType::kExpandText, ValueType::kBinary, ValueType::kDword}) {
    if (ValueTypeName(type) == name) return type;
  }
  return std::nullopt;
}

// Reads one record into the hive; *current is the key that "value" lines
// belong to.
bool ReadRecord(LineReader& line, Hive& hive, HiveKey** current) {
  const std::string_view keyword = line.Word();
  if (keyword == "key") {
    KeyPath path;
    std::string name;
    while (!line.AtEnd()) {
      if (!line.Quoted(&name)) return false;
      if (const std::string_view problem = KeyNameProblem(name); !problem.empty()) {
        return line.Fail(std::string(problem));
      }
      if (path.size() == kMaxKeyDepth) return line.Fail("key nested too deep");
      path.push_back(name);
    }
    *current = &hive.Create(path);
    return true;
  }
  if (keyword == "value") {
    if (!*current) return line.Fail("value before the first key");
    std::string name;
    if (!line.Quoted(&name)) return false;
    const std::optional<ValueType> type = ValueTypeFromName(line.Word());
    if (!type) return line.Fail("unknown value type");
    std::optional<Value> value;
    std::string data;
    uint32_t number = 0;
    switch (*type) {
      case ValueType::kDword:
        if (!line.Dword(&number)) return false;
        value = Value::Dword(number);
        break;
      case ValueType::kBinary:
        if (!line.HexBytes(&data)) return false;
        value = Value::Binary(std::move(data));
        break;
      case ValueType::kText:
        if (!line.Quoted(&data)) return false;
        value = Value::Text(std::move(data));
        break;
      case ValueType::kExpandText:
        if (!line.Quoted(&data)) return false;
        value = Value::ExpandText(std::move(data));
        break;
    }
    if (!line.AtEnd()) return line.Fail("unexpected text after the value");
    if ((*current)->FindValue(name)) return line.Fail("value given twice");
    (*current)->SetValue(name, std::move(*value));
    return true;
  }
  return line.Fail("expected 'key' or 'value'");
}

}  // namespace

std::optional<Hive> ParseHive(std::string_view bytes, std::string* error) {
  Hive hive;
  HiveKey* current = nullptr;
  bool seen_header = false;
  size_t line_number = 0;
  while (!bytes.empty()) {
    ++line_number;
    const size_t end = bytes.find('\n');
    LineReader line(bytes.substr(0, end));
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (line.AtEnd() || line.StartsWith('#')) continue;
    bool ok;
    if (!seen_header) {
      ok = line.Word() == kHeader && line.Word() == kVersion && line.AtEnd();
      if (!ok) line.Fail("not an Orvala registry hive (expected 'orvala-hive 1')");
      seen_header = true;
    } else {
      ok = ReadRecord(line, hive, &current);
    }
    if (!ok) {
      *error = "line " + std::to_string(line_number) + ": " + line.error();
      return std::nullopt;
    }
  }
  return hive;
}

std::string SerializeHive(const Hive& hive) {
  std::string out;
  out += kHeader;
  out += ' ';
  out += kVersion;
  out += '\n';
  KeyPath path;
  AppendKey(&out, hive.root(), &path);
  return out;
}

}  // namespace orvala::registry
