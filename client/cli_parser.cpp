#include "client/cli_parser.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/ascii.h"
#include "json/packet_json.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/utf8.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

using namespace orvala::json;

using server::ArgDef;
using server::ArgDirection;
using server::ArgType;
using server::MethodDef;

struct Word {
  std::string text;
  bool quoted = false;     // some of it was quoted: it is text, whatever it looks like
  bool bracketed = false;  // opened with { or [
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A JSON value that opens at line[i] with { or [, up to its matching close.
size_t BracketedEnd(std::string_view line, size_t i) {
  int depth = 0;
  bool in_string = false;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return i + 1;
    }
  }
  throw Error(in_string ? "unterminated string in JSON" : "unclosed JSON value");
}

std::vector<Word> SplitWords(std::string_view line) {
  std::vector<Word> words;
  size_t i = 0;
  for (;;) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i == line.size() || line[i] == '#') break;
    Word word;
    if (line[i] == '{' || line[i] == '[') {
      const size_t end = BracketedEnd(line, i);
      word.text = std::string(line.substr(i, end - i));
      word.bracketed = true;
      i = end;
      if (i < line.size() && !IsSpace(line[i])) {
        throw Error("unexpected text after a JSON value: " + std::string(line.substr(i)));
      }
      words.push_back(std::move(word));
      continue;
    }
    while (i < line.size() && !IsSpace(line[i])) {
      const char c = line[i++];
      if (c == '"' || c == '\'') {
        word.quoted = true;
        bool closed = false;
        while (i < line.size()) {
          char q = line[i++];
          if (q == c) {
            closed = true;
            break;
          }
          if (c == '"' && q == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
            q = line[i++];
          }
          word.text += q;
        }
        if (!closed) throw Error(std::string("unterminated quote ") + c);
      } else {
        word.text += c;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

// One argument as given: a word, or an element of a JSON array.
struct Input {
  std::optional<Word> word;
  Json json;
};

int32_t ParseI4(const Input& in) {
  if (!in.word) {
    if (!in.json.is_number_integer()) throw Error("expected an integer, got " + in.json.dump());
    const Json& j = in.json;
    if ((j.is_number_unsigned() && j.get<uint64_t>() > INT32_MAX) || j.get<int64_t>() < INT32_MIN ||
        j.get<int64_t>() > INT32_MAX) {
      throw Error(j.dump() + " is out of range for I4");
    }
    return static_cast<int32_t>(j.get<int64_t>());
  }
  std::string_view text = in.word->text;
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec == std::errc::invalid_argument || end != text.data() + text.size()) {
    throw Error("'" + in.word->text + "' is not an integer");
  }
  if (ec == std::errc::result_out_of_range || n < INT32_MIN || n > INT32_MAX) {
    throw Error("'" + in.word->text + "' is out of range for I4");
  }
  return static_cast<int32_t>(n);
}

double ParseR8(const Input& in) {
  if (!in.word) {
    if (!in.json.is_number()) throw Error("expected a number, got " + in.json.dump());
    return in.json.get<double>();
  }
  const std::string& text = in.word->text;
  double x = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(x)) {
    throw Error("'" + text + "' is not a number");
  }
  return x;
}

std::u16string ParseBStr(const Input& in) {
  if (in.word) return FromUtf8(in.word->text);
  if (!in.json.is_string()) throw Error("expected text, got " + in.json.dump());
  return FromUtf8(in.json.get<std::string>());
}

// The JSON a VARIANT argument stands for. Quoted words are text; other
// words are JSON when they read as JSON, else text.
Json VariantJson(const Input& in) {
  if (!in.word) return in.json;
  if (in.word->quoted) return Json(in.word->text);
  Json parsed = Json::parse(in.word->text, nullptr, false);
  if (!parsed.is_discarded()) return parsed;
  if (in.word->bracketed) {
    try {
      parsed = Json::parse(in.word->text);
    } catch (const Json::exception& e) {
      throw Error(std::string("invalid JSON: ") + e.what());
    }
  }
  return Json(in.word->text);
}

bool Named(const char* a, std::string_view b) { return std::string_view(a) == b; }

bool TakesDelta(const MethodDef& method, const ArgDef& arg) {
  return (Named(method.name, "AS_ApplyUpdates") && Named(arg.name, "Delta")) ||
         (Named(method.name, "AS_RowRequest") && Named(arg.name, "Row"));
}

bool TakesParams(const MethodDef& method, const ArgDef& arg) {
  return method.kind == server::InterfaceKind::AppServer && Named(arg.name, "Params");
}

Variant DefaultOf(const ArgDef& arg) {
  switch (arg.type) {
    case ArgType::BStr: return Variant::BStr(u"");
    case ArgType::I4: return Variant::I4(Named(arg.name, "Count") ? -1 : 0);
    case ArgType::R8: return Variant::R8(0);
    case ArgType::Variant: return Variant();
  }
  return Variant();
}

std::string Signature(const MethodDef& method, const std::vector<size_t>& inputs) {
  std::string names;
  for (size_t k : inputs) names += std::string(names.empty() ? "" : ", ") + method.args[k].name;
  return names.empty() ? "no arguments" : std::to_string(inputs.size()) + " argument" +
                                              (inputs.size() == 1 ? "" : "s") + " (" + names + ")";
}

void Convert(const MethodDef& method, size_t index, const Input& in, ParsedCall& call) {
  const ArgDef& arg = method.args[index];
  switch (arg.type) {
    case ArgType::BStr: call.args[index] = Variant::BStr(ParseBStr(in)); return;
    case ArgType::I4: call.args[index] = Variant::I4(ParseI4(in)); return;
    case ArgType::R8: call.args[index] = Variant::R8(ParseR8(in)); return;
    case ArgType::Variant: break;
  }
  const Json json = VariantJson(in);
  if (TakesDelta(method, arg) && IsDeltaJson(json)) {
    call.delta_arg = index;
    call.delta_json = json;
    call.args[index] = Variant();
  } else if (TakesParams(method, arg) && json.is_object() && IsDeltaJson(json)) {
    call.args[index] = packets::ToVariant(ParamsFromJson(json), packets::Encoding::Binary);
  } else {
    call.args[index] = VariantFromJson(json);
  }
}

std::vector<size_t> InArgs(const MethodDef& method) {
  std::vector<size_t> in_args;
  for (size_t k = 0; k < method.args.size(); ++k) {
    if (method.args[k].direction != ArgDirection::Out) in_args.push_back(k);
  }
  return in_args;
}

// The call from its in and in-out arguments in interface order; a missing
// one (nullopt, or past the end) takes its default where the method allows.
ParsedCall Build(const MethodDef& method, const std::vector<std::optional<Input>>& inputs) {
  const std::vector<size_t> in_args = InArgs(method);
  const bool optional_tail = method.kind == server::InterfaceKind::AppServer;
  const size_t needed = optional_tail ? std::min<size_t>(in_args.size(), 1) : in_args.size();
  size_t given = 0;
  for (size_t i = 0; i < inputs.size(); ++i) given += inputs[i] ? 1 : 0;
  bool missing = inputs.size() < needed;
  for (size_t i = 0; i < needed && i < inputs.size(); ++i) missing = missing || !inputs[i];
  if (inputs.size() > in_args.size() || missing) {
    throw Error(std::string(method.name) + " takes " + Signature(method, in_args) + ", " +
                std::to_string(given) + " given");
  }

  ParsedCall call;
  call.method = &method;
  call.args.resize(method.args.size());
  for (size_t i = 0; i < in_args.size(); ++i) {
    const size_t k = in_args[i];
    if (i >= inputs.size() || !inputs[i]) {
      call.args[k] = DefaultOf(method.args[k]);
      continue;
    }
    try {
      Convert(method, k, *inputs[i], call);
    } catch (const Error& e) {
      throw Error(std::string("argument ") + method.args[k].name + ": " + e.message());
    }
  }
  return call;
}

std::optional<ParsedCall> ParseLine(std::string_view line) {
  const std::vector<Word> words = SplitWords(line);
  if (words.empty()) return std::nullopt;
  const Word& name = words[0];
  const MethodDef* method = name.bracketed ? nullptr : server::MethodByName(name.text);
  if (!method) throw Error("unknown method '" + name.text + "'");

  std::vector<std::optional<Input>> inputs;
  if (words.size() == 2 && words[1].bracketed && words[1].text[0] == '[') {
    Json array;
    try {
      array = Json::parse(words[1].text);
    } catch (const Json::exception& e) {
      throw Error(std::string("the arguments are not a JSON array: ") + e.what());
    }
    for (Json& element : array) inputs.push_back(Input{std::nullopt, std::move(element)});
  } else {
    for (size_t i = 1; i < words.size(); ++i) inputs.push_back(Input{words[i], Json()});
  }

  return Build(*method, inputs);
}

}  // namespace

std::optional<ParsedCall> ParseCallLine(std::string_view line) {
  try {
    return ParseLine(line);
  } catch (const Json::exception& e) {
    // A JSON value of the wrong kind deep inside an argument.
    throw Error(e.what());
  }
}

}  // namespace orvala::client

namespace orvala::client {

ParsedCall ParseCallArguments(const server::MethodDef& method, const Json& arguments) {
  try {
    std::vector<std::optional<Input>> inputs;
    if (arguments.is_array()) {
      for (const Json& element : arguments) inputs.push_back(Input{std::nullopt, element});
    } else if (arguments.is_object()) {
      const std::vector<size_t> in_args = InArgs(method);
      inputs.resize(in_args.size());
      for (const auto& [name, value] : arguments.items()) {
        size_t i = 0;
        while (i < in_args.size() && !EqualsIgnoreCase(method.args[in_args[i]].name, name)) ++i;
        if (i == in_args.size()) {
          throw Error(std::string(method.name) + " has no in or in-out argument " + name);
        }
        inputs[i] = Input{std::nullopt, value};
      }
      while (!inputs.empty() && !inputs.back()) inputs.pop_back();
    } else if (!arguments.is_null()) {
      throw Error("the arguments must be a JSON array or an object of name and value");
    }
    return Build(method, inputs);
  } catch (const Json::exception& e) {
    throw Error(e.what());
  }
}

}  // namespace orvala::client
