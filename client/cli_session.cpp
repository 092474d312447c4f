#include "client/cli_session.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "client/code_pages.h"
#include "client/packet_json.h"
#include "common/codepage.h"
#include "common/error.h"
#include "driver/params.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

constexpr int32_t kOptionMetadata = 1;
constexpr int32_t kOptionReset = 2;

std::string StatusText(HResult status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
  return text;
}

bool IsOperation(const server::MethodDef& method, const char* name) {
  return std::string_view(method.name) == name;
}

// A packet argument that holds a parameter packet prints decoded.
Json ParamsOrVariant(const Variant& value) {
  if (value.type() != VarType::ByteArray) return VariantToJson(value);
  Json out = Json::object();
  out["params"] = ParamsToJson(packets::ParamPacketFromVariant(value));
  return out;
}

}  // namespace

void CliSession::Remember(const std::u16string& provider, const packets::DataPacket& packet) {
  if (!packet.has_metadata || packet.fields.empty()) return;
  described_[driver::ToUpperAscii(ToUtf8(provider))] = {packet.fields, packet.code_page};
}

const CliSession::Described& CliSession::FieldsOf(const std::u16string& provider) {
  const std::string key = driver::ToUpperAscii(ToUtf8(provider));
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
  if (Failed(outcome.status) || !outcome.result) {
    throw Error("cannot read the fields of provider " + ToUtf8(provider) + ": " +
                (outcome.error ? outcome.error->description : StatusText(outcome.status)));
  }
  Remember(provider, packets::DataPacketFromVariant(*outcome.result));
  if (auto known = described_.find(key); known != described_.end()) return known->second;
  throw Error("provider " + ToUtf8(provider) + " describes no fields");
}

void CliSession::Decode(const server::MethodDef& method, const std::vector<Variant>& args,
                        const Variant& result, Json& out) {
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
      out["fields"] = FieldsToJson(fields);
      out["rows"] = RowsToJson(fields, data.rows, CodePageNamed(data.code_page));
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

Json CliSession::Run(ParsedCall call) {
  const server::MethodDef& method = *call.method;
  if (call.delta_arg) {
    const std::u16string& provider = call.args[0].bstr();
    try {
      packets::DeltaPacket delta;
      if (call.delta_json.contains("fields")) {
        delta = DeltaFromJson(call.delta_json, {}, CodePage::System().name());
      } else {
        const Described& described = FieldsOf(provider);
        delta = DeltaFromJson(call.delta_json, described.fields, described.code_page);
      }
      call.args[*call.delta_arg] = packets::ToVariant(delta, packets::Encoding::Binary);
    } catch (const Json::exception& e) {
      throw Error(std::string("argument ") + method.args[*call.delta_arg].name + ": " + e.what());
    } catch (const Error& e) {
      throw Error(std::string("argument ") + method.args[*call.delta_arg].name + ": " +
                  e.message());
    }
  }

  const server::CallOutcome outcome = channel_.Invoke(method, call.args);
  Json out = Json::object();
  out["call"] = method.name;
  out["status"] = StatusText(outcome.status);
  if (Failed(outcome.status)) {
    out["error"] = outcome.error ? outcome.error->description : std::string();
    return out;
  }
  if (outcome.result) Decode(method, call.args, *outcome.result, out);
  Json outs = Json::object();
  for (size_t k = 0; k < method.args.size(); ++k) {
    const server::ArgDef& arg = method.args[k];
    if (arg.direction == server::ArgDirection::In) continue;
    outs[arg.name] = ParamsOrVariant(call.args[k]);
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
