#include "client/cli_session.h"

#include <cstdio>
#include <algorithm>
#include <istream>
#include <ostream>

#include "packets/code_pages.h"
#include "json/packet_json.h"
#include "common/ascii.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/utf8.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

using namespace orvala::json;

constexpr int32_t kOptionMetadata = 1;
constexpr int32_t kOptionReset = 2;

bool IsOperation(const server::MethodDef& method, const char* name) {
  return std::string_view(method.name) == name;
}

std::string KeyOf(const std::u16string& provider) {
  return ToUpperAscii(ToUtf8(provider));
}

// What a call does to the rows that the session fetched earlier, which it
// keeps to complete the old rows of later deltas: kept while they still
// show what the database holds as far as this session can tell.
enum class Effect {
  Reads,             // rows kept; a fetch in slices goes on
  Reconnects,        // rows kept; open queries are closed, so slices end
  Writes,            // rows forgotten: the call may have changed them
  ChangesProvider,   // the named provider's rows and field descriptions forgotten
  ChangesProviders,  // every provider's rows and field descriptions forgotten: the SQL of
                     // some provider may have changed
};

struct MethodEffect {
  const char* method;
  Effect effect;
};

// AS_GetRecords and AS_ApplyUpdates are followed by the session itself; a
// method not listed counts as one that writes.
constexpr MethodEffect kEffects[] = {
    {"AS_GetParams", Effect::Reads},
    {"AS_GetProviderNames", Effect::Reads},
    {"AS_DataRequest", Effect::Reads},
    {"AS_RowRequest", Effect::Reads},
    {"Login", Effect::Reads},
    {"ScriviLOG", Effect::Reads},
    {"CanDo", Effect::Reads},
    {"GetSession", Effect::Reads},
    {"CheckNumRegistrazione", Effect::Reads},
    {"CheckNumDocumento", Effect::Reads},
    {"isLocked", Effect::Reads},
    {"ExistingDocumento", Effect::Reads},
    {"CanDeleteCliente", Effect::Reads},
    {"CanDeleteClienteDitta", Effect::Reads},
    {"CanDeleteFornitori", Effect::Reads},
    {"CheckClientiCF", Effect::Reads},
    {"CheckFornitoriCF", Effect::Reads},
    {"Next_Sottoconto_Cliente", Effect::Reads},
    {"Next_Sottoconto_Fornitore", Effect::Reads},
    {"OpenDB", Effect::Reconnects},
    {"Logoff", Effect::Reconnects},
    {"setQuery", Effect::ChangesProviders},
    {"AddProvider", Effect::ChangesProvider},
    {"DestroyProvider", Effect::ChangesProvider},
    {"AddMasterProvider", Effect::ChangesProvider},
    {"DestroyMasterProvider", Effect::ChangesProvider},
    // A detail adds a nested table to its master's rows.
    {"AddDetailProvider", Effect::ChangesProviders},
};

Effect EffectOf(const server::MethodDef& method) {
  for (const MethodEffect& e : kEffects) {
    if (IsOperation(method, e.method)) return e.effect;
  }
  return Effect::Writes;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// The rows of a delta as DeltaFromJson builds them and its errors name
// them: "modify row 2", "delete row 1".
std::string RowName(packets::UpdateKind kind, size_t number) {
  return std::string(kind == packets::UpdateKind::Delete ? "delete" : "modify") + " row " +
         std::to_string(number);
}

Json Binary(const Variant& value) {
  const ByteArray& bytes = value.bytes();
  return Json::binary(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// A packet argument that holds a parameter packet prints decoded.
Json ParamsOrVariant(const Variant& value, PacketForm form) {
  if (value.type() != VarType::ByteArray) return VariantToJson(value);
  if (form == PacketForm::Binary) return Binary(value);
  Json out = Json::object();
  out["params"] = ParamsToJson(packets::ParamPacketFromVariant(value));
  return out;
}

}  // namespace

void CliSession::Remember(const std::u16string& provider, const packets::DataPacket& packet) {
  if (!packet.has_metadata || packet.fields.empty()) return;
  described_[KeyOf(provider)] = {packet.fields, packet.code_page};
}

const CliSession::Described& CliSession::FieldsOf(const std::u16string& provider) {
  const std::string key = KeyOf(provider);
  if (auto known = described_.find(key); known != described_.end()) return known->second;
  const server::MethodDef& fetch = *server::MethodByName("AS_GetRecords");
  std::vector<Variant> args{Variant::BStr(provider), Variant::I4(0), Variant(),
                            Variant::I4(kOptionMetadata), Variant::BStr(u""), Variant(),
                            Variant()};
  const server::CallOutcome outcome = channel_.Invoke(fetch, args);
  // The fetch of no rows left the query open on an old snapshot: close it
  // again, so that the next fetch sees what the apply wrote.
  std::vector<Variant> reset{Variant::BStr(provider), Variant::I4(0), Variant(),
                             Variant::I4(kOptionReset), Variant::BStr(u""), Variant(), Variant()};
  channel_.Invoke(fetch, reset);
  fetch_open_.erase(key);
  if (Failed(outcome.status) || !outcome.result) {
    throw Error("cannot read the fields of provider " + ToUtf8(provider) + ": " +
                (outcome.error ? outcome.error->description : StatusText(outcome.status)));
  }
  Remember(provider, packets::DataPacketFromVariant(*outcome.result));
  if (auto known = described_.find(key); known != described_.end()) return known->second;
  throw Error("provider " + ToUtf8(provider) + " describes no fields");
}

CliSession::ApplyPlan CliSession::CompleteOldRows(const std::u16string& provider,
                                                  packets::DeltaPacket& delta) {
  ApplyPlan plan;
  std::vector<const packets::Field*> plain;
  for (const packets::Field& f : delta.fields) {
    if (!f.is_nested()) plain.push_back(&f);
  }
  // DeltaFromJson marks the fields that the old objects name as the ones
  // the rows are found by; every old object names the same ones.
  std::vector<size_t> named, missing;
  for (size_t i = 0; i < plain.size(); ++i) {
    (plain[i]->prov_flags & packets::kInWhere ? named : missing).push_back(i);
  }
  auto names_of = [&](const std::vector<size_t>& indexes) {
    std::vector<std::string> names;
    for (size_t i : indexes) names.push_back(plain[i]->name);
    return Joined(names);
  };

  const auto found = fetched_.find(KeyOf(provider));
  FetchedRows* rows = found == fetched_.end() ? nullptr : &found->second;
  // Each delta field's place among the fetched fields: same name (without
  // regard to case), type and scale, in the same code page.
  std::vector<std::optional<size_t>> place(plain.size());
  std::vector<size_t> unplaced;
  if (rows && rows->code_page() == delta.code_page) {
    for (size_t i = 0; i < plain.size(); ++i) {
      for (size_t j = 0; j < rows->fields().size(); ++j) {
        const packets::Field& f = rows->fields()[j];
        if (EqualsIgnoreCase(f.name, plain[i]->name) && f.type == plain[i]->type &&
            f.scale == plain[i]->scale) {
          place[i] = j;
          break;
        }
      }
      if (!place[i]) unplaced.push_back(i);
    }
  }

  const std::string source = "the rows that this session fetched from " + ToUtf8(provider);
  std::set<size_t> found_rows;
  size_t modify_number = 0, delete_number = 0;
  for (packets::DeltaRow& row : delta.rows) {
    if (row.kind != packets::UpdateKind::Modify && row.kind != packets::UpdateKind::Delete) {
      continue;
    }
    const std::string what =
        RowName(row.kind, row.kind == packets::UpdateKind::Delete ? ++delete_number
                                                                    : ++modify_number);
    const std::string refusal = what + ": old gives " + names_of(named) + " but not " +
                                names_of(missing) + ", which are taken from " + source;
    std::vector<std::pair<size_t, Value>> by;
    bool searchable = rows != nullptr;
    for (size_t i : named) {
      if (!place[i]) {
        searchable = false;
        break;
      }
      by.emplace_back(*place[i], row.old_values[i]);
    }
    const FetchedRows::Found match = searchable ? rows->Find(by) : FetchedRows::Found{};
    const bool unique = match.matches == 1 && !found_rows.count(match.ordinal);

    if (!missing.empty()) {
      if (!rows) {
        throw Error(refusal + ", and it holds none: fetch them first, or give every field in old");
      }
      if (rows->code_page() != delta.code_page) {
        throw Error(refusal + ", which are in code page " + rows->code_page() +
                    " while the delta is in " + delta.code_page);
      }
      if (!unplaced.empty()) {
        throw Error(refusal + ", and they have no field " + names_of(unplaced) +
                    " of the delta's type");
      }
      if (match.matches == 0) throw Error(refusal + ", and none of them holds what old gives");
      if (match.matches > 1) {
        throw Error(refusal + ", and several of them hold what old gives: give more fields in old");
      }
      if (!unique) throw Error(what + " finds the same fetched row as an earlier row of the delta");
      for (size_t i : missing) row.old_values[i] = match.values[*place[i]];
    }
    if (!unique || !unplaced.empty()) {
      plan.complete = false;
      continue;
    }
    found_rows.insert(match.ordinal);
    std::optional<std::vector<Value>> after;
    if (row.kind == packets::UpdateKind::Modify) {
      after = match.values;
      for (size_t i = 0; i < row.new_values.size() && i < plain.size(); ++i) {
        if (row.new_values[i]) (*after)[*place[i]] = *row.new_values[i];
      }
    }
    plan.changes.emplace_back(match.ordinal, std::move(after));
  }
  return plan;
}

void CliSession::AfterApply(const std::string& key, const packets::DeltaPacket& delta,
                            const ApplyPlan& plan, bool applied_cleanly) {
  fetch_open_.clear();
  if (delta.rows.empty()) return;
  // The rows may show a table that another provider also shows.
  for (auto it = fetched_.begin(); it != fetched_.end();) {
    it = it->first == key ? std::next(it) : fetched_.erase(it);
  }
  const auto rows = fetched_.find(key);
  if (rows == fetched_.end()) return;
  // After a failed row the session cannot tell what was committed.
  if (!applied_cleanly || !plan.complete) {
    fetched_.erase(rows);
    return;
  }
  for (const auto& [ordinal, after] : plan.changes) rows->second.Update(ordinal, after);
}

void CliSession::Decode(const server::MethodDef& method, const std::vector<Variant>& args,
                        const Variant& result, bool fetch_continues, Json& out) {
  const bool packet = result.type() == VarType::ByteArray;
  if (IsOperation(method, "AS_GetRecords") || IsOperation(method, "AS_RowRequest")) {
    if (!packet) {
      out["result"] = VariantToJson(result);
    } else {
      const packets::DataPacket data = packets::DataPacketFromVariant(result);
      Remember(args[0].bstr(), data);
      // A slice without descriptions is read with the provider's last ones.
      const std::vector<packets::Field>& fields =
          data.has_metadata ? data.fields : FieldsOf(args[0].bstr()).fields;
      if (IsOperation(method, "AS_GetRecords")) {
        const std::string key = KeyOf(args[0].bstr());
        auto rows = fetched_.find(key);
        if (!fetch_continues || rows == fetched_.end()) {
          rows = fetched_.insert_or_assign(key, FetchedRows(fields, data.code_page)).first;
        }
        rows->second.Append(data.rows);
      }
      out["fields"] = FieldsToJson(fields);
      out["rows"] = RowsToJson(fields, data.rows, *packets::CodePageNamed(data.code_page));
    }
    if (IsOperation(method, "AS_GetRecords")) out["recsOut"] = args[2].ToInt32();
  } else if (IsOperation(method, "AS_ApplyUpdates")) {
    out["errorCount"] = args[3].ToInt32();
    out["errors"] = ErrorRowsToJson(packets::ErrorPacketFromVariant(result));
  } else if (IsOperation(method, "AS_GetParams")) {
    out["params"] = ParamsToJson(packets::ParamPacketFromVariant(result));
  } else {
    out["result"] = VariantToJson(result);
  }
}

void CliSession::KeepBinary(const server::MethodDef& method, const std::vector<Variant>& args,
                            const Variant& result, Json& out) {
  out["result"] = result.type() == VarType::ByteArray ? Binary(result) : VariantToJson(result);
  if (IsOperation(method, "AS_GetRecords")) {
    // Rows this session did not decode cannot complete a later delta.
    fetched_.erase(KeyOf(args[0].bstr()));
    out["recsOut"] = args[2].ToInt32();
  } else if (IsOperation(method, "AS_ApplyUpdates")) {
    out["errorCount"] = args[3].ToInt32();
  }
}

Json CliSession::Run(ParsedCall call, PacketForm form) {
  const server::MethodDef& method = *call.method;
  const bool fetch = IsOperation(method, "AS_GetRecords");
  const bool apply = IsOperation(method, "AS_ApplyUpdates");
  packets::DeltaPacket delta;
  ApplyPlan plan;
  if (call.delta_arg) {
    const std::u16string& provider = call.args[0].bstr();
    try {
      if (call.delta_json.contains("fields")) {
        delta = DeltaFromJson(call.delta_json, {}, CodePage::System().name());
      } else {
        const Described& described = FieldsOf(provider);
        delta = DeltaFromJson(call.delta_json, described.fields, described.code_page);
      }
      if (apply) plan = CompleteOldRows(provider, delta);
      call.args[*call.delta_arg] = packets::ToVariant(delta, packets::Encoding::Binary);
    } catch (const Json::exception& e) {
      throw Error(std::string("argument ") + method.args[*call.delta_arg].name + ": " + e.what());
    } catch (const Error& e) {
      throw Error(std::string("argument ") + method.args[*call.delta_arg].name + ": " +
                  e.message());
    }
  }

  // A fetch continues the provider's last one when that stopped after a
  // full slice and this call neither resets it nor sends parameters.
  const std::string provider_key = fetch || apply ? KeyOf(call.args[0].bstr()) : std::string();
  const bool fetch_continues =
      fetch && fetch_open_.count(provider_key) && !(call.args[3].ToInt32() & kOptionReset) &&
      call.args[5].type() == VarType::Empty;

  const server::CallOutcome outcome = channel_.Invoke(method, call.args);
  if (fetch) {
    const int32_t count = call.args[1].ToInt32();
    const bool reset = call.args[3].ToInt32() & kOptionReset;
    const bool stays_open = Succeeded(outcome.status) &&
                            ((count > 0 && call.args[2].ToInt32() == count) ||
                             (count == 0 && !reset));
    if (stays_open) {
      fetch_open_.insert(provider_key);
    } else {
      fetch_open_.erase(provider_key);
    }
  } else if (apply) {
    AfterApply(provider_key, delta, plan,
               Succeeded(outcome.status) && call.args[3].ToInt32() == 0);
  } else {
    switch (EffectOf(method)) {
      case Effect::Reads:
        break;
      case Effect::Reconnects:
        fetch_open_.clear();
        break;
      case Effect::Writes:
        fetch_open_.clear();
        fetched_.clear();
        break;
      case Effect::ChangesProvider: {
        // The provider's name is the first argument of these methods.
        const std::string key = KeyOf(call.args[0].bstr());
        fetch_open_.erase(key);
        fetched_.erase(key);
        described_.erase(key);
        break;
      }
      case Effect::ChangesProviders:
        fetch_open_.clear();
        fetched_.clear();
        described_.clear();
        break;
    }
  }

  Json out = Json::object();
  out["call"] = method.name;
  out["status"] = StatusText(outcome.status);
  if (Failed(outcome.status)) {
    out["error"] = outcome.error ? outcome.error->description : std::string();
    return out;
  }
  if (outcome.result) {
    if (form == PacketForm::Binary) {
      KeepBinary(method, call.args, *outcome.result, out);
    } else {
      Decode(method, call.args, *outcome.result, fetch_continues, out);
    }
  }
  Json outs = Json::object();
  for (size_t k = 0; k < method.args.size(); ++k) {
    const server::ArgDef& arg = method.args[k];
    if (arg.direction == server::ArgDirection::In) continue;
    outs[arg.name] = ParamsOrVariant(call.args[k], form);
  }
  if (!outs.empty()) out["out"] = std::move(outs);
  return out;
}

int RunScript(std::istream& in, std::ostream& out, std::ostream& err,
              server::ObjectChannel& channel) {
  CliSession session(channel);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    Json printed;
    try {
      std::optional<ParsedCall> call = ParseCallLine(line);
      if (!call) continue;
      printed = session.Run(std::move(*call));
    } catch (const Error& e) {
      err << "orvala-cli: line " << number << ": " << e.message() << "\n  " << line << "\n";
      err.flush();
      return 2;
    }
    out << printed.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    out.flush();
  }
  return 0;
}

}  // namespace orvala::client
