#include "transport/wire.h"

#include <array>
#include <limits>

#include "common/error.h"
#include "packets/cbor.h"

namespace orvala::transport::wire {
namespace {

using cbor::Major;
using cbor::Reader;
using cbor::Writer;

// ---- encoding ----

void WriteStatus(Writer& w, HResult status) { w.Int(status); }

void WriteErrorInfo(Writer& w, const std::optional<server::ErrorInfo>& error) {
  if (!error) {
    w.Null();
    return;
  }
  w.ArrayHeader(5);
  w.Text(error->iid.ToString());
  w.Text(error->source);
  w.Text(error->description);
  w.Int(error->help_context);
  w.Text(error->help_file);
}

void WriteKind(Writer& w, FrameKind kind, uint64_t fields) {
  w.ArrayHeader(1 + fields);
  w.Unsigned(static_cast<uint8_t>(kind));
}

void WriteTypeLibrary(Writer& w, const server::TypeLibraryDescription& lib) {
  w.MapHeader(8);
  w.Text("name");
  w.Text(lib.name);
  w.Text("help");
  w.Text(lib.help_string);
  w.Text("libid");
  w.Text(lib.libid);
  w.Text("version");
  w.ArrayHeader(2);
  w.Int(lib.major);
  w.Int(lib.minor);
  w.Text("lcid");
  w.Int(lib.lcid);
  w.Text("interface");
  w.MapHeader(5);
  w.Text("name");
  w.Text(lib.interface_name);
  w.Text("iid");
  w.Text(lib.iid);
  w.Text("help");
  w.Text(lib.interface_help);
  w.Text("base");
  w.Text(lib.base_name);
  w.Text("base_iid");
  w.Text(lib.base_iid);
  w.Text("class");
  w.MapHeader(4);
  w.Text("name");
  w.Text(lib.class_name);
  w.Text("clsid");
  w.Text(lib.clsid);
  w.Text("help");
  w.Text(lib.class_help);
  w.Text("progid");
  w.Text(lib.prog_id);
  w.Text("entries");
  w.ArrayHeader(lib.entries.size());
  for (const server::EntryDescription& e : lib.entries) {
    w.MapHeader(6);
    w.Text("slot");
    w.Int(e.slot);
    w.Text("dispid");
    w.Int(e.dispid);
    w.Text("name");
    w.Text(e.name);
    w.Text("kind");
    w.Text(server::InterfaceKindName(e.kind));
    w.Text("args");
    w.ArrayHeader(e.args.size());
    for (const server::ArgDescription& a : e.args) {
      w.MapHeader(3);
      w.Text("name");
      w.Text(a.name);
      w.Text("direction");
      w.Text(server::ArgDirectionName(a.direction));
      w.Text("type");
      w.Text(server::ArgTypeName(a.type));
    }
    w.Text("result");
    if (e.result == server::ResultType::None) {
      w.Null();
    } else {
      w.MapHeader(2);
      w.Text("name");
      w.Text(e.result_name);
      w.Text("type");
      w.Text(server::ResultTypeName(e.result));
    }
  }
}

struct ClientEncoder {
  Writer& w;
  void operator()(const Hello& f) {
    WriteKind(w, FrameKind::kHello, 2);
    w.Unsigned(f.version);
    if (f.secret) {
      w.Bytes(std::string_view(*f.secret));
    } else {
      w.Null();
    }
  }
  void operator()(const CreateObject& f) {
    WriteKind(w, FrameKind::kCreateObject, 1);
    w.Text(f.clsid);
  }
  void operator()(const CallRequest& f) {
    WriteKind(w, FrameKind::kCall, 3);
    w.Unsigned(static_cast<uint8_t>(f.target));
    w.Int(f.id);
    w.ArrayHeader(f.args.size());
    for (const Variant& arg : f.args) cbor::EncodeVariant(w, arg);
  }
  void operator()(const GetIdsOfNames& f) {
    WriteKind(w, FrameKind::kGetIdsOfNames, 1);
    w.ArrayHeader(f.names.size());
    for (const std::string& name : f.names) w.Text(name);
  }
  void operator()(const GetTypeInfo&) { WriteKind(w, FrameKind::kGetTypeInfo, 0); }
  void operator()(const Release&) { WriteKind(w, FrameKind::kRelease, 0); }
  void operator()(const GetTypeLibrary&) { WriteKind(w, FrameKind::kGetTypeLibrary, 0); }
};

struct ServerEncoder {
  Writer& w;
  void operator()(const Welcome& f) {
    WriteKind(w, FrameKind::kWelcome, 1);
    w.Unsigned(f.version);
  }
  void operator()(const StatusReply& f) {
    WriteKind(w, FrameKind::kStatus, 2);
    WriteStatus(w, f.status);
    WriteErrorInfo(w, f.error);
  }
  void operator()(const CallReply& f) {
    WriteKind(w, FrameKind::kCallReply, 4);
    WriteStatus(w, f.status);
    if (f.result) {
      cbor::EncodeVariant(w, *f.result);
    } else {
      w.Tag(kTagNotWritten);
      w.Null();
    }
    w.MapHeader(f.out.size());
    for (const auto& [index, value] : f.out) {
      w.Unsigned(index);
      cbor::EncodeVariant(w, value);
    }
    WriteErrorInfo(w, f.error);
  }
  void operator()(const IdsOfNamesReply& f) {
    WriteKind(w, FrameKind::kIdsOfNamesReply, 2);
    WriteStatus(w, f.status);
    w.ArrayHeader(f.ids.size());
    for (int32_t id : f.ids) w.Int(id);
  }
  void operator()(const TypeInfoReply& f) {
    WriteKind(w, FrameKind::kTypeInfoReply, 2);
    WriteStatus(w, f.status);
    w.Text(f.text);
  }
  void operator()(const TypeLibraryReply& f) {
    WriteKind(w, FrameKind::kTypeLibraryReply, 2);
    WriteStatus(w, f.status);
    if (f.library) {
      WriteTypeLibrary(w, *f.library);
    } else {
      w.Null();
    }
  }
};

// ---- decoding ----

// Walks one item without keeping anything, spending one unit of `budget`
// per item; fails once the budget is gone. The walk goes no deeper than
// the reader's nesting limit.
void SpendItems(Reader& r, size_t& budget) {
  if (budget == 0) r.Fail("too many items in one frame");
  --budget;
  switch (r.PeekMajor()) {
    case Major::Array: {
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      for (uint64_t i = 0; i < count; ++i) SpendItems(r, budget);
      return;
    }
    case Major::Map: {
      Reader::Nest nest(r);
      const uint64_t count = r.ReadMapHeader();
      for (uint64_t i = 0; i < 2 * count; ++i) SpendItems(r, budget);
      return;
    }
    case Major::Tag: {
      Reader::Nest nest(r);
      r.ReadTag();
      SpendItems(r, budget);
      return;
    }
    default:
      r.Skip();
  }
}

// Checks the whole body before it is decoded: exactly one item, within the
// item budget.
void CheckBody(std::span<const uint8_t> body) {
  Reader scout(body);
  size_t budget = kMaxItemsPerFrame;
  SpendItems(scout, budget);
  scout.ExpectEnd();
}

// Opens the frame's array and returns its kind and the count of fields.
std::pair<FrameKind, uint64_t> ReadKind(Reader& r) {
  const uint64_t items = r.ReadArrayHeader();
  if (items == 0) r.Fail("frame without a kind");
  const uint64_t kind = r.ReadUnsigned();
  if (kind > std::numeric_limits<uint8_t>::max()) r.Fail("unknown frame kind");
  return {static_cast<FrameKind>(kind), items - 1};
}

void ExpectFields(const Reader& r, uint64_t have, uint64_t want) {
  if (have != want) r.Fail("wrong number of fields for the frame kind");
}

uint32_t ReadVersion(Reader& r) {
  const uint64_t version = r.ReadUnsigned();
  if (version > std::numeric_limits<uint32_t>::max()) r.Fail("version out of range");
  return static_cast<uint32_t>(version);
}

HResult ReadStatus(Reader& r) {
  // Written as a signed 32-bit integer; the unsigned spelling (0x8000FFFF)
  // that other writers may choose is taken too.
  const int64_t value = r.ReadInt();
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<uint32_t>::max()) {
    r.Fail("status out of range");
  }
  return static_cast<HResult>(static_cast<uint32_t>(value));
}

std::optional<server::ErrorInfo> ReadErrorInfo(Reader& r) {
  if (r.TryReadNull()) return std::nullopt;
  Reader::Nest nest(r);
  r.ExpectArray(5);
  server::ErrorInfo info;
  const std::string_view iid = r.ReadText();
  const std::optional<Guid> parsed = Guid::Parse(iid);
  if (!parsed) r.Fail("error information with a malformed IID");
  info.iid = *parsed;
  info.source = std::string(r.ReadText());
  info.description = std::string(r.ReadText());
  info.help_context = r.ReadInt32();
  info.help_file = std::string(r.ReadText());
  return info;
}

// Reads a map with text keys, handing each key to `field`, which reads the
// value and answers true, or answers false for a key it does not know,
// whose value is then skipped.
template <typename Field>
void ReadTextKeyedMap(Reader& r, Field field) {
  Reader::Nest nest(r);
  const uint64_t count = r.ReadMapHeader();
  for (uint64_t i = 0; i < count; ++i) {
    const std::string_view key = r.ReadText();
    if (!field(key)) r.Skip();
  }
}

template <typename Enum>
Enum ReadName(Reader& r, std::optional<Enum> (*by_name)(std::string_view), const char* what) {
  const std::optional<Enum> value = by_name(r.ReadText());
  if (!value) r.Fail(what);
  return *value;
}

server::ArgDescription ReadArgDescription(Reader& r) {
  server::ArgDescription a;
  ReadTextKeyedMap(r, [&](std::string_view key) {
    if (key == "name") a.name = r.ReadText();
    else if (key == "direction") a.direction = ReadName(r, server::ArgDirectionByName, "unknown argument direction");
    else if (key == "type") a.type = ReadName(r, server::ArgTypeByName, "unknown argument type");
    else return false;
    return true;
  });
  return a;
}

void ReadResult(Reader& r, server::EntryDescription& e) {
  if (r.TryReadNull()) {
    e.result = server::ResultType::None;
    e.result_name.clear();
    return;
  }
  e.result = server::ResultType::Variant;
  ReadTextKeyedMap(r, [&](std::string_view key) {
    if (key == "name") e.result_name = r.ReadText();
    else if (key == "type") e.result = ReadName(r, server::ResultTypeByName, "unknown result type");
    else return false;
    return true;
  });
  if (e.result == server::ResultType::None) r.Fail("a result without a type");
}

server::EntryDescription ReadEntryDescription(Reader& r) {
  server::EntryDescription e;
  ReadTextKeyedMap(r, [&](std::string_view key) {
    if (key == "slot") e.slot = r.ReadInt32();
    else if (key == "dispid") e.dispid = r.ReadInt32();
    else if (key == "name") e.name = r.ReadText();
    else if (key == "kind") e.kind = ReadName(r, server::InterfaceKindByName, "unknown interface kind");
    else if (key == "result") ReadResult(r, e);
    else if (key == "args") {
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      e.args.clear();
      for (uint64_t i = 0; i < count; ++i) e.args.push_back(ReadArgDescription(r));
    } else {
      return false;
    }
    return true;
  });
  return e;
}

server::TypeLibraryDescription ReadTypeLibrary(Reader& r) {
  server::TypeLibraryDescription lib;
  ReadTextKeyedMap(r, [&](std::string_view key) {
    if (key == "name") lib.name = r.ReadText();
    else if (key == "help") lib.help_string = r.ReadText();
    else if (key == "libid") lib.libid = r.ReadText();
    else if (key == "lcid") lib.lcid = r.ReadInt32();
    else if (key == "version") {
      Reader::Nest nest(r);
      r.ExpectArray(2);
      lib.major = r.ReadInt32();
      lib.minor = r.ReadInt32();
    } else if (key == "interface") {
      ReadTextKeyedMap(r, [&](std::string_view k) {
        if (k == "name") lib.interface_name = r.ReadText();
        else if (k == "iid") lib.iid = r.ReadText();
        else if (k == "help") lib.interface_help = r.ReadText();
        else if (k == "base") lib.base_name = r.ReadText();
        else if (k == "base_iid") lib.base_iid = r.ReadText();
        else return false;
        return true;
      });
    } else if (key == "class") {
      ReadTextKeyedMap(r, [&](std::string_view k) {
        if (k == "name") lib.class_name = r.ReadText();
        else if (k == "clsid") lib.clsid = r.ReadText();
        else if (k == "help") lib.class_help = r.ReadText();
        else if (k == "progid") lib.prog_id = r.ReadText();
        else return false;
        return true;
      });
    } else if (key == "entries") {
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      lib.entries.clear();
      for (uint64_t i = 0; i < count; ++i) lib.entries.push_back(ReadEntryDescription(r));
    } else {
      return false;
    }
    return true;
  });
  return lib;
}

ClientFrame ReadClientFrame(Reader& r) {
  const auto [kind, fields] = ReadKind(r);
  switch (kind) {
    case FrameKind::kHello: {
      ExpectFields(r, fields, 2);
      Hello f;
      f.version = ReadVersion(r);
      if (!r.TryReadNull()) f.secret = std::string(r.ReadBytesAsString());
      return f;
    }
    case FrameKind::kCreateObject: {
      ExpectFields(r, fields, 1);
      return CreateObject{std::string(r.ReadText())};
    }
    case FrameKind::kCall: {
      ExpectFields(r, fields, 3);
      CallRequest f;
      const uint64_t target = r.ReadUnsigned();
      if (target > static_cast<uint8_t>(CallTarget::kDispid)) r.Fail("unknown call target");
      f.target = static_cast<CallTarget>(target);
      f.id = r.ReadInt32();
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      f.args.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) f.args.push_back(cbor::DecodeVariant(r));
      return f;
    }
    case FrameKind::kGetIdsOfNames: {
      ExpectFields(r, fields, 1);
      GetIdsOfNames f;
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      f.names.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) f.names.emplace_back(r.ReadText());
      return f;
    }
    case FrameKind::kGetTypeInfo:
      ExpectFields(r, fields, 0);
      return GetTypeInfo{};
    case FrameKind::kRelease:
      ExpectFields(r, fields, 0);
      return Release{};
    case FrameKind::kGetTypeLibrary:
      ExpectFields(r, fields, 0);
      return GetTypeLibrary{};
    default:
      r.Fail("unknown frame kind");
  }
}

ServerFrame ReadServerFrame(Reader& r) {
  const auto [kind, fields] = ReadKind(r);
  switch (kind) {
    case FrameKind::kWelcome:
      ExpectFields(r, fields, 1);
      return Welcome{ReadVersion(r)};
    case FrameKind::kStatus: {
      ExpectFields(r, fields, 2);
      StatusReply f;
      f.status = ReadStatus(r);
      f.error = ReadErrorInfo(r);
      return f;
    }
    case FrameKind::kCallReply: {
      ExpectFields(r, fields, 4);
      CallReply f;
      f.status = ReadStatus(r);
      if (r.PeekTag(kTagNotWritten)) {
        Reader::Nest nest(r);
        r.ReadTag();
        r.ReadNull();
      } else {
        f.result = cbor::DecodeVariant(r);
      }
      Reader::Nest nest(r);
      const uint64_t count = r.ReadMapHeader();
      f.out.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t index = r.ReadUnsigned();
        if (index > std::numeric_limits<uint32_t>::max()) r.Fail("argument index out of range");
        f.out.emplace_back(static_cast<uint32_t>(index), cbor::DecodeVariant(r));
      }
      f.error = ReadErrorInfo(r);
      return f;
    }
    case FrameKind::kIdsOfNamesReply: {
      ExpectFields(r, fields, 2);
      IdsOfNamesReply f;
      f.status = ReadStatus(r);
      Reader::Nest nest(r);
      const uint64_t count = r.ReadArrayHeader();
      f.ids.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) f.ids.push_back(r.ReadInt32());
      return f;
    }
    case FrameKind::kTypeInfoReply: {
      ExpectFields(r, fields, 2);
      TypeInfoReply f;
      f.status = ReadStatus(r);
      f.text = std::string(r.ReadText());
      return f;
    }
    case FrameKind::kTypeLibraryReply: {
      ExpectFields(r, fields, 2);
      TypeLibraryReply f;
      f.status = ReadStatus(r);
      if (!r.TryReadNull()) f.library = ReadTypeLibrary(r);
      return f;
    }
    default:
      r.Fail("unknown frame kind");
  }
}

template <typename Frame, typename ReadFn>
Frame DecodeWith(std::span<const uint8_t> body, ReadFn read) {
  CheckBody(body);
  Reader r(body);
  Frame frame = read(r);
  r.ExpectEnd();
  return frame;
}

}  // namespace

std::vector<uint8_t> EncodeBody(const ClientFrame& frame) {
  Writer w;
  std::visit(ClientEncoder{w}, frame);
  return w.Take();
}

std::vector<uint8_t> EncodeBody(const ServerFrame& frame) {
  Writer w;
  std::visit(ServerEncoder{w}, frame);
  return w.Take();
}

ClientFrame DecodeClientFrame(std::span<const uint8_t> body) {
  return DecodeWith<ClientFrame>(body, ReadClientFrame);
}

ServerFrame DecodeServerFrame(std::span<const uint8_t> body) {
  return DecodeWith<ServerFrame>(body, ReadServerFrame);
}

std::vector<uint8_t> EncodeFrame(const ClientFrame& frame) { return Prefixed(EncodeBody(frame)); }
std::vector<uint8_t> EncodeFrame(const ServerFrame& frame) { return Prefixed(EncodeBody(frame)); }

namespace {

// The 4-byte big-endian length prefix of a body of `size` bytes.
std::array<uint8_t, kLengthPrefixSize> LengthPrefix(uint64_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) throw Error("Frame too large to send");
  const auto length = static_cast<uint32_t>(size);
  return {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

}  // namespace

std::vector<uint8_t> Prefixed(std::vector<uint8_t> body) {
  const auto prefix = LengthPrefix(body.size());
  // In place: the encoder's buffer usually has the room already.
  body.insert(body.begin(), prefix.begin(), prefix.end());
  return body;
}

std::vector<uint8_t> ReplyPartHead(uint64_t total, size_t chunk_size) {
  Writer w;
  WriteKind(w, FrameKind::kReplyPart, 2);
  w.Unsigned(total);
  std::vector<uint8_t> head = w.Take();
  // The head of a byte string of `chunk_size` bytes is that of the
  // unsigned integer `chunk_size` with major type 2 in place of 0.
  Writer length;
  length.Unsigned(chunk_size);
  std::vector<uint8_t> length_head = length.Take();
  length_head[0] |= static_cast<uint8_t>(static_cast<uint8_t>(Major::Bytes) << 5);
  head.insert(head.end(), length_head.begin(), length_head.end());
  const auto prefix = LengthPrefix(head.size() + chunk_size);
  head.insert(head.begin(), prefix.begin(), prefix.end());
  return head;
}

std::optional<ReplyPart> ReadReplyPart(std::span<const uint8_t> body) {
  // [22, ...]: a three-item array whose first item is the kind.
  if (body.size() < 2 || body[0] != 0x83 || body[1] != static_cast<uint8_t>(FrameKind::kReplyPart)) {
    return std::nullopt;
  }
  Reader r(body);
  r.ReadArrayHeader();
  r.ReadUnsigned();
  ReplyPart part;
  part.total = r.ReadUnsigned();
  part.chunk = r.ReadBytes();
  r.ExpectEnd();
  if (part.chunk.empty() || part.chunk.size() > part.total) r.Fail("a reply part out of bounds");
  return part;
}

uint32_t ReadLengthPrefix(std::span<const uint8_t, kLengthPrefixSize> prefix) {
  return (uint32_t{prefix[0]} << 24) | (uint32_t{prefix[1]} << 16) | (uint32_t{prefix[2]} << 8) |
         uint32_t{prefix[3]};
}

FrameSplit SplitFrame(std::span<const uint8_t> stream, size_t max_frame_size) {
  if (stream.size() < kLengthPrefixSize) return {FrameSplit::State::kNeedMore, {}, 0};
  const uint32_t length = ReadLengthPrefix(stream.first<kLengthPrefixSize>());
  if (length == 0) return {FrameSplit::State::kEmpty, {}, 0};
  if (length > max_frame_size) return {FrameSplit::State::kTooLarge, {}, 0};
  if (stream.size() - kLengthPrefixSize < length) return {FrameSplit::State::kNeedMore, {}, 0};
  return {FrameSplit::State::kComplete, stream.subspan(kLengthPrefixSize, length),
          kLengthPrefixSize + length};
}

}  // namespace orvala::transport::wire
