#include "client/cli_fetched_rows.h"

#include "packets/codec.h"

namespace orvala::client {
namespace {

// Large enough that the packet framing costs nothing, small enough that
// decoding one chunk during a search stays a few hundred kilobytes.
constexpr size_t kChunkRows = 4096;

}  // namespace

FetchedRows::FetchedRows(const std::vector<packets::Field>& fields, std::string code_page)
    : code_page_(std::move(code_page)) {
  for (const packets::Field& f : fields) {
    if (!f.is_nested()) fields_.push_back(f);
  }
}

void FetchedRows::Append(const std::vector<packets::Row>& rows) {
  for (const packets::Row& row : rows) {
    tail_.push_back(packets::Row{row.values, {}});
    ++count_;
    ++live_;
    if (tail_.size() < kChunkRows) continue;
    packets::DataPacket chunk;
    chunk.code_page = code_page_;
    chunk.has_metadata = false;
    chunk.rows = std::move(tail_);
    chunks_.push_back(packets::Encode(chunk, packets::Encoding::Binary));
    tail_.clear();
  }
}

FetchedRows::Found FetchedRows::Find(const std::vector<std::pair<size_t, Value>>& named) const {
  Found found;
  size_t ordinal = 0;
  auto consider = [&](const std::vector<Value>& fetched) {
    const size_t here = ordinal++;
    const std::vector<Value>* values = &fetched;
    if (auto change = changed_.find(here); change != changed_.end()) {
      if (!change->second) return;
      values = &*change->second;
    }
    for (const auto& [index, value] : named) {
      if (index >= values->size() || (*values)[index] != value) return;
    }
    if (found.matches++ == 0) {
      found.ordinal = here;
      found.values = *values;
    }
  };
  for (const ByteArray& bytes : chunks_) {
    for (const packets::Row& row : packets::DecodeDataPacket(bytes).rows) {
      consider(row.values);
      if (found.matches > 1) return found;
    }
  }
  for (const packets::Row& row : tail_) {
    consider(row.values);
    if (found.matches > 1) return found;
  }
  return found;
}

void FetchedRows::Update(size_t ordinal, std::optional<std::vector<Value>> values) {
  if (ordinal >= count_) return;
  auto [change, inserted] = changed_.try_emplace(ordinal);
  const bool was_live = inserted || change->second.has_value();
  if (was_live && !values) --live_;
  if (!was_live && values) ++live_;
  change->second = std::move(values);
}

}  // namespace orvala::client
