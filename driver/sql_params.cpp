#include "driver/sql_params.h"

#include <string>

#include "common/error.h"

namespace orvala::driver {
namespace {

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// Index just past a literal or identifier that opened with `quote` at `i`;
// a doubled quote inside stands for one quote character.
size_t SkipQuoted(std::string_view sql, size_t i, char quote) {
  ++i;
  while (i < sql.size()) {
    if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote) {
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return sql.size();
}

}  // namespace

ParsedSql ParseSqlParams(std::string_view sql) {
  ParsedSql out;
  out.text.reserve(sql.size());
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    size_t end = i + 1;
    if (c == '\'' || c == '"') {
      end = SkipQuoted(sql, i, c);
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      end = sql.find('\n', i);
      end = end == std::string_view::npos ? sql.size() : end;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      end = sql.find("*/", i + 2);
      end = end == std::string_view::npos ? sql.size() : end + 2;
    } else if (c == '?') {
      out.names.emplace_back();  // a positional marker: bound by position only
      out.text.push_back('?');
      i = end;
      continue;
    } else if (c == ':' && i + 1 < sql.size() && IsNameStart(sql[i + 1]) &&
               (i == 0 || !IsNameChar(sql[i - 1]))) {
      end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      out.names.emplace_back(sql.substr(i + 1, end - i - 1));
      out.text.push_back('?');
      i = end;
      continue;
    }
    out.text.append(sql.substr(i, end - i));
    i = end;
  }
  return out;
}

void CheckSqlText(std::string_view sql) {
  const size_t nul = sql.find('\0');
  if (nul == std::string_view::npos) return;
  throw Error("SQL text contains a NUL character at position " + std::to_string(nul + 1));
}

}  // namespace orvala::driver
