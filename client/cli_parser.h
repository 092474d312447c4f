// The call lines of orvala-cli, read without touching anything else: a
// pure function of one line, so that it can be tested from a table and
// driven by a fuzzer.
//
// A line is a method or provider operation name (without regard to case)
// followed by its in and in-out arguments in interface order, out
// arguments left out. The arguments are either whitespace-separated words
// or one JSON array. A word may be quoted ("..." with \" and \\ escapes,
// or '...'), and a word that opens with { or [ runs to its matching close.
// Each argument is typed by the interface: text for BSTR, an integer for
// I4, a number for R8; a VARIANT takes any form that variant_json.h reads,
// and an unquoted word that is not JSON is text. The packets of provider
// operations take JSON: the Params of AS_GetRecords and AS_Execute an
// object of name and value, the Delta of AS_ApplyUpdates and the Row of
// AS_RowRequest a delta object (packet_json.h). A provider operation needs
// only its provider name; the arguments after it may be left out (Count
// is then -1, other integers 0, texts empty, variants Empty).
//
// An empty line, or one whose first word starts with #, holds no call; a
// word starting with # ends the line.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "json/variant_json.h"
#include "common/variant.h"
#include "server/type_library.h"

namespace orvala::client {

using json::Json;

struct ParsedCall {
  const server::MethodDef* method = nullptr;
  // Every argument in interface order; out arguments as Empty slots.
  std::vector<Variant> args;
  // A delta given as JSON, which needs the provider's field descriptions
  // before it becomes a packet: the index of its argument, and the JSON.
  std::optional<size_t> delta_arg;
  Json delta_json;
};

// nullopt for a line without a call; an Error saying what is wrong with a
// line that cannot be read.
std::optional<ParsedCall> ParseCallLine(std::string_view line);

// The same call from its arguments in JSON, as the HTTP endpoint takes
// them: an array of the in and in-out arguments in interface order, or an
// object of argument name (without regard to case) and value; null is no
// arguments. Each value reads as the element of a JSON array on a line
// does, and the same arguments may be left out. Fails with an Error.
ParsedCall ParseCallArguments(const server::MethodDef& method, const Json& arguments);

}  // namespace orvala::client
