#include "json/packet_json.h"

#include <limits>
#include <set>

#include "packets/code_pages.h"
#include "common/ascii.h"
#include "common/datetime.h"
#include "common/error.h"
#include "common/hex.h"
#include "common/utf8.h"

namespace orvala::json {
namespace {

constexpr const char* kNested = "Nested";

FieldType FieldTypeNamed(const std::string& name) {
  for (FieldType t : {FieldType::SmallInt, FieldType::Integer, FieldType::BigInt,
                      FieldType::Double, FieldType::Timestamp, FieldType::String, FieldType::Memo,
                      FieldType::Blob, FieldType::Boolean, FieldType::Unknown}) {
    if (EqualsIgnoreCase(FieldTypeName(t), name)) return t;
  }
  throw Error("unknown field type '" + name + "'");
}

std::string Text(const std::string& bytes, const CodePage& code_page) {
  return ToUtf8(code_page.Decode(bytes));
}

[[noreturn]] void Unfit(const packets::Field& field, const Json& json) {
  throw Error("field " + field.name + " of type " + FieldTypeName(field.type) +
              " cannot take " + json.dump());
}

int64_t Integer(const Json& json, const packets::Field& field, int64_t low, int64_t high) {
  if (!json.is_number_integer()) Unfit(field, json);
  if (json.is_number_unsigned() && json.get<uint64_t>() > static_cast<uint64_t>(high)) {
    Unfit(field, json);
  }
  const int64_t n = json.get<int64_t>();
  if (n < low || n > high) Unfit(field, json);
  return n;
}

Timestamp TimestampOf(const Json& json, const packets::Field& field) {
  const Json& text = json.is_object() && json.contains("date") ? json.at("date") : json;
  if (!text.is_string()) Unfit(field, json);
  const std::optional<Timestamp> ts = ParseIso(text.get<std::string>());
  if (!ts) Unfit(field, json);
  return *ts;
}

// The plain field of a name, without regard to case: its index among the
// plain fields.
size_t PlainIndex(const std::vector<packets::Field>& fields, const std::string& name) {
  size_t plain = 0;
  for (const packets::Field& f : fields) {
    if (f.is_nested()) continue;
    if (EqualsIgnoreCase(f.name, name)) return plain;
    ++plain;
  }
  throw Error("the provider has no field " + name);
}

const packets::Field& PlainField(const std::vector<packets::Field>& fields, size_t plain_index) {
  size_t plain = 0;
  for (const packets::Field& f : fields) {
    if (f.is_nested()) continue;
    if (plain++ == plain_index) return f;
  }
  throw Error("no such field");
}

// A row object: the value of each field it names, by plain index.
std::vector<std::pair<size_t, Value>> RowValues(const Json& row,
                                                const std::vector<packets::Field>& fields,
                                                const CodePage& code_page, const char* what) {
  if (!row.is_object()) throw Error(std::string(what) + " must be an object of field and value");
  std::vector<std::pair<size_t, Value>> values;
  for (const auto& [name, value] : row.items()) {
    const size_t index = PlainIndex(fields, name);
    values.emplace_back(index, ValueFromJson(value, PlainField(fields, index), code_page));
  }
  return values;
}

const Json& ListOf(const Json& json, const char* key) {
  static const Json kEmpty = Json::array();
  if (!json.contains(key)) return kEmpty;
  const Json& list = json.at(key);
  if (!list.is_array()) throw Error(std::string("\"") + key + "\" must be an array");
  return list;
}

}  // namespace

Json FieldsToJson(const std::vector<packets::Field>& fields) {
  Json out = Json::array();
  for (const packets::Field& f : fields) {
    Json field = Json::object();
    field["name"] = f.name;
    if (f.is_nested()) {
      field["type"] = kNested;
      field["fields"] = FieldsToJson(f.children);
    } else {
      field["type"] = FieldTypeName(f.type);
      field["size"] = f.size;
      field["required"] = f.required;
      if (f.scale != 0) field["scale"] = f.scale;
      if (!f.origin.empty()) field["origin"] = f.origin;
    }
    out.push_back(std::move(field));
  }
  return out;
}

std::vector<packets::Field> FieldsFromJson(const Json& json) {
  if (!json.is_array()) throw Error("\"fields\" must be an array");
  std::vector<packets::Field> fields;
  for (const Json& item : json) {
    if (!item.is_object() || !item.contains("name") || !item.at("name").is_string()) {
      throw Error("each field needs a \"name\"");
    }
    packets::Field f;
    f.name = item.at("name").get<std::string>();
    const std::string type = item.value("type", std::string("String"));
    if (type == kNested || item.contains("fields")) {
      f.children = FieldsFromJson(item.at("fields"));
      if (f.children.empty()) throw Error("nested field " + f.name + " has no fields");
    } else {
      f.type = FieldTypeNamed(type);
    }
    f.size = item.value("size", 0);
    f.scale = item.value("scale", 0);
    f.required = item.value("required", false);
    f.origin = item.value("origin", std::string());
    if (item.contains("provFlags")) f.prov_flags = item.at("provFlags").get<uint8_t>();
    fields.push_back(std::move(f));
  }
  return fields;
}

Json ValueToJson(const Value& value, const packets::Field& field, const CodePage& code_page) {
  return std::visit(
      [&](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, Timestamp>) {
          return FormatIso(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return field.type == FieldType::Blob ? ToHex(v) : Text(v, code_page);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          if (field.scale > 0) return FormatScaled(v, field.scale);
          return v;
        } else {
          return v;
        }
      },
      value);
}

Value ValueFromJson(const Json& json, const packets::Field& field, const CodePage& code_page) {
  if (json.is_null()) return Value{};
  switch (field.type) {
    case FieldType::SmallInt:
      return static_cast<int16_t>(Integer(json, field, INT16_MIN, INT16_MAX));
    case FieldType::Integer:
      return static_cast<int32_t>(Integer(json, field, INT32_MIN, INT32_MAX));
    case FieldType::BigInt:
      if (field.scale > 0 && json.is_string()) {
        return ParseScaled(json.get<std::string>(), field.scale);
      }
      if (field.scale > 0 && json.is_number()) {
        return ParseScaled(json.dump(), field.scale);
      }
      return Integer(json, field, INT64_MIN, INT64_MAX);
    case FieldType::Double:
      if (!json.is_number()) Unfit(field, json);
      return json.get<double>();
    case FieldType::Timestamp:
      return TimestampOf(json, field);
    case FieldType::String:
    case FieldType::Memo:
      if (!json.is_string()) Unfit(field, json);
      return code_page.Encode(FromUtf8(json.get<std::string>()));
    case FieldType::Blob:
      if (!json.is_string()) Unfit(field, json);
      return BytesFromHex(json.get<std::string>());
    case FieldType::Boolean:
      if (!json.is_boolean()) Unfit(field, json);
      return json.get<bool>();
    case FieldType::Unknown:
      break;
  }
  Unfit(field, json);
}

Json RowsToJson(const std::vector<packets::Field>& fields, const std::vector<packets::Row>& rows,
                const CodePage& code_page) {
  Json out = Json::array();
  for (const packets::Row& row : rows) {
    Json values = Json::array();
    size_t plain = 0, nested = 0;
    for (const packets::Field& f : fields) {
      if (f.is_nested()) {
        values.push_back(nested < row.details.size()
                             ? RowsToJson(f.children, row.details[nested], code_page)
                             : Json::array());
        ++nested;
      } else {
        values.push_back(plain < row.values.size() ? ValueToJson(row.values[plain], f, code_page)
                                                   : Json());
        ++plain;
      }
    }
    out.push_back(std::move(values));
  }
  return out;
}

Json ErrorRowsToJson(const packets::ErrorPacket& errors) {
  Json out = Json::array();
  for (const packets::ErrorRow& e : errors.rows) {
    Json row = Json::object();
    row["record"] = e.record_number;
    row["response"] = e.response;
    row["message"] = Text(e.message, CodePage::System());
    row["context"] = Text(e.context, CodePage::System());
    row["category"] = e.category;
    row["errorCode"] = e.error_code;
    // A detail row of a nested delta: its parents from the top level down.
    if (!e.path.empty()) {
      Json path = Json::array();
      for (const packets::ErrorStep& step : e.path) {
        path.push_back({{"record", step.record_number},
                        {"field", Text(step.nested_field, CodePage::System())}});
      }
      row["path"] = std::move(path);
    }
    // The failed row's values by field name, new ones only where given.
    if (e.row) {
      static constexpr const char* kKinds[] = {"unmodified", "modify", "insert", "delete"};
      Json failed = {{"kind", kKinds[static_cast<int>(e.row->kind)]}};
      Json old_values = Json::object(), new_values = Json::object();
      for (size_t i = 0; i < e.fields.size(); ++i) {
        const std::string name = Text(e.fields[i].name, CodePage::System());
        if (i < e.row->old_values.size()) {
          old_values[name] = ValueToJson(e.row->old_values[i], e.fields[i], CodePage::System());
        }
        if (i < e.row->new_values.size() && e.row->new_values[i]) {
          new_values[name] = ValueToJson(*e.row->new_values[i], e.fields[i], CodePage::System());
        }
      }
      if (!e.row->old_values.empty()) failed["old"] = std::move(old_values);
      if (!e.row->new_values.empty()) failed["new"] = std::move(new_values);
      row["row"] = std::move(failed);
    }
    out.push_back(std::move(row));
  }
  return out;
}

Json ParamsToJson(const packets::ParamPacket& params) {
  Json out = Json::array();
  for (const packets::PacketParam& p : params.params) {
    packets::Field as_field;
    as_field.type = p.data_type;
    as_field.scale = p.scale;
    Json param = Json::object();
    param["name"] = p.name;
    param["type"] = FieldTypeName(p.data_type);
    param["paramType"] = p.param_type;
    if (p.scale != 0) param["scale"] = p.scale;
    param["value"] = ValueToJson(p.value, as_field, CodePage::System());
    out.push_back(std::move(param));
  }
  return out;
}

packets::ParamPacket ParamsFromJson(const Json& object) {
  if (!object.is_object()) throw Error("parameters must be an object of name and value");
  packets::ParamPacket packet;
  packet.code_page = CodePage::System().name();
  for (const auto& [name, value] : object.items()) {
    packets::PacketParam p;
    p.name = CodePage::System().Encode(FromUtf8(name));
    if (value.is_null()) {
      p.data_type = FieldType::String;
    } else if (value.is_boolean()) {
      p.data_type = FieldType::Boolean;
      p.value = value.get<bool>();
    } else if (value.is_number_integer()) {
      packets::Field wide;
      wide.name = name;
      wide.type = FieldType::BigInt;
      const int64_t n = std::get<int64_t>(ValueFromJson(value, wide, CodePage::System()));
      if (n >= INT32_MIN && n <= INT32_MAX) {
        p.data_type = FieldType::Integer;
        p.value = static_cast<int32_t>(n);
      } else {
        p.data_type = FieldType::BigInt;
        p.value = n;
      }
    } else if (value.is_number()) {
      p.data_type = FieldType::Double;
      p.value = value.get<double>();
    } else if (value.is_string()) {
      p.data_type = FieldType::String;
      p.value = CodePage::System().Encode(FromUtf8(value.get<std::string>()));
    } else if (value.is_object() && value.size() == 1 && value.contains("date")) {
      packets::Field date;
      date.name = name;
      date.type = FieldType::Timestamp;
      p.data_type = FieldType::Timestamp;
      p.value = ValueFromJson(value, date, CodePage::System());
    } else {
      throw Error("parameter " + name + " cannot take " + value.dump());
    }
    packet.params.push_back(std::move(p));
  }
  return packet;
}

bool IsDeltaJson(const Json& json) {
  return json.is_object() && !json.contains("vt") && !json.contains("date");
}

packets::DeltaPacket DeltaFromJson(const Json& json, const std::vector<packets::Field>& fields,
                                   const std::string& code_page_name) {
  if (!IsDeltaJson(json)) throw Error("a delta must be an object");
  for (const auto& [key, ignored] : json.items()) {
    static const std::set<std::string> kKeys = {"fields", "table", "modify", "insert", "delete"};
    if (!kKeys.count(key)) throw Error("unexpected key \"" + key + "\" in a delta");
  }
  packets::DeltaPacket delta;
  delta.code_page = code_page_name;
  delta.fields = json.contains("fields") ? FieldsFromJson(json.at("fields")) : fields;
  if (delta.fields.empty()) throw Error("the delta has no field descriptions");
  if (json.contains("table")) {
    if (!json.at("table").is_string()) throw Error("\"table\" must be text");
    delta.table_name = json.at("table").get<std::string>();
  }
  const std::shared_ptr<const CodePage> held = packets::CodePageNamed(code_page_name);
  const CodePage& code_page = *held;
  const size_t width = packets::PlainFieldCount(delta.fields);

  // The fields named by the first "old" find every row; the others must agree.
  std::optional<std::set<size_t>> where;
  auto old_values = [&](const Json& old, const std::string& what) {
    std::vector<Value> values(width);
    std::set<size_t> named;
    for (auto& [index, value] : RowValues(old, delta.fields, code_page, what.c_str())) {
      values[index] = std::move(value);
      named.insert(index);
    }
    if (named.empty()) throw Error(what + " names no field to find the row by");
    if (!where) where = named;
    if (*where != named) throw Error(what + " names other fields than the first old row");
    return values;
  };

  const Json& modify = ListOf(json, "modify");
  for (size_t i = 0; i < modify.size(); ++i) {
    const std::string what = "modify row " + std::to_string(i + 1);
    const Json& item = modify[i];
    if (!item.is_object() || !item.contains("old") || !item.contains("new")) {
      throw Error(what + " needs \"old\" and \"new\"");
    }
    packets::DeltaRow row;
    row.kind = packets::UpdateKind::Modify;
    row.old_values = old_values(item.at("old"), what + " old");
    row.new_values.resize(width);
    for (auto& [index, value] : RowValues(item.at("new"), delta.fields, code_page, "new")) {
      row.new_values[index] = std::move(value);
    }
    delta.rows.push_back(std::move(row));
  }
  const Json& insert = ListOf(json, "insert");
  for (size_t i = 0; i < insert.size(); ++i) {
    packets::DeltaRow row;
    row.kind = packets::UpdateKind::Insert;
    row.new_values.resize(width);
    const std::string what = "insert row " + std::to_string(i + 1);
    for (auto& [index, value] : RowValues(insert[i], delta.fields, code_page, what.c_str())) {
      row.new_values[index] = std::move(value);
    }
    delta.rows.push_back(std::move(row));
  }
  const Json& remove = ListOf(json, "delete");
  for (size_t i = 0; i < remove.size(); ++i) {
    packets::DeltaRow row;
    row.kind = packets::UpdateKind::Delete;
    row.old_values = old_values(remove[i], "delete row " + std::to_string(i + 1));
    delta.rows.push_back(std::move(row));
  }
  if (where) {
    size_t plain = 0;
    for (packets::Field& f : delta.fields) {
      if (f.is_nested()) continue;
      if (where->count(plain++)) {
        f.prov_flags |= packets::kInWhere;
      } else {
        f.prov_flags &= static_cast<uint8_t>(~packets::kInWhere);
      }
    }
  }
  return delta;
}

}  // namespace orvala::json
