#include "http/openapi.h"

#include <string>

#include "server/type_library.h"

namespace orvala::http {
namespace {

using json::Json;
using server::ArgDirection;
using server::ArgType;

Json Ref(const std::string& name) { return Json{{"$ref", "#/components/schemas/" + name}}; }

// How an argument of a type reads in JSON: text, an integer, a number, or
// any variant form (docs/json.md).
Json ArgSchema(ArgType type) {
  switch (type) {
    case ArgType::BStr: return Json{{"type", "string"}};
    case ArgType::I4:
      return Json{{"type", "integer"}, {"minimum", INT32_MIN}, {"maximum", INT32_MAX}};
    case ArgType::R8: return Json{{"type", "number"}};
    case ArgType::Variant: return Ref("VariantIn");
  }
  return Json::object();
}

bool IsProviderOperation(const server::EntryDescription& entry) {
  return entry.kind == server::InterfaceKind::AppServer;
}

// The keys a provider operation's reply carries in place of "result".
Json DecodedPacketKeys(const std::string& name, Json& properties) {
  if (name == "AS_GetRecords" || name == "AS_RowRequest") {
    properties["fields"] = Json{{"type", "array"}, {"items", Ref("Field")}};
    properties["rows"] = Json{{"type", "array"}, {"items", Json{{"type", "array"}}}};
    if (name == "AS_GetRecords") properties["recsOut"] = Json{{"type", "integer"}};
  } else if (name == "AS_ApplyUpdates") {
    properties["errorCount"] = Json{{"type", "integer"}};
    properties["errors"] = Json{{"type", "array"}, {"items", Ref("ErrorRow")}};
  } else if (name == "AS_GetParams") {
    properties["params"] = Json{{"type", "array"}, {"items", Ref("Param")}};
  }
  return properties;
}

Json Operation(const server::EntryDescription& entry) {
  Json positional = Json::array();
  Json named = Json::object();
  std::vector<std::string> required;
  Json outs = Json::object();
  std::string signature;
  for (const server::ArgDescription& arg : entry.args) {
    const std::string direction = server::ArgDirectionName(arg.direction);
    signature += (signature.empty() ? "" : ", ") + direction + " " + arg.name + " " +
                 server::ArgTypeName(arg.type);
    if (arg.direction != ArgDirection::Out) {
      Json schema = ArgSchema(arg.type);
      schema["title"] = arg.name;
      schema["x-orvala-direction"] = direction;
      schema["x-orvala-type"] = server::ArgTypeName(arg.type);
      positional.push_back(schema);
      named[arg.name] = schema;
      if (!IsProviderOperation(entry) || required.empty()) required.push_back(arg.name);
    }
    if (arg.direction != ArgDirection::In) {
      Json out = Ref("Variant");
      out["description"] = direction + " " + server::ArgTypeName(arg.type);
      outs[arg.name] = out;
    }
  }
  Json array{{"type", "array"}, {"prefixItems", positional}, {"items", false},
             {"minItems", IsProviderOperation(entry) ? std::min<size_t>(1, positional.size())
                                                      : positional.size()}};
  Json object{{"type", "object"}, {"properties", named}, {"required", required},
              {"additionalProperties", false}};

  Json properties{{"call", Json{{"type", "string"}, {"const", entry.name}}},
                  {"status", Json{{"type", "string"}, {"pattern", "^0x[0-9A-F]{8}$"}}},
                  {"error", Json{{"type", "string"}}}};
  if (entry.result != server::ResultType::None) {
    properties["result"] = Ref("Variant");
    properties["result"]["description"] =
        std::string("the ") + entry.result_name + " (" + server::ResultTypeName(entry.result) +
        "), absent when the method did not write it";
  }
  DecodedPacketKeys(entry.name, properties);
  if (!outs.empty()) {
    properties["out"] = Json{{"type", "object"}, {"properties", outs}};
  }

  Json op;
  op["operationId"] = entry.name;
  op["summary"] = entry.name + "(" + signature + ")";
  op["tags"] = Json::array({server::InterfaceKindName(entry.kind)});
  op["x-orvala-dispid"] = entry.dispid;
  op["requestBody"] = Json{
      {"required", false},
      {"content",
       Json{{"application/json",
             Json{{"schema", Json{{"oneOf", Json::array({array, object, Json{{"type", "null"}}})}}}}}}}};
  Json reply{{"type", "object"}, {"properties", properties}, {"required", {"call", "status"}}};
  op["responses"] = Json{
      {"200", Json{{"description", "The call was made; status says how it ended"},
                   {"content", Json{{"application/json", Json{{"schema", reply}}},
                                    {"application/cbor", Json{{"schema", reply}}}}}}},
      {"400", Json{{"description", "The body or the arguments cannot be read"},
                   {"content", Json{{"application/json", Json{{"schema", Ref("Problem")}}}}}}},
      {"404", Json{{"description", "No such object"},
                   {"content", Json{{"application/json", Json{{"schema", Ref("Problem")}}}}}}}};
  return op;
}

Json Components() {
  Json schemas;
  schemas["Problem"] = Json{{"type", "object"},
                            {"properties", Json{{"error", Json{{"type", "string"}}}}},
                            {"required", {"error"}}};
  schemas["Variant"] = Json{
      {"type", "object"},
      {"description", "A variant as printed: {\"vt\":\"I4\",\"value\":42}"},
      {"properties",
       Json{{"vt", Json{{"type", "string"},
                        {"enum", {"EMPTY", "NULL", "I2", "I4", "I8", "R8", "BOOL", "CY", "BSTR",
                                  "DATE", "ARRAY|BSTR", "ARRAY|VARIANT", "ARRAY|UI1"}}}},
            {"value", Json::object()}}},
      {"required", {"vt"}}};
  schemas["VariantIn"] = Json{
      {"description",
       "Any printed variant form, or null, true/false, a number, text, an array, "
       "{\"date\":\"2024-01-31T10:00:00\"}; a parameter or delta object for the provider "
       "operations' packets"}};
  schemas["Field"] = Json{{"type", "object"},
                          {"properties", Json{{"name", Json{{"type", "string"}}},
                                              {"type", Json{{"type", "string"}}},
                                              {"size", Json{{"type", "integer"}}},
                                              {"required", Json{{"type", "boolean"}}},
                                              {"fields", Json{{"type", "array"}}}}},
                          {"required", {"name", "type"}}};
  schemas["ErrorRow"] = Json{{"type", "object"},
                             {"properties", Json{{"record", Json{{"type", "integer"}}},
                                                 {"response", Json{{"type", "integer"}}},
                                                 {"message", Json{{"type", "string"}}},
                                                 {"context", Json{{"type", "string"}}},
                                                 {"category", Json{{"type", "integer"}}},
                                                 {"errorCode", Json{{"type", "integer"}}}}}};
  schemas["Param"] = Json{{"type", "object"},
                          {"properties", Json{{"name", Json{{"type", "string"}}},
                                              {"type", Json{{"type", "string"}}},
                                              {"paramType", Json{{"type", "integer"}}},
                                              {"value", Json::object()}}}};
  Json security{{"bearer", Json{{"type", "http"}, {"scheme", "bearer"}}}};
  return Json{{"schemas", schemas}, {"securitySchemes", security}};
}

}  // namespace

Json OpenApiDescription() {
  const server::TypeLibraryDescription library = server::DescribeTypeLibraryAsData();
  Json doc;
  doc["openapi"] = "3.1.0";
  doc["info"] = Json{{"title", library.name + " over HTTP"},
                     {"version", std::to_string(library.major) + "." +
                                     std::to_string(library.minor)},
                     {"description", library.class_help}};
  doc["security"] = Json::array({Json{{"bearer", Json::array()}}});
  Json paths;
  const Json id_param{{"name", "id"}, {"in", "path"}, {"required", true},
                      {"schema", Json{{"type", "string"}}}};
  paths["/v1/objects"]["post"] = Json{
      {"operationId", "CreateObject"},
      {"summary", "Creates a remote object of " + library.prog_id},
      {"responses",
       Json{{"201", Json{{"description", "The object's id"},
                         {"content", Json{{"application/json",
                                           Json{{"schema",
                                                 Json{{"type", "object"},
                                                      {"properties",
                                                       Json{{"id", Json{{"type", "string"}}}}},
                                                      {"required", {"id"}}}}}}}}}}}}};
  paths["/v1/objects/{id}"]["delete"] = Json{
      {"operationId", "ReleaseObject"},
      {"parameters", Json::array({id_param})},
      {"responses", Json{{"204", Json{{"description", "Released"}}},
                         {"404", Json{{"description", "No such object"}}}}}};
  for (const server::EntryDescription& entry : library.entries) {
    Json op = Operation(entry);
    op["parameters"] = Json::array({id_param});
    paths["/v1/objects/{id}/calls/" + entry.name]["post"] = std::move(op);
  }
  doc["paths"] = std::move(paths);
  doc["components"] = Components();
  return doc;
}

}  // namespace orvala::http
