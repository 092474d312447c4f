// The rows that an orvala-cli session fetched from one provider, kept so
// that a delta line may name only some fields of a row's old version: the
// session finds the fetched row those fields belong to and sends its other
// old values as they were fetched. A value that the line does not give thus
// never travels as null (the supplier statements of SelectFornitoriDitte
// write the old value of every field that the client did not change).
//
// Memory: a fetch may bring a million rows, and most sessions never send a
// delta for them. The rows are therefore kept as binary data packets without
// field descriptions or nested tables (the compact form the server sends),
// cut into chunks of a few thousand rows, and a chunk is decoded only while
// a delta line searches it. The rows cost about what they cost on the wire;
// the search decodes one chunk at a time.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/value.h"
#include "common/variant.h"
#include "packets/packet.h"

namespace orvala::client {

class FetchedRows {
 public:
  // `fields` describes the fetched packets; only its plain fields are kept.
  FetchedRows(const std::vector<packets::Field>& fields, std::string code_page);

  // Adds the rows of one fetched packet (the first of a fetch, or a slice
  // that continues it), in the order fetched.
  void Append(const std::vector<packets::Row>& rows);

  // The plain fields of the rows, and their code page.
  const std::vector<packets::Field>& fields() const { return fields_; }
  const std::string& code_page() const { return code_page_; }
  size_t size() const { return live_; }

  struct Found {
    size_t matches = 0;  // how many rows hold the values (counted up to 2)
    size_t ordinal = 0;  // of the first match, in the order fetched
    std::vector<Value> values;  // the first match, one value per plain field
  };
  // The rows whose plain fields at the given indexes hold exactly the given
  // values, as they stand after this session's applied changes.
  Found Find(const std::vector<std::pair<size_t, Value>>& named) const;

  // After a change of this session was applied: the row now holds `values`,
  // or (nullopt) it was deleted.
  void Update(size_t ordinal, std::optional<std::vector<Value>> values);

 private:
  std::vector<packets::Field> fields_;
  std::string code_page_;
  std::vector<ByteArray> chunks_;  // binary data packets of kChunkRows rows
  std::vector<packets::Row> tail_;  // rows not yet making a full chunk
  size_t count_ = 0;                // rows fetched
  size_t live_ = 0;                 // rows fetched and not deleted since
  // Rows changed or deleted by this session since they were fetched.
  std::map<size_t, std::optional<std::vector<Value>>> changed_;
};

}  // namespace orvala::client
