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

// A table name from a delta's TABLE_NAME: used as written when it carries
// quotes, folded to upper case otherwise.
std::string TableNameFromDelta(std::string_view name);

// The table quoted for a statement: unchanged when it already begins or
// ends with a quote of any kind; otherwise the quote goes around it and on
// both sides of every "." inside it.
std::string QuoteTableName(const std::string& table, const std::string& quote);

// The column a packet field stands for: the column part of its origin
// ("TABLE.COLUMN"), else its name folded to upper case.
std::string ColumnName(const std::string& field_name, const std::string& origin);

}  // namespace orvala::providers
