// Names of tables and columns as the generated statements write them.
//
// Firebird folds unquoted identifiers to upper case and compares quoted
// ones exactly, so a name taken from SQL text is folded unless it was
// quoted there; otherwise a statement would name a table that does not
// exist.
#pragma once

#include <string>
#include <string_view>

namespace orvala::providers {

// The first name that follows the first FROM of the SQL text, quotes
// removed and dotted parts joined by "."; "" when there is none.
std::string TableNameFromSql(std::string_view sql);

// Whether the SQL text is a SELECT (perhaps opened by WITH or by
// parentheses), whose statement hands back rows rather than outputs.
bool IsSelectStatement(std::string_view sql);

// A table name from a delta's TABLE_NAME: used as written when it carries
// quotes, folded to upper case otherwise.
std::string TableNameFromDelta(std::string_view name);

// A name between quotes for a statement. A quote character inside the
// name is doubled, so that no name (a field of a client's delta may be
// called anything) can leave its quotes and write SQL of its own. Without a
// quote character only a plain word (letters, digits, "_", "$") is taken.
// Fails with "Invalid name in a statement: %s".
std::string QuoteIdentifier(std::string_view name, const std::string& quote);

// The table quoted for a statement. A name that already begins or ends with
// a quote of any kind is used as written, provided it is well-formed:
// quoted parts whose inner quotes are doubled, or plain words, joined by
// "."; otherwise it fails with "Invalid name in a statement: %s".
// Any other name gets the quote around it and on both sides of every "."
// inside it, each part quoted as QuoteIdentifier does.
std::string QuoteTableName(const std::string& table, const std::string& quote);

// The column a packet field stands for: the column part of its origin
// ("TABLE.COLUMN"), else its name folded to upper case.
std::string ColumnName(const std::string& field_name, const std::string& origin);

}  // namespace orvala::providers
