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
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "client/cli_parser.h"
#include "packets/packet.h"
#include "server/object_channel.h"

namespace orvala::client {

class CliSession {
 public:
  explicit CliSession(server::ObjectChannel& channel) : channel_(channel) {}

  // Runs one call and returns what it prints. Fails with an Error when
  // the call cannot be made: a delta in JSON that does not fit the
  // provider's fields.
  Json Run(ParsedCall call);

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
              const Variant& result, Json& out);

  server::ObjectChannel& channel_;
  std::map<std::string, Described> described_;  // by provider name in upper case
};

// Runs every line of `in`. Returns the exit status: 0 when every line was
// read, 2 at the first line that could not be (named on `err`; the lines
// after it are not run).
int RunScript(std::istream& in, std::ostream& out, std::ostream& err,
              server::ObjectChannel& channel);

}  // namespace orvala::client
