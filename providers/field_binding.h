// How a value that a packet carries for a field is bound to a statement
// parameter, so that the database reads it as the field meant it.
#pragma once

#include "common/value.h"
#include "driver/params.h"

namespace orvala::providers {

// A null takes the field's type (a string when it has none). An integer of
// a scaled field (NUMERIC, DECIMAL) carries the field's decimal places: the
// packet holds 200.50 as 20050 with scale 2, and bound without its scale
// the database would store 20050.00 and compare 123.45 with 12345.
void BindFieldValue(driver::Param& param, const Value& value, FieldType type, int scale);

}  // namespace orvala::providers
