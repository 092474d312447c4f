// The client dataset over real provider calls: fetch a provider's rows into
// a dataset, and send its changes back.
//
// Both raise an orvala::Error carrying the call's status and description
// when a provider operation fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client_dataset.h"
#include "client/orvala_proxy.h"
#include "common/variant.h"

namespace orvala::client {

// Appends every remaining row of the provider to `dataset`, asking for
// `slice` rows per call (-1: all in one). The first call asks for the
// field descriptions when the dataset has none yet. `params`, when not
// Empty, is the parameter packet that restarts the provider's query.
void Fetch(OrvalaProxy& proxy, const std::u16string& provider, ClientDataset& dataset,
           int32_t slice = -1, const Variant& params = Variant());

struct ApplyOutcome {
  int32_t error_count = 0;
  std::vector<RowError> errors;  // the failed rows, matched to the dataset
};

// Sends the dataset's delta, then reconciles it with the answer: rows that
// were applied are merged, failing rows keep their changes and messages.
// Nothing is sent when there is no change.
ApplyOutcome Apply(OrvalaProxy& proxy, const std::u16string& provider, ClientDataset& dataset,
                   int32_t max_errors);

}  // namespace orvala::client
