// The catalogue as data: every query that the catalogue and report modules
// hold, with its provider, SQL text, listed fields and parameters, and the
// index table by which clients replace a query's SQL.
//
// The tables are constant and may be read from any thread.
#pragma once

#include <cstdint>
#include <span>

namespace orvala::catalogue {

enum class FieldKind { Integer, Float, String, Timestamp };

struct FieldDef {
  const char* name;  // letter case as the packet must carry it
  FieldKind kind;
  int size;          // characters, for String (20 when the catalogue gives none); 0 otherwise
  bool required;
};

struct ParamDef {
  const char* name;
  FieldKind kind;
};

enum class Module { Catalogue, Report };

struct QueryDef {
  const char* query_name;     // "qSelectEsercizi"
  const char* provider_name;  // "SelectEsercizi"; nullptr for the supplier statements
  const char* sql;            // nullptr for the general-purpose queries
  std::span<const FieldDef> fields;  // empty: the query carries whatever its SQL returns
  std::span<const ParamDef> params;  // in placeholder order
  Module module;
};

// In the order the remote object lists its providers: the catalogue module's
// queries (137 selects, then the three supplier-per-company statements), then
// the report module's ten queries.
std::span<const QueryDef> Queries();

struct SetQueryIndex {
  int32_t index;
  const char* query_name;
};

// The indexes that setQuery accepts, ascending.
std::span<const SetQueryIndex> SetQueryIndexes();

}  // namespace orvala::catalogue
