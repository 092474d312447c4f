#include "providers/sql_names.h"

#include "driver/params.h"

namespace orvala::providers {
namespace {

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
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
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      const size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else if (IsWordChar(c)) {
      size_t end = i;
      while (end < sql.size() && IsWordChar(sql[end])) ++end;
      if (driver::EqualsIgnoreCase(sql.substr(i, end - i), "FROM")) return end;
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
      name += driver::ToUpperAscii(sql.substr(start, i - start));
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

std::string TableNameFromDelta(std::string_view name) {
  if (!name.empty() && (name.front() == '"' || name.front() == '\'' || name.front() == '`')) {
    return std::string(name);
  }
  return driver::ToUpperAscii(name);
}

std::string QuoteTableName(const std::string& table, const std::string& quote) {
  auto is_quote = [](char c) { return c == '"' || c == '\'' || c == '`'; };
  if (table.empty() || is_quote(table.front()) || is_quote(table.back())) return table;
  std::string out = quote;
  for (char c : table) {
    if (c == '.') {
      out += quote + "." + quote;
    } else {
      out += c;
    }
  }
  return out + quote;
}

std::string ColumnName(const std::string& field_name, const std::string& origin) {
  if (!origin.empty()) {
    const size_t dot = origin.rfind('.');
    return dot == std::string::npos ? origin : origin.substr(dot + 1);
  }
  return driver::ToUpperAscii(field_name);
}

}  // namespace orvala::providers
