// Automation variants in JSON, as orvala-cli and the HTTP endpoint read and
// print them (docs/json.md).
//
// Printed: {"vt":"EMPTY"}, {"vt":"NULL"}, {"vt":"I4","value":42} (also I2
// and I8), {"vt":"R8","value":1.5}, {"vt":"BOOL","value":true},
// {"vt":"CY","value":"12.3400"} (exact, as text), {"vt":"BSTR","value":"..."},
// {"vt":"DATE","value":"2024-01-31T10:00:00"}, {"vt":"ARRAY|BSTR","value":[...]},
// {"vt":"ARRAY|VARIANT","value":[{...},...]} and {"vt":"ARRAY|UI1","value":"0a1b..."}
// (bytes in hexadecimal).
//
// Read: every printed form, and the short forms null, true/false, a number
// (an integer is I4, or I8 beyond I4's range; any other number R8), a
// string (BSTR), an array (ARRAY|VARIANT) and {"date":"2024-01-31T10:00:00"};
// a binary value (a CBOR byte string) is ARRAY|UI1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/status.h"
#include "common/variant.h"

namespace orvala::json {

using Json = nlohmann::ordered_json;

Json VariantToJson(const Variant& value);

// A call's status as the JSON form prints it: "0x8000FFFF".
std::string StatusText(HResult status);
// Fails with an Error that says what did not fit.
Variant VariantFromJson(const Json& json);

// Exact decimal text of an integer scaled by 10^scale ("-12.3400" for
// -123400 at scale 4), and back; ParseScaled fails with an Error on text
// that is not a decimal number, has more decimals than the scale, or does
// not fit in 64 bits.
std::string FormatScaled(int64_t scaled, int scale);
int64_t ParseScaled(std::string_view text, int scale);

// The bytes that hexadecimal text in a JSON value spells; fails with an
// Error naming the text when it is not hexadecimal or has an odd length.
std::string BytesFromHex(std::string_view hex);

}  // namespace orvala::json
