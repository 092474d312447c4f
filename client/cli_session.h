// orvala-cli's work: runs call lines against one remote object and prints
// one JSON object per call.
//
// Output of a call: {"call": name, "status": "0x%08X", "result": variant,
// "out": {name: variant, ...}} on success ("result" absent when the method
// did not write it, "out" when it has no out arguments), {"call", "status",
// "error": description} on failure. Provider operations print their packets
// decoded (packet_json.h) in place of "result": AS_GetRecords and
// AS_RowRequest as "fields" and "rows" (AS_GetRecords adds "recsOut"; a
// slice that carries no descriptions prints the provider's last ones),
// AS_ApplyUpdates as "errorCount" and "errors", AS_GetParams as "params";
// a packet that travels as an in-out Params prints as {"params":[...]}.
//
// A delta's "old" objects name the fields that find each row (the WHERE
// clause); the row's other old values come from the rows that this session
// fetched from the provider (cli_fetched_rows.h), taken from the one fetched
// row that holds the named values. When there is no such single row, the
// line is refused and nothing is sent, rather than letting the other fields
// travel as null. What the session fetched follows its own later calls: an
// apply through the provider that went through without errors updates the
// fetched rows it changed; any other call that may write forgets them.
#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client/cli_fetched_rows.h"
#include "client/cli_parser.h"
#include "packets/packet.h"
#include "server/object_channel.h"

namespace orvala::client {

// How the packets of a call's answer appear in what Run returns: decoded
// (packet_json.h), or as the binary packets themselves, JSON binary values
// that a CBOR encoding carries as byte strings.
enum class PacketForm { Decoded, Binary };

class CliSession {
 public:
  explicit CliSession(server::ObjectChannel& channel) : channel_(channel) {}

  // Runs one call and returns what it prints. Fails with an Error, and
  // sends nothing, when the call cannot be made: a delta in JSON that does
  // not fit the provider's fields, or whose old rows cannot be completed.
  // With PacketForm::Binary the answer has "result" (the packet) in place
  // of "fields"/"rows", "errors" and "params"; its rows are not kept for
  // later deltas.
  Json Run(ParsedCall call, PacketForm form = PacketForm::Decoded);

 private:
  struct Described {
    std::vector<packets::Field> fields;
    std::string code_page;
  };
  // The fields of a provider: as its last described packet gave them, or
  // read with a fetch of no rows that asks for the descriptions.
  const Described& FieldsOf(const std::u16string& provider);
  void Remember(const std::u16string& provider, const packets::DataPacket& packet);
  void Decode(const server::MethodDef& method, const std::vector<Variant>& args,
              const Variant& result, bool fetch_continues, Json& out);
  void KeepBinary(const server::MethodDef& method, const std::vector<Variant>& args,
                  const Variant& result, Json& out);

  // What an applied delta changes in the fetched rows: per modified or
  // deleted row, the fetched row it found and what that row holds after
  // (nullopt: deleted). `complete` is false when some old row found no
  // single fetched row; the fetched rows are then forgotten after the apply.
  struct ApplyPlan {
    bool complete = true;
    std::vector<std::pair<size_t, std::optional<std::vector<Value>>>> changes;
  };
  // Gives every modified and deleted row of `delta` the old values that
  // its "old" object left out, from the fetched rows; fails with an Error
  // naming the fields it could not give.
  ApplyPlan CompleteOldRows(const std::u16string& provider, packets::DeltaPacket& delta);
  void AfterApply(const std::string& key, const packets::DeltaPacket& delta,
                  const ApplyPlan& plan, bool applied_cleanly);

  server::ObjectChannel& channel_;
  // By provider name in upper case.
  std::map<std::string, Described> described_;
  std::map<std::string, FetchedRows> fetched_;  // the rows of the provider's last fetch
  std::set<std::string> fetch_open_;  // providers whose next slice continues their fetch
};

// Runs every line of `in`. Returns the exit status: 0 when every line was
// read, 2 at the first line that could not be (named on `err`; the lines
// after it are not run).
int RunScript(std::istream& in, std::ostream& out, std::ostream& err,
              server::ObjectChannel& channel);

}  // namespace orvala::client
