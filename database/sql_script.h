// SQL scripts in the form that isql runs: statements ended by a terminator
// that "SET TERM" can change (so that procedure bodies may hold ";"), with
// "--" and "/* */" comments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvala::database {

struct ScriptStatement {
  std::string sql;  // without its terminator
  bool is_commit = false;
  bool is_ddl = false;  // committed at once, so later statements see its objects
};

// Fails with an Error naming the line of an unterminated statement.
std::vector<ScriptStatement> SplitSqlScript(std::string_view script);

}  // namespace orvala::database
