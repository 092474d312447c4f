#include "transport/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/error.h"
#include "packets/cbor.h"
#include "packets/refusal_test_util.h"
#include "server/type_library.h"

namespace orvala::transport::wire {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Refusal;

server::ErrorInfo SampleError() {
  return server::ErrorInfo{server::Library().iid, "OrvalaAppServer.Orvala",
                           "Invalid data type for 'DBPATHVALUE'", "help.hlp", 42};
}

void ExpectSameError(const std::optional<server::ErrorInfo>& a,
                     const std::optional<server::ErrorInfo>& b) {
  ASSERT_EQ(a.has_value(), b.has_value());
  if (!a) return;
  EXPECT_EQ(a->iid, b->iid);
  EXPECT_EQ(a->source, b->source);
  EXPECT_EQ(a->description, b->description);
  EXPECT_EQ(a->help_context, b->help_context);
  EXPECT_EQ(a->help_file, b->help_file);
}

TEST(WireTest, ClientFramesSurviveTheRoundTrip) {
  const std::vector<Variant> args = {
      Variant::BStr(u"SYSDBA"), Variant::I4(-7), Variant(), Variant::Null(), Variant::R8(0.1),
      Variant::Date(45000.5), Variant::Bytes({0, 1, 255}),
      Variant::Array({Variant::I4(1), Variant::BStr(u"\u00e8")})};
  const std::vector<ClientFrame> frames = {
      Hello{1, std::nullopt},
      Hello{7, std::string("s\0cret", 6)},
      CreateObject{"{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}"},
      CallRequest{CallTarget::kSlot, 14, args},
      CallRequest{CallTarget::kDispid, -5, {}},
      GetIdsOfNames{{"Login", "UserName"}},
      GetTypeInfo{},
      Release{},
      GetTypeLibrary{},
  };
  for (const ClientFrame& frame : frames) {
    const ClientFrame back = DecodeClientFrame(EncodeBody(frame));
    ASSERT_EQ(back.index(), frame.index());
    if (const auto* hello = std::get_if<Hello>(&frame)) {
      EXPECT_EQ(std::get<Hello>(back).version, hello->version);
      EXPECT_EQ(std::get<Hello>(back).secret, hello->secret);
    } else if (const auto* create = std::get_if<CreateObject>(&frame)) {
      EXPECT_EQ(std::get<CreateObject>(back).clsid, create->clsid);
    } else if (const auto* call = std::get_if<CallRequest>(&frame)) {
      EXPECT_EQ(std::get<CallRequest>(back).target, call->target);
      EXPECT_EQ(std::get<CallRequest>(back).id, call->id);
      EXPECT_EQ(std::get<CallRequest>(back).args, call->args);
    } else if (const auto* ids = std::get_if<GetIdsOfNames>(&frame)) {
      EXPECT_EQ(std::get<GetIdsOfNames>(back).names, ids->names);
    }
  }
}

TEST(WireTest, ServerFramesSurviveTheRoundTrip) {
  const std::vector<ServerFrame> frames = {
      Welcome{1},
      StatusReply{S_OK, std::nullopt},
      StatusReply{E_ACCESSDENIED, SampleError()},
      CallReply{S_OK, std::nullopt, {{4, Variant()}}, std::nullopt},
      CallReply{S_OK, Variant(), {}, std::nullopt},
      CallReply{S_OK, Variant::I4(1), {{3, Variant::I4(9)}, {6, Variant::Bytes({1, 2})}},
                std::nullopt},
      CallReply{E_UNEXPECTED, std::nullopt, {}, SampleError()},
      IdsOfNamesReply{DISP_E_UNKNOWNNAME, {1, kDispidUnknown}},
      TypeInfoReply{S_OK, "library OrvalaAppServer"},
      TypeLibraryReply{S_OK, server::DescribeTypeLibraryAsData()},
      TypeLibraryReply{E_UNEXPECTED, std::nullopt},
  };
  for (const ServerFrame& frame : frames) {
    const ServerFrame back = DecodeServerFrame(EncodeBody(frame));
    ASSERT_EQ(back.index(), frame.index());
    if (const auto* status = std::get_if<StatusReply>(&frame)) {
      EXPECT_EQ(std::get<StatusReply>(back).status, status->status);
      ExpectSameError(std::get<StatusReply>(back).error, status->error);
    } else if (const auto* reply = std::get_if<CallReply>(&frame)) {
      const auto& got = std::get<CallReply>(back);
      EXPECT_EQ(got.status, reply->status);
      // "Not written" and a written Empty must stay apart.
      EXPECT_EQ(got.result, reply->result);
      EXPECT_EQ(got.out, reply->out);
      ExpectSameError(got.error, reply->error);
    } else if (const auto* ids = std::get_if<IdsOfNamesReply>(&frame)) {
      EXPECT_EQ(std::get<IdsOfNamesReply>(back).status, ids->status);
      EXPECT_EQ(std::get<IdsOfNamesReply>(back).ids, ids->ids);
    } else if (const auto* info = std::get_if<TypeInfoReply>(&frame)) {
      EXPECT_EQ(std::get<TypeInfoReply>(back).text, info->text);
    } else if (const auto* lib = std::get_if<TypeLibraryReply>(&frame)) {
      EXPECT_EQ(std::get<TypeLibraryReply>(back).status, lib->status);
      EXPECT_EQ(std::get<TypeLibraryReply>(back).library, lib->library);
    }
  }
}

// A later server may add keys to the type library's maps; a reader passes
// over them. A name it cannot know is refused, never guessed.
TEST(WireTest, TheTypeLibrarySkipsUnknownKeysAndRefusesUnknownNames) {
  const auto reply = [](const char* extra_key, const char* direction) {
    cbor::Writer w;
    w.ArrayHeader(3);
    w.Unsigned(static_cast<uint8_t>(FrameKind::kTypeLibraryReply));
    w.Int(S_OK);
    w.MapHeader(2);
    w.Text(extra_key);
    w.ArrayHeader(1);
    w.Bool(true);
    w.Text("entries");
    w.ArrayHeader(1);
    w.MapHeader(3);
    w.Text("name");
    w.Text("Logoff");
    w.Text("args");
    w.ArrayHeader(1);
    w.MapHeader(2);
    w.Text("direction");
    w.Text(direction);
    w.Text("note");
    w.Null();
    w.Text("result");
    w.MapHeader(1);
    w.Text("type");
    w.Text("HRESULT");
    return w.Take();
  };
  const ServerFrame frame = DecodeServerFrame(reply("typeflags", "in"));
  const auto& lib = std::get<TypeLibraryReply>(frame).library;
  ASSERT_TRUE(lib);
  ASSERT_EQ(lib->entries.size(), 1u);
  EXPECT_EQ(lib->entries[0].name, "Logoff");
  ASSERT_EQ(lib->entries[0].args.size(), 1u);
  EXPECT_EQ(lib->entries[0].args[0].direction, server::ArgDirection::In);
  EXPECT_EQ(lib->entries[0].result, server::ResultType::MethodResult);
  EXPECT_EQ(Refusal([](auto body) { DecodeServerFrame(body); }, reply("typeflags", "sideways")),
            "Malformed packet: unknown argument direction");
}

TEST(WireTest, StatusMayBeWrittenUnsigned) {
  cbor::Writer w;
  w.ArrayHeader(3);
  w.Unsigned(static_cast<uint8_t>(FrameKind::kStatus));
  w.Unsigned(0x8000FFFFu);
  w.Null();
  const ServerFrame frame = DecodeServerFrame(w.Take());
  EXPECT_EQ(std::get<StatusReply>(frame).status, E_UNEXPECTED);
}

TEST(WireTest, SplitFrameFindsOneFrameAtATime) {
  const Bytes one = EncodeFrame(ClientFrame(GetTypeInfo{}));
  Bytes stream = one;
  const Bytes two = EncodeFrame(ClientFrame(Release{}));
  stream.insert(stream.end(), two.begin(), two.end());

  const FrameSplit first = SplitFrame(stream, kDefaultMaxFrameSize);
  ASSERT_EQ(first.state, FrameSplit::State::kComplete);
  EXPECT_EQ(first.consumed, one.size());
  EXPECT_TRUE(std::holds_alternative<GetTypeInfo>(DecodeClientFrame(first.body)));
  const FrameSplit second =
      SplitFrame(std::span(stream).subspan(first.consumed), kDefaultMaxFrameSize);
  ASSERT_EQ(second.state, FrameSplit::State::kComplete);
  EXPECT_TRUE(std::holds_alternative<Release>(DecodeClientFrame(second.body)));

  for (size_t cut = 0; cut < one.size(); ++cut) {
    EXPECT_EQ(SplitFrame(std::span(one).first(cut), kDefaultMaxFrameSize).state,
              FrameSplit::State::kNeedMore)
        << cut;
  }
  EXPECT_EQ(SplitFrame(Bytes{0, 0, 0, 0}, kDefaultMaxFrameSize).state, FrameSplit::State::kEmpty);
  EXPECT_EQ(SplitFrame(Bytes{0, 0, 1, 1, 0}, 256).state, FrameSplit::State::kTooLarge);
  EXPECT_EQ(SplitFrame(Bytes{0xFF, 0xFF, 0xFF, 0xFF}, kDefaultMaxFrameSize).state,
            FrameSplit::State::kTooLarge);
}

TEST(WireTest, EveryTruncationOfAValidBodyIsRefused) {
  const std::vector<ClientFrame> frames = {
      Hello{1, std::string("secret")},
      CallRequest{CallTarget::kSlot, 20,
                  {Variant::BStr(u"x"), Variant::Array({Variant::R8(1.5), Variant::Null()})}},
      GetIdsOfNames{{"CanDo", "ID_Utenti"}},
  };
  for (const ClientFrame& frame : frames) {
    const Bytes body = EncodeBody(frame);
    for (size_t cut = 0; cut < body.size(); ++cut) {
      EXPECT_THROW(DecodeClientFrame(std::span(body).first(cut)), Error) << cut;
    }
  }
  const Bytes reply =
      EncodeBody(ServerFrame(CallReply{E_UNEXPECTED, Variant::I4(1), {{2, Variant()}}, SampleError()}));
  for (size_t cut = 0; cut < reply.size(); ++cut) {
    EXPECT_THROW(DecodeServerFrame(std::span(reply).first(cut)), Error) << cut;
  }
}

// A body written by hand, for the shapes that no encoder of ours produces.
Bytes Body(const std::function<void(cbor::Writer&)>& write) {
  cbor::Writer w;
  write(w);
  return w.Take();
}

TEST(WireTest, MalformedClientBodiesAreRefused) {
  const auto kind = [](cbor::Writer& w, FrameKind k, uint64_t fields) {
    w.ArrayHeader(fields + 1);
    w.Unsigned(static_cast<uint8_t>(k));
  };
  const struct {
    const char* name;
    Bytes body;
    std::string reason;
  } cases[] = {
      {"not an array", Body([](cbor::Writer& w) { w.Unsigned(1); }),
       "Malformed packet: unexpected item type"},
      {"empty array", Body([](cbor::Writer& w) { w.ArrayHeader(0); }),
       "Malformed packet: frame without a kind"},
      {"kind as text", Body([](cbor::Writer& w) {
         w.ArrayHeader(1);
         w.Text("hello");
       }),
       "Malformed packet: unexpected item type"},
      {"unknown kind", Body([](cbor::Writer& w) { w.ArrayHeader(1), w.Unsigned(99); }),
       "Malformed packet: unknown frame kind"},
      {"kind beyond a byte", Body([](cbor::Writer& w) { w.ArrayHeader(1), w.Unsigned(256 + 5); }),
       "Malformed packet: unknown frame kind"},
      {"server kind sent by a client",
       Body([&](cbor::Writer& w) { kind(w, FrameKind::kWelcome, 1), w.Unsigned(1); }),
       "Malformed packet: unknown frame kind"},
      {"hello without secret field", Body([&](cbor::Writer& w) { kind(w, FrameKind::kHello, 1), w.Unsigned(1); }),
       "Malformed packet: wrong number of fields for the frame kind"},
      {"hello with negative version", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kHello, 2), w.Int(-1), w.Null();
       }),
       "Malformed packet: unexpected item type"},
      {"hello with a text secret", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kHello, 2), w.Unsigned(1), w.Text("secret");
       }),
       "Malformed packet: unexpected item type"},
      {"create with a number", Body([&](cbor::Writer& w) { kind(w, FrameKind::kCreateObject, 1), w.Unsigned(5); }),
       "Malformed packet: unexpected item type"},
      {"call with unknown target", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(2), w.Int(1), w.ArrayHeader(0);
       }),
       "Malformed packet: unknown call target"},
      {"call id beyond 32 bits", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(int64_t{1} << 40), w.ArrayHeader(0);
       }),
       "Malformed packet: integer out of range"},
      {"call args as a map", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(1), w.MapHeader(0);
       }),
       "Malformed packet: unexpected item type"},
      {"call arg of unknown tag", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(1), w.ArrayHeader(1);
         w.Tag(12345), w.Unsigned(1);
       }),
       "Malformed packet: unknown tag"},
      {"call arg count beyond the data", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(1), w.ArrayHeader(1'000'000);
       }),
       "Malformed packet: array count larger than the data"},
      {"names with a number", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kGetIdsOfNames, 1), w.ArrayHeader(1), w.Unsigned(3);
       }),
       "Malformed packet: unexpected item type"},
      {"release with a field", Body([&](cbor::Writer& w) { kind(w, FrameKind::kRelease, 1), w.Null(); }),
       "Malformed packet: wrong number of fields for the frame kind"},
      {"trailing bytes", Body([&](cbor::Writer& w) { kind(w, FrameKind::kRelease, 0), w.Null(); }),
       "Malformed packet: unexpected data after the end"},
      {"invalid UTF-8 class id", [&] {
         Bytes b = Body([&](cbor::Writer& w) { kind(w, FrameKind::kCreateObject, 1); });
         b.insert(b.end(), {0x62, 0xC3, 0x28});
         return b;
       }(),
       "Malformed packet: text string is not UTF-8"},
      {"invalid UTF-8 name", [&] {
         Bytes b = Body([&](cbor::Writer& w) {
           kind(w, FrameKind::kGetIdsOfNames, 1), w.ArrayHeader(1);
         });
         b.insert(b.end(), {0x62, 0xC3, 0x28});
         return b;
       }(),
       "Malformed packet: text string is not UTF-8"},
      {"indefinite array", Bytes{0x9F, 0x05, 0xFF},
       "Malformed packet: indefinite length not supported"},
      {"nesting beyond the limit", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(1);
         for (int i = 0; i < 200; ++i) w.ArrayHeader(1);
         w.Null();
       }),
       "Malformed packet: nesting too deep"},
      {"more items than a frame may hold", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCall, 3), w.Unsigned(0), w.Int(1);
         w.ArrayHeader(1);
         w.ArrayHeader(kMaxItemsPerFrame + 1);
         for (size_t i = 0; i <= kMaxItemsPerFrame; ++i) w.Undefined();
       }),
       "Malformed packet: too many items in one frame"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal([](auto body) { DecodeClientFrame(body); }, c.body), c.reason) << c.name;
  }
}

TEST(WireTest, MalformedServerBodiesAreRefused) {
  const auto kind = [](cbor::Writer& w, FrameKind k, uint64_t fields) {
    w.ArrayHeader(fields + 1);
    w.Unsigned(static_cast<uint8_t>(k));
  };
  const struct {
    const char* name;
    Bytes body;
    std::string reason;
  } cases[] = {
      {"client kind sent by a server", Body([&](cbor::Writer& w) { kind(w, FrameKind::kRelease, 0); }),
       "Malformed packet: unknown frame kind"},
      {"status beyond 32 bits", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kStatus, 2), w.Unsigned(uint64_t{1} << 33), w.Null();
       }),
       "Malformed packet: status out of range"},
      {"error info with a bad IID", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kStatus, 2), w.Int(E_FAIL), w.ArrayHeader(5);
         w.Text("not a guid"), w.Text(""), w.Text(""), w.Int(0), w.Text("");
       }),
       "Malformed packet: error information with a malformed IID"},
      {"error info too short", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kStatus, 2), w.Int(E_FAIL), w.ArrayHeader(1), w.Text("x");
       }),
       "Malformed packet: array of unexpected length"},
      {"not-written tag around a value", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCallReply, 4), w.Int(0), w.Tag(kTagNotWritten), w.Unsigned(1);
         w.MapHeader(0), w.Null();
       }),
       "Malformed packet: null expected"},
      {"out args as an array", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCallReply, 4), w.Int(0), w.Undefined(), w.ArrayHeader(0), w.Null();
       }),
       "Malformed packet: unexpected item type"},
      {"out arg index as text", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kCallReply, 4), w.Int(0), w.Undefined(), w.MapHeader(1);
         w.Text("x"), w.Null(), w.Null();
       }),
       "Malformed packet: unexpected item type"},
      {"ids with a text", Body([&](cbor::Writer& w) {
         kind(w, FrameKind::kIdsOfNamesReply, 2), w.Int(0), w.ArrayHeader(1), w.Text("1");
       }),
       "Malformed packet: integer expected"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal([](auto body) { DecodeServerFrame(body); }, c.body), c.reason) << c.name;
  }
}

// The example that docs/protocol.md gives, byte for byte.
// A reply part as a general CBOR decoder reads it, for each size of
// length head; parts that do not fit their total are refused; frames of
// other kinds are not parts.
TEST(WireTest, ReplyPartsAreFramesOfTheirOwnKind) {
  for (const size_t size : {size_t{1}, size_t{23}, size_t{24}, size_t{300}, size_t{70000}}) {
    SCOPED_TRACE(size);
    const Bytes chunk(size, 0xAB);
    Bytes frame = ReplyPartHead(size + 5, size);
    frame.insert(frame.end(), chunk.begin(), chunk.end());
    const FrameSplit split = SplitFrame(frame, kDefaultMaxFrameSize);
    ASSERT_EQ(split.state, FrameSplit::State::kComplete);
    ASSERT_EQ(split.consumed, frame.size());
    cbor::Reader r(split.body);
    r.ExpectArray(3);
    EXPECT_EQ(r.ReadUnsigned(), 22u);
    EXPECT_EQ(r.ReadUnsigned(), size + 5);
    EXPECT_EQ(r.ReadBytes().size(), size);
    const std::optional<ReplyPart> part = ReadReplyPart(split.body);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->total, size + 5);
    EXPECT_TRUE(std::equal(part->chunk.begin(), part->chunk.end(), chunk.begin(), chunk.end()));
  }
  const auto body = [](uint64_t total, size_t chunk) {
    Bytes frame = ReplyPartHead(total, chunk);
    frame.resize(frame.size() + chunk, 0);
    return Bytes(frame.begin() + kLengthPrefixSize, frame.end());
  };
  EXPECT_THROW(ReadReplyPart(body(3, 4)), Error);  // more than the whole
  EXPECT_THROW(ReadReplyPart(body(3, 0)), Error);  // an empty part
  Bytes cut = body(10, 10);
  cut.pop_back();
  EXPECT_THROW(ReadReplyPart(cut), Error);
  EXPECT_FALSE(ReadReplyPart(EncodeBody(ServerFrame(StatusReply{}))));
  EXPECT_FALSE(ReadReplyPart(EncodeBody(ServerFrame(CallReply{}))));
}

TEST(WireTest, TheDocumentedExampleHolds) {
  const Bytes request = {0x84, 0x03, 0x01, 0x04, 0x82, 0x01, 0x6B, 'A', 'N', 'A',
                         'G',  'R',  'A',  'F',  'I',  'C',  'H',  'E'};
  EXPECT_EQ(EncodeBody(ClientFrame(
                CallRequest{CallTarget::kDispid, 4, {Variant::I4(1), Variant::BStr(u"ANAGRAFICHE")}})),
            request);
  const Bytes answer = {0x85, 0x12, 0x00, 0xD9, 0x4F, 0x20, 0xF6, 0xA0, 0xF6};
  EXPECT_EQ(EncodeBody(ServerFrame(CallReply{S_OK, std::nullopt, {}, std::nullopt})), answer);
}

}  // namespace
}  // namespace orvala::transport::wire
