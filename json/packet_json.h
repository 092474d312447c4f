// Packets in JSON, as orvala-cli and the HTTP endpoint print and read them
// (docs/json.md).
//
// A field prints as {"name","type","size","required"} (type as the packet
// names it: "Integer", "String", "TimeStamp", ...), a nested field as
// {"name","type":"Nested","fields":[...]}. A row prints as an array of
// values in field order, a nested field's value being its rows. Values:
// null; integers and doubles as numbers; NUMERIC values (integers with a
// scale) as exact decimal text; timestamps as "2024-01-31T10:00:00[.ffff]";
// strings and memos as text converted from the packet's code page; BLOBs
// in hexadecimal; booleans as true/false.
//
// A delta is read from {"fields":[...] (optional), "table":"NAME" (optional),
// "modify":[{"old":{...},"new":{...}}], "insert":[{...}], "delete":[{...}]},
// rows being objects of field name (without regard to case) and value.
// The fields that the "old" objects name find the rows again (they go into
// the WHERE clause), so every "old" object of one delta must name the same
// fields; "new" and "insert" carry only the fields that they set, a null
// being "set to null".
#pragma once

#include <string>
#include <vector>

#include "json/variant_json.h"
#include "common/codepage.h"
#include "packets/packet.h"

namespace orvala::json {

Json FieldsToJson(const std::vector<packets::Field>& fields);
std::vector<packets::Field> FieldsFromJson(const Json& json);

Json ValueToJson(const Value& value, const packets::Field& field, const CodePage& code_page);
Value ValueFromJson(const Json& json, const packets::Field& field, const CodePage& code_page);

Json RowsToJson(const std::vector<packets::Field>& fields, const std::vector<packets::Row>& rows,
                const CodePage& code_page);

// [{"record","response","message","context","category","errorCode"}]
Json ErrorRowsToJson(const packets::ErrorPacket& errors);

// [{"name","type","paramType","value"}]
Json ParamsToJson(const packets::ParamPacket& params);
// An object of name and value; each parameter takes the type of its value
// (an integer Integer, or LargeInt beyond it; another number Float; text
// String; true/false Boolean; {"date":...} TimeStamp; null a null String).
// Names and text go to the system code page.
packets::ParamPacket ParamsFromJson(const Json& object);

// True when `json` is shaped as a delta (an object without "vt" or "date").
bool IsDeltaJson(const Json& json);
// `fields` describes the provider when the JSON gives no "fields".
packets::DeltaPacket DeltaFromJson(const Json& json, const std::vector<packets::Field>& fields,
                                   const std::string& code_page);

}  // namespace orvala::json
