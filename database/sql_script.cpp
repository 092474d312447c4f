#include "database/sql_script.h"

#include "common/ascii.h"
#include "common/error.h"

namespace orvala::database {
namespace {

std::string_view TrimView(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string FirstWord(std::string_view s) {
  s = TrimView(s);
  size_t n = 0;
  while (n < s.size() && ((s[n] >= 'A' && s[n] <= 'Z') || (s[n] >= 'a' && s[n] <= 'z'))) ++n;
  return ToUpperAscii(s.substr(0, n));
}

}  // namespace

std::vector<ScriptStatement> SplitSqlScript(std::string_view script) {
  std::vector<ScriptStatement> out;
  std::string terminator = ";";
  std::string current;
  size_t line = 1, statement_line = 1;
  size_t i = 0;
  auto finish = [&] {
    const std::string_view text = TrimView(current);
    if (!text.empty()) {
      const std::string word = FirstWord(text);
      if (word == "SET" && ToUpperAscii(text.substr(0, 8)).starts_with("SET TERM")) {
        const std::string_view rest = TrimView(text.substr(8));
        if (rest.empty()) throw Error("SET TERM without a terminator at line " + std::to_string(statement_line));
        terminator = std::string(rest);
      } else if (word == "COMMIT") {
        out.push_back({"", true, false});
      } else {
        const bool ddl = word == "CREATE" || word == "ALTER" || word == "DROP" ||
                         word == "RECREATE" || word == "COMMENT" || word == "GRANT" ||
                         word == "DECLARE";
        out.push_back({std::string(text), false, ddl});
      }
    }
    current.clear();
  };
  while (i < script.size()) {
    const char c = script[i];
    if (TrimView(current).empty()) statement_line = line;
    if (c == '\'' || c == '"') {
      size_t end = i + 1;
      while (end < script.size() && script[end] != c) {
        if (script[end] == '\n') ++line;
        ++end;
      }
      end = std::min(end + 1, script.size());
      current.append(script.substr(i, end - i));
      i = end;
    } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      const size_t end = script.find('\n', i);
      i = end == std::string_view::npos ? script.size() : end;
    } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
      size_t end = script.find("*/", i + 2);
      end = end == std::string_view::npos ? script.size() : end + 2;
      for (size_t k = i; k < end; ++k) line += script[k] == '\n';
      current.push_back(' ');
      i = end;
    } else if (script.substr(i, terminator.size()) == terminator) {
      finish();
      i += terminator.size();
    } else {
      line += c == '\n';
      current.push_back(c);
      ++i;
    }
  }
  if (!TrimView(current).empty()) {
    throw Error("Unterminated statement at line " + std::to_string(statement_line));
  }
  return out;
}

}  // namespace orvala::database
