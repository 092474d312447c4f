#include "bench/raw_firebird.h"

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "driver/administrator.h"
#include "driver/firebird_api.h"

namespace orvala::bench {
namespace {

using Firebird::IMessageMetadata;
// The baseline reads through Firebird's own interfaces, not the driver's
// queries; only the call helper that turns failures into errors is shared.
using driver::fb::Call;
using driver::fb::Master;
using driver::fb::Status;

template <typename T>
T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void Store(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Where one column lives in the message, read once per statement.
struct Slot {
  unsigned type, length, offset, null_offset;
  int scale;
};

std::vector<Slot> SlotsOf(Status& status, IMessageMetadata* meta) {
  std::vector<Slot> slots(meta->getCount(&status));
  for (unsigned i = 0; i < slots.size(); ++i) {
    slots[i] = {meta->getType(&status, i) & ~1u, meta->getLength(&status, i),
                meta->getOffset(&status, i), meta->getNullOffset(&status, i),
                meta->getScale(&status, i)};
  }
  return slots;
}

void ReadBlob(Status& status, Firebird::IAttachment* attachment, Firebird::ITransaction* tx,
              ISC_QUAD id, std::string& out) {
  Firebird::IBlob* blob = attachment->openBlob(&status, tx, &id, 0, nullptr);
  out.clear();
  char chunk[16384];
  for (;;) {
    unsigned got = 0;
    if (blob->getSegment(&status, sizeof chunk, chunk, &got) == Firebird::IStatus::RESULT_NO_DATA) {
      break;
    }
    out.append(chunk, got);
  }
  blob->close(&status);
}

}  // namespace

RawDatabase::RawDatabase(const std::string& path) {
  Call([&](Status& status) {
    const driver::fb::Owned<Firebird::IXpbBuilder> dpb = driver::fb::Own(
        driver::fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0));
    dpb->insertString(&status, isc_dpb_user_name, driver::kAdministratorUser);
    dpb->insertString(&status, isc_dpb_password, driver::kAdministratorPassword);
    attachment_ = Master()->getDispatcher()->attachDatabase(
        &status, path.c_str(), dpb->getBufferLength(&status), dpb->getBuffer(&status));
  });
}

RawDatabase::~RawDatabase() {
  try {
    Call([&](Status& status) {
      if (select_) select_->free(&status);
      attachment_->detach(&status);
    });
  } catch (const Error&) {
  }
}

int64_t RawDatabase::FetchAll(const std::string& select) {
  return Call([&](Status& status) {
    Firebird::ITransaction* tx = attachment_->startTransaction(&status, 0, nullptr);
    if (select != prepared_select_) {
      if (select_) select_->free(&status);
      select_ = attachment_->prepare(&status, tx, 0, select.c_str(), SQL_DIALECT_V6,
                                     Firebird::IStatement::PREPARE_PREFETCH_METADATA);
      prepared_select_ = select;
    }
    IMessageMetadata* meta = select_->getOutputMetadata(&status);
    const std::vector<Slot> slots = SlotsOf(status, meta);
    std::vector<unsigned char> buffer(meta->getMessageLength(&status));
    Firebird::IResultSet* cursor = select_->openCursor(&status, tx, nullptr, nullptr, meta, 0);

    // One C++ value per column, overwritten row after row.
    std::vector<int64_t> integers(slots.size());
    std::vector<double> doubles(slots.size());
    std::vector<Timestamp> stamps(slots.size());
    std::vector<std::string> strings(slots.size());
    int64_t rows = 0;
    while (cursor->fetchNext(&status, buffer.data()) == Firebird::IStatus::RESULT_OK) {
      ++rows;
      for (size_t i = 0; i < slots.size(); ++i) {
        const Slot& s = slots[i];
        if (Load<int16_t>(&buffer[s.null_offset])) continue;
        const unsigned char* at = &buffer[s.offset];
        switch (s.type) {
          case SQL_TEXT: strings[i].assign(reinterpret_cast<const char*>(at), s.length); break;
          case SQL_VARYING:
            strings[i].assign(reinterpret_cast<const char*>(at + 2), Load<uint16_t>(at));
            break;
          case SQL_SHORT: integers[i] = Load<int16_t>(at); break;
          case SQL_LONG: integers[i] = Load<int32_t>(at); break;
          case SQL_INT64: integers[i] = Load<int64_t>(at); break;
          case SQL_FLOAT: doubles[i] = Load<float>(at); break;
          case SQL_DOUBLE: doubles[i] = Load<double>(at); break;
          case SQL_TIMESTAMP: stamps[i] = {Load<int32_t>(at), Load<uint32_t>(at + 4)}; break;
          case SQL_TYPE_DATE: stamps[i] = {Load<int32_t>(at), 0}; break;
          case SQL_TYPE_TIME: stamps[i] = {0, Load<uint32_t>(at)}; break;
          case SQL_BLOB: ReadBlob(status, attachment_, tx, Load<ISC_QUAD>(at), strings[i]); break;
          default: throw Error("Unsupported column type " + std::to_string(s.type));
        }
      }
    }
    cursor->close(&status);
    meta->release();
    tx->commit(&status);
    return rows;
  });
}

void RawDatabase::RunInOneTransaction(const std::vector<Statement>& statements) {
  struct Prepared {
    Firebird::IStatement* statement;
    IMessageMetadata* meta;
    std::vector<Slot> slots;
    std::vector<unsigned char> buffer;
  };
  Call([&](Status& status) {
    Firebird::ITransaction* tx = attachment_->startTransaction(&status, 0, nullptr);
    std::map<std::string, Prepared> prepared;
    for (const Statement& s : statements) {
      auto [it, fresh] = prepared.try_emplace(*s.sql);
      Prepared& p = it->second;
      if (fresh) {
        p.statement = attachment_->prepare(&status, tx, 0, s.sql->c_str(), SQL_DIALECT_V6,
                                           Firebird::IStatement::PREPARE_PREFETCH_METADATA);
        p.meta = p.statement->getInputMetadata(&status);
        p.slots = SlotsOf(status, p.meta);
        p.buffer.assign(p.meta->getMessageLength(&status), 0);
      }
      for (size_t i = 0; i < p.slots.size(); ++i) {
        const Slot& slot = p.slots[i];
        unsigned char* at = &p.buffer[slot.offset];
        const Value& v = (*s.params)[i];
        Store<int16_t>(&p.buffer[slot.null_offset], IsNull(v) ? -1 : 0);
        if (IsNull(v)) continue;
        switch (slot.type) {
          case SQL_TEXT: {
            const std::string& text = std::get<std::string>(v);
            std::memset(at, ' ', slot.length);
            std::memcpy(at, text.data(), std::min<size_t>(text.size(), slot.length));
            break;
          }
          case SQL_VARYING: {
            const std::string& text = std::get<std::string>(v);
            const size_t n = std::min<size_t>(text.size(), slot.length);
            Store<uint16_t>(at, static_cast<uint16_t>(n));
            std::memcpy(at + 2, text.data(), n);
            break;
          }
          case SQL_SHORT:
            Store<int16_t>(at, std::holds_alternative<int16_t>(v) ? std::get<int16_t>(v)
                                                                  : static_cast<int16_t>(std::get<int32_t>(v)));
            break;
          case SQL_LONG:
            Store<int32_t>(at, std::holds_alternative<int32_t>(v) ? std::get<int32_t>(v)
                                                                  : std::get<int16_t>(v));
            break;
          case SQL_INT64: Store<int64_t>(at, std::get<int64_t>(v)); break;
          case SQL_DOUBLE: Store<double>(at, std::get<double>(v)); break;
          case SQL_TIMESTAMP: {
            const Timestamp t = std::get<Timestamp>(v);
            Store<int32_t>(at, t.day);
            Store<uint32_t>(at + 4, t.time);
            break;
          }
          default: throw Error("Unsupported parameter type " + std::to_string(slot.type));
        }
      }
      p.statement->execute(&status, tx, p.meta, p.buffer.data(), nullptr, nullptr);
      if (p.statement->getAffectedRecords(&status) != 1) throw Error("The update missed its row");
    }
    tx->commit(&status);
    for (auto& [sql, p] : prepared) {
      p.meta->release();
      p.statement->free(&status);
    }
  });
}

}  // namespace orvala::bench
