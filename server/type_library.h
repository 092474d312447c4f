// The type library OrvalaAppServer: the identifiers of the library, the
// interface IOrvala and the class Orvala, and every entry of the interface
// with its slot, dispatch identifier and arguments.
//
// The table is constant; it may be read from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/guid.h"
#include "common/variant.h"
#include "server/frame_rule.h"

namespace orvala::server {

enum class ArgType { BStr, I4, R8, Variant };
enum class ArgDirection { In, Out, InOut };
// What the out-and-retval argument holds: nothing, the 0/1 method result
// (typed HRESULT in the interface), or a variant.
enum class ResultType { None, MethodResult, Variant };

struct ArgDef {
  const char* name;
  ArgDirection direction;
  ArgType type;
};

// Which interface an entry belongs to.
enum class InterfaceKind { Unknown, Dispatch, AppServer, Orvala };

class TOrvala;
class Call;
// The work of a method on one remote object, inside the method's frame.
using MethodBody = void (*)(TOrvala& object, Call& call);

// One entry of the interface: everything a method is, in one row, so that
// adding a method is adding a row (and its body).
struct MethodDef {
  int slot;             // entry position in the interface, 0-based over all 45 entries
  int32_t dispid;       // 0 for the IUnknown and IDispatch entries
  const char* name;
  InterfaceKind kind;
  std::span<const ArgDef> args;  // without the result
  ResultType result;
  const char* result_name;       // "Result", "AResult"; nullptr without a result
  FrameRule frame = {};          // the provider operations: no gate, no preset, catch nothing
  MethodBody body = nullptr;     // nullptr for the IUnknown and IDispatch entries
};

struct LibraryInfo {
  const char* name;        // "OrvalaAppServer"
  const char* help_string;
  Guid libid;
  int major, minor;
  int lcid;
  const char* interface_name;
  const char* interface_help;
  Guid iid;
  Guid base_iid;           // IAppServer
  const char* class_name;  // "Orvala"
  const char* class_help;  // "Orvala Object"
  Guid clsid;
  const char* prog_id;     // "OrvalaAppServer.Orvala"
};

const LibraryInfo& Library();

// All 45 entries, in slot order.
std::span<const MethodDef> Methods();

// The entries that remote calls reach (the provider operations and the 31
// methods of IOrvala), found by slot or by dispatch identifier.
const MethodDef* MethodBySlot(int slot);
const MethodDef* MethodByDispid(int32_t dispid);
// Without regard to case, as GetIDsOfNames resolves names.
const MethodDef* MethodByName(std::string_view name);
// The dispatch identifier of an argument name within a method (its index).
std::optional<int> ArgIndexByName(const MethodDef& method, std::string_view name);

// A readable description of the interface (what GetTypeInfo hands out).
std::string DescribeTypeLibrary();

// The same library as data that owns its text: the form in which it
// travels to clients that read it as structured data (GetTypeLibrary) and
// in which they decode it.
struct ArgDescription {
  std::string name;
  ArgDirection direction = ArgDirection::In;
  ArgType type = ArgType::Variant;
  friend bool operator==(const ArgDescription&, const ArgDescription&) = default;
};

struct EntryDescription {
  int slot = 0;
  int32_t dispid = 0;
  std::string name;
  InterfaceKind kind = InterfaceKind::Orvala;
  std::vector<ArgDescription> args;  // without the result
  ResultType result = ResultType::None;
  std::string result_name;           // empty without a result
  friend bool operator==(const EntryDescription&, const EntryDescription&) = default;
};

struct TypeLibraryDescription {
  std::string name, help_string, libid;
  int major = 0, minor = 0, lcid = 0;
  std::string interface_name, interface_help, iid, base_name, base_iid;
  std::string class_name, class_help, clsid, prog_id;
  std::vector<EntryDescription> entries;  // the entries that calls reach, in slot order
  friend bool operator==(const TypeLibraryDescription&, const TypeLibraryDescription&) = default;
};

TypeLibraryDescription DescribeTypeLibraryAsData();

// The names under which the structured form spells the enumerations.
const char* ArgTypeName(ArgType type);                 // "BSTR", "I4", "R8", "VARIANT"
const char* ArgDirectionName(ArgDirection direction);  // "in", "out", "inout"
const char* InterfaceKindName(InterfaceKind kind);     // "IUnknown", ..., "IOrvala"
const char* ResultTypeName(ResultType type);           // "", "HRESULT", "VARIANT"
// The reverse; nullopt for a name that is none of them.
std::optional<ArgType> ArgTypeByName(std::string_view name);
std::optional<ArgDirection> ArgDirectionByName(std::string_view name);
std::optional<InterfaceKind> InterfaceKindByName(std::string_view name);
std::optional<ResultType> ResultTypeByName(std::string_view name);

}  // namespace orvala::server
