#include "client/provider_calls.h"

#include "common/error.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

constexpr int32_t kOptionMetadata = 1;

void Check(HResult status, const OrvalaProxy& proxy) {
  if (Succeeded(status)) return;
  const std::string description =
      proxy.last_error() ? proxy.last_error()->description : std::string("The call failed");
  throw Error::FromStatus(status, description);
}

}  // namespace

void Fetch(OrvalaProxy& proxy, const std::u16string& provider, ClientDataset& dataset,
           int32_t slice, const Variant& params) {
  Variant sent = params;
  int32_t options = dataset.fields().empty() ? kOptionMetadata : 0;
  for (;;) {
    int32_t recs_out = 0;
    Variant owner_data, packet;
    Check(proxy.AS_GetRecords(provider, slice, recs_out, options, u"", sent, owner_data, packet),
          proxy);
    dataset.AppendData(packet);
    if (slice < 0 || recs_out != slice) return;
    // Later slices continue the fetch: no parameters, which would restart it.
    sent = Variant();
    options = 0;
  }
}

ApplyOutcome Apply(OrvalaProxy& proxy, const std::u16string& provider, ClientDataset& dataset,
                   int32_t max_errors) {
  ApplyOutcome outcome;
  if (!dataset.has_changes()) return outcome;
  const Variant delta = packets::ToVariant(dataset.Delta(), packets::Encoding::Binary);
  Variant owner_data, answer;
  Check(proxy.AS_ApplyUpdates(provider, delta, max_errors, outcome.error_count, owner_data,
                              answer),
        proxy);
  const packets::ErrorPacket errors = packets::ErrorPacketFromVariant(answer);
  outcome.errors = dataset.MatchErrors(errors);
  dataset.Reconcile(errors);
  return outcome;
}

}  // namespace orvala::client
