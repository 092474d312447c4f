#include "providers/sql_names.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/error.h"

namespace orvala::providers {
namespace {

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

// Index just past a comment that starts at `i` ("--" to the end of the
// line, or "/* */"); `i` itself when none starts there.
size_t PastComment(std::string_view sql, size_t i) {
  if (i + 1 >= sql.size()) return i;
  if (sql[i] == '-' && sql[i + 1] == '-') {
    const size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end;
  }
  if (sql[i] == '/' && sql[i + 1] == '*') {
    const size_t end = sql.find("*/", i + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
  }
  return i;
}

// Index of the first FROM keyword outside literals and comments.
size_t FindFrom(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      size_t end = i + 1;
      while (end < sql.size() && sql[end] != c) ++end;
      i = end + 1;
    } else if (const size_t past = PastComment(sql, i); past != i) {
      i = past;
    } else if (IsWordChar(c)) {
      size_t end = i;
      while (end < sql.size() && IsWordChar(sql[end])) ++end;
      if (EqualsIgnoreCase(sql.substr(i, end - i), "FROM")) return end;
      i = end;
    } else {
      ++i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::string TableNameFromSql(std::string_view sql) {
  size_t i = FindFrom(sql);
  if (i == std::string_view::npos) return "";
  std::string name;
  for (;;) {
    while (i < sql.size() && (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\r' || sql[i] == '\n')) {
      ++i;
    }
    if (i < sql.size() && sql[i] == '"') {
      std::string part;
      ++i;
      while (i < sql.size()) {
        if (sql[i] == '"') {
          if (i + 1 < sql.size() && sql[i + 1] == '"') {
            part += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        part += sql[i++];
      }
      name += part;
    } else {
      const size_t start = i;
      while (i < sql.size() && IsWordChar(sql[i])) ++i;
      name += ToUpperAscii(sql.substr(start, i - start));
    }
    if (i < sql.size() && sql[i] == '.') {
      name += '.';
      ++i;
      continue;
    }
    break;
  }
  return name;
}

bool IsSelectStatement(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(') {
      ++i;
    } else if (const size_t past = PastComment(sql, i); past != i) {
      i = past;
    } else {
      break;
    }
  }
  size_t end = i;
  while (end < sql.size() && IsWordChar(sql[end])) ++end;
  const std::string_view word = sql.substr(i, end - i);
  return EqualsIgnoreCase(word, "SELECT") || EqualsIgnoreCase(word, "WITH");
}

std::string TableNameFromDelta(std::string_view name) {
  if (!name.empty() && (name.front() == '"' || name.front() == '\'' || name.front() == '`')) {
    return std::string(name);
  }
  return ToUpperAscii(name);
}

std::string QuoteIdentifier(std::string_view name, const std::string& quote) {
  if (quote.empty()) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsWordChar)) {
      throw Error(Format("Invalid name in a statement: %s", std::string(name)));
    }
    return std::string(name);
  }
  std::string out = quote;
  size_t i = 0;
  while (i < name.size()) {
    if (name.compare(i, quote.size(), quote) == 0) {
      out += quote + quote;
      i += quote.size();
    } else {
      out += name[i++];
    }
  }
  return out + quote;
}

std::string QuoteTableName(const std::string& table, const std::string& quote) {
  auto is_quote = [](char c) { return c == '"' || c == '\'' || c == '`'; };
  if (table.empty()) return table;
  if (!is_quote(table.front()) && !is_quote(table.back())) {
    std::string out;
    size_t start = 0;
    for (;;) {
      const size_t dot = table.find('.', start);
      out += QuoteIdentifier(std::string_view(table).substr(start, dot - start), quote);
      if (dot == std::string::npos) return out;
      out += '.';
      start = dot + 1;
    }
  }
  // Written quoted by the client: each part must close its own quotes.
  auto invalid = [&] { throw Error(Format("Invalid name in a statement: %s", table)); };
  size_t i = 0;
  for (;;) {
    if (i < table.size() && is_quote(table[i])) {
      const char q = table[i++];
      for (;;) {
        if (i >= table.size()) invalid();
        if (table[i] != q) {
          ++i;
        } else if (i + 1 < table.size() && table[i + 1] == q) {
          i += 2;
        } else {
          ++i;
          break;
        }
      }
    } else {
      const size_t start = i;
      while (i < table.size() && IsWordChar(table[i])) ++i;
      if (i == start) invalid();
    }
    if (i == table.size()) return table;
    if (table[i] != '.') invalid();
    ++i;
  }
}

std::string ColumnName(const std::string& field_name, const std::string& origin) {
  if (!origin.empty()) {
    const size_t dot = origin.rfind('.');
    return dot == std::string::npos ? origin : origin.substr(dot + 1);
  }
  return ToUpperAscii(field_name);
}

}  // namespace orvala::providers
