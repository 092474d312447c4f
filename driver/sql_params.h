// Named placeholders in SQL text.
//
// Clients and the catalogue write parameters as a colon followed by a name
// (":ID_DITTE"). Firebird takes "?" markers, so the text is rewritten and the
// names kept in text order. A colon inside a string literal, a quoted
// identifier or a comment is not a placeholder. A "?" already in the text
// is a positional placeholder without a name (the update resolver's
// statements use them).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvala::driver {

struct ParsedSql {
  std::string text;                 // the SQL with every placeholder replaced by "?"
  std::vector<std::string> names;   // the placeholders' names, one per marker, in order
};

// Never fails: text it cannot make sense of (an unterminated literal, say)
// is passed on for the database to reject with its own message.
ParsedSql ParseSqlParams(std::string_view sql);

// Fails with "SQL text contains a NUL character at position %d" (counted
// from 1). The database reads a statement up to its first NUL, so such a
// text would run as a shorter statement than the client sent: an UPDATE
// could lose the end of its WHERE clause.
void CheckSqlText(std::string_view sql);

}  // namespace orvala::driver
