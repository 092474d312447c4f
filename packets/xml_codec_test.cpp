// XML packets: what the two XML encodings look like, what another client's
// XML may look like, and the malformed documents that must be refused.
#include <gtest/gtest.h>

#include "common/error.h"
#include "packets/codec.h"
#include "packets/packet_samples.h"
#include "packets/refusal_test_util.h"

namespace orvala::packets {
namespace {

using namespace samples;
using test::Decoder;
using test::Refusal;

std::string AsText(const ByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(XmlPacket, CodePageEncodingDeclaresTheCodePageAndKeepsTheBytes) {
  const std::string xml = AsText(Encode(Data(), Encoding::Xml));
  EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"WINDOWS-1252\"?>")) << xml;
  EXPECT_NE(xml.find("<v>" + kAccented + "</v>"), std::string::npos);
}

TEST(XmlPacket, Utf8EncodingConvertsTheStrings) {
  const std::string xml = AsText(Encode(Data(), Encoding::XmlUtf8));
  EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << xml;
  EXPECT_NE(xml.find("<v>caff\xC3\xA8 \xE2\x82\xAC \xC2\xA3</v>"), std::string::npos);
}

TEST(XmlPacket, StringsThatXmlCannotCarryGoAsHex) {
  const std::string xml = AsText(Encode(Data(), Encoding::XmlUtf8));
  EXPECT_NE(xml.find("<v enc=\"hex\">6100628081ff0d0a01203c263e2227</v>"), std::string::npos);
}

TEST(XmlPacket, ReadsWhatAnotherWriterMightProduce) {
  // No declaration (so UTF-8), character references, CDATA, comments,
  // attributes left at their defaults, other layout.
  const std::string xml = R"(<!-- from elsewhere -->
<orvala-packet version="1" kind="data" code-page="WINDOWS-1252"><fields>
  <field name="N&#xC9;" type="string"/><field type="double" name="D" prov-flags="5"/>
  <field name="T" type="timestamp"/><field name="LINES" type="unknown">
  <field name="X" type="integer" required="true"/></field></fields>
  <rows><row><v>&#x20AC;<![CDATA[<&>]]></v><v>-1.5e-3</v><v>2024-01-31 10:00</v>
  <nested><row><v>1</v></row><row><null/></row></nested></row></rows>
</orvala-packet>)";
  DataPacket expected;
  Field x = Plain("X", FieldType::Integer);
  x.required = true;
  Field d = Plain("D", FieldType::Double);
  d.prov_flags = kInUpdate | kInKey;
  Field lines;
  lines.name = "LINES";
  lines.children = {x};
  expected.fields = {Plain("N\xC9", FieldType::String), d, Plain("T", FieldType::Timestamp), lines};
  expected.rows = {Row{{"\x80<&>"s, -1.5e-3, *ParseIso("2024-01-31T10:00")},
                       {{Row{{int32_t{1}}, {}}, Row{{Value{}}, {}}}}}};
  EXPECT_EQ(DecodeDataPacket(AsBytes(xml)), expected);
}

TEST(XmlPacket, EveryTruncationFails) {
  for (const ByteArray& valid : {Encode(Data(), Encoding::Xml), Encode(Delta(), Encoding::XmlUtf8),
                                 Encode(Errors(), Encoding::Xml), Encode(Params(), Encoding::XmlUtf8)}) {
    const std::string text = AsText(valid);
    const size_t end = text.rfind('>');  // the blanks after the root are not the packet
    for (size_t length = 0; length < end; ++length) {
      const auto prefix = std::span(valid).first(length);
      EXPECT_THROW(DecodeDataPacket(prefix), Error) << length;
      EXPECT_THROW(DecodeDeltaPacket(prefix), Error) << length;
      EXPECT_THROW(DecodeErrorPacket(prefix), Error) << length;
      EXPECT_THROW(DecodeParamPacket(prefix), Error) << length;
    }
  }
}

// A data packet with an Integer field A, a SmallInt B and a nested table
// N of one Integer field, around the given rows.
std::string DataXml(const std::string& rows, const std::string& code_page = "WINDOWS-1252") {
  return "<orvala-packet kind=\"data\" version=\"1\" code-page=\"" + code_page +
         "\"><fields><field name=\"A\" type=\"integer\"/><field name=\"B\" type=\"smallint\"/>"
         "<field name=\"N\" type=\"unknown\"><field name=\"C\" type=\"integer\"/></field>"
         "</fields><rows>" + rows + "</rows></orvala-packet>";
}

std::string DeltaXml(const std::string& rows) {
  return "<orvala-packet kind=\"delta\" version=\"1\" code-page=\"WINDOWS-1252\"><fields>"
         "<field name=\"A\" type=\"integer\"/><field name=\"N\" type=\"unknown\">"
         "<field name=\"C\" type=\"integer\"/></field></fields><rows>" + rows +
         "</rows></orvala-packet>";
}

std::string Nest(int levels, const std::string& open, const std::string& close, const std::string& leaf) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += leaf;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

TEST(XmlPacket, WellFormedFixturesDecode) {
  // Guards the table below: its documents are broken only where they say.
  EXPECT_NO_THROW(DecodeDataPacket(AsBytes(DataXml("<row><v>1</v><v>2</v><nested/></row>"))));
  EXPECT_NO_THROW(DecodeDeltaPacket(AsBytes(DeltaXml(
      "<row kind=\"modify\"><old><v>1</v></old><new><unchanged/></new><nested/></row>"))));
}

TEST(XmlPacket, MalformedDocumentsRaiseError) {
  const std::string good_row = "<row><v>1</v><v>2</v><nested/></row>";
  // Each case goes to the decoder of its own kind, which must refuse it
  // for the reason the case is named after.
  const Decoder data = [](auto b) { DecodeDataPacket(b); };
  const Decoder delta = [](auto b) { DecodeDeltaPacket(b); };
  const Decoder error = [](auto b) { DecodeErrorPacket(b); };
  const Decoder params = [](auto b) { DecodeParamPacket(b); };
  const struct {
    const char* name;
    const Decoder& decode;
    std::string xml;
    std::string reason;
  } cases[] = {
      {"not well-formed", data, "<orvala-packet kind=\"data\"><rows></orvala-packet>",
       "Malformed packet: XML Start-end tags mismatch"},
      {"no root", data, "<?xml version=\"1.0\"?>",
       "Malformed packet: XML No document element found"},
      {"another root", data, "<DATAPACKET Version=\"2.0\"><ROWDATA/></DATAPACKET>",
       "Malformed packet: <orvala-packet> expected, found <DATAPACKET>"},
      {"no version", data, "<orvala-packet kind=\"data\" code-page=\"WINDOWS-1252\"><rows/></orvala-packet>",
       "Malformed packet: unknown packet version"},
      {"unknown version", data,
       "<orvala-packet kind=\"data\" version=\"2\" code-page=\"WINDOWS-1252\"><rows/></orvala-packet>",
       "Malformed packet: unknown packet version"},
      {"no code page", data, "<orvala-packet kind=\"data\" version=\"1\"><rows/></orvala-packet>",
       "Malformed packet: packet without code page"},
      {"unknown code page", data, DataXml(good_row, "NO-SUCH-CODE-PAGE"),
       "Malformed packet: Unknown code page: NO-SUCH-CODE-PAGE"},
      {"multi-byte code page", data, DataXml(good_row, "UTF-16"),
       "Malformed packet: Not a single-byte code page: UTF-16"},
      {"declared encoding unknown", data,
       "<?xml version=\"1.0\" encoding=\"NO-SUCH\"?>" + DataXml(good_row),
       "Malformed packet: Unknown code page: NO-SUCH"},
      {"no rows", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"></orvala-packet>",
       "Malformed packet: <rows> missing"},
      {"two rows elements", data, DataXml(good_row + "</rows><rows>"),
       "Malformed packet: more than one <rows>"},
      {"unknown element", data, DataXml(good_row + "<extra/>"),
       "Malformed packet: <row> expected, found <extra>"},
      {"text among rows", data, DataXml(good_row + "stray"),
       "Malformed packet: unexpected text in <rows>"},
      {"row too narrow", data, DataXml("<row><v>1</v><v>2</v></row>"),
       "Malformed packet: row details: 0 where the fields ask for 1"},
      {"row too wide", data, DataXml("<row><v>1</v><v>2</v><nested/><v>3</v></row>"),
       "Malformed packet: row wider than the fields"},
      {"nested table in a plain field", data, DataXml("<row><nested/><v>2</v><nested/></row>"),
       "Malformed packet: nested table in a plain field"},
      {"value in a nested field", data, DataXml("<row><v>1</v><v>2</v><v>3</v></row>"),
       "Malformed packet: value in a nested-table field"},
      {"unknown item", data, DataXml("<row><v>1</v><x>2</x><nested/></row>"),
       "Malformed packet: <v> expected, found <x>"},
      {"unknown value type", data, DataXml("<row><v t=\"int8\">1</v><v>2</v><nested/></row>"),
       "Malformed packet: unknown value type 'int8'"},
      {"null typed v", data, DataXml("<row><v t=\"null\"/><v>2</v><nested/></row>"),
       "Malformed packet: <v> of type null"},
      {"bad integer", data, DataXml("<row><v>1x</v><v>2</v><nested/></row>"),
       "Malformed packet: bad int32 '1x'"},
      {"empty integer", data, DataXml("<row><v/><v>2</v><nested/></row>"),
       "Malformed packet: bad int32 ''"},
      {"int16 overflow", data, DataXml("<row><v>1</v><v>32768</v><nested/></row>"),
       "Malformed packet: bad int16 '32768'"},
      {"int32 overflow", data, DataXml("<row><v>2147483648</v><v>2</v><nested/></row>"),
       "Malformed packet: bad int32 '2147483648'"},
      {"bad double", data, DataXml("<row><v t=\"double\">1.5.5</v><v>2</v><nested/></row>"),
       "Malformed packet: bad double '1.5.5'"},
      {"bad NaN", data, DataXml("<row><v t=\"double\">NaN(0000000000000001)</v><v>2</v><nested/></row>"),
       "Malformed packet: bad NaN 'NaN(0000000000000001)'"},
      {"bad timestamp", data, DataXml("<row><v t=\"timestamp\">2024-13-01</v><v>2</v><nested/></row>"),
       "Malformed packet: bad timestamp '2024-13-01'"},
      {"time past midnight", data, DataXml("<row><v t=\"timestamp\">1,864000000</v><v>2</v><nested/></row>"),
       "Malformed packet: time of day out of range"},
      {"bad boolean", data, DataXml("<row><v t=\"bool\">yes</v><v>2</v><nested/></row>"),
       "Malformed packet: bad boolean 'yes'"},
      {"odd hex", data, DataXml("<row><v t=\"string\" enc=\"hex\">abc</v><v>2</v><nested/></row>"),
       "Malformed packet: hex string of odd length"},
      {"bad hex", data, DataXml("<row><v t=\"string\" enc=\"hex\">zz</v><v>2</v><nested/></row>"),
       "Malformed packet: bad hex digit"},
      {"unknown string encoding", data, DataXml("<row><v t=\"string\" enc=\"b64\">AA==</v><v>2</v><nested/></row>"),
       "Malformed packet: unknown string encoding"},
      {"character outside the code page", data,
       DataXml("<row><v t=\"string\">\xE2\x82\xAC</v><v>2</v><nested/></row>", "ISO-8859-1"),
       "Malformed packet: text outside the packet's code page"},
      {"invalid UTF-8", data, DataXml("<row><v t=\"string\">\xC3(</v><v>2</v><nested/></row>"),
       "Invalid UTF-8 text"},
      {"unknown field type", data, DataXml(good_row).replace(DataXml(good_row).find("smallint"), 8, "tinyint"),
       "Malformed packet: unknown field type 'tinyint'"},
      {"bad field size", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><fields><field name=\"A\" "
       "type=\"integer\" size=\"big\"/></fields><rows/></orvala-packet>",
       "Malformed packet: bad size 'big'"},
      {"nested fields beyond the limit", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><fields>" +
           Nest(kMaxNestingDepth + 2, "<field name=\"N\" type=\"unknown\">", "</field>", "") +
           "</fields><rows/></orvala-packet>",
       "Malformed packet: nested tables too deep"},
      {"nested rows beyond the limit", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>" +
           Nest(100000, "<row><nested>", "</nested></row>", "") + "</rows></orvala-packet>",
       "Malformed packet: nested tables too deep"},
      {"slice rows of two widths", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>"
       "<row><v t=\"int32\">1</v></row><row/></rows></orvala-packet>",
       "Malformed packet: row values: 0 where the fields ask for 1"},
      {"slice value without type", data,
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>"
       "<row><v>1</v></row></rows></orvala-packet>",
       "Malformed packet: value without a type"},
      {"delta kind missing", delta, DeltaXml("<row><old/><new/></row>"),
       "Malformed packet: unknown update kind ''"},
      {"unknown update kind", delta, DeltaXml("<row kind=\"upsert\"><old/><new/></row>"),
       "Malformed packet: unknown update kind 'upsert'"},
      {"old values too wide", delta, DeltaXml("<row kind=\"delete\"><old><v>1</v><v>2</v></old></row>"),
       "Malformed packet: delta row wider than the fields"},
      {"unchanged among old values", delta, DeltaXml("<row kind=\"delete\"><old><unchanged/></old></row>"),
       "Malformed packet: <v> expected, found <unchanged>"},
      {"two old elements", delta, DeltaXml("<row kind=\"delete\"><old/><old/></row>"),
       "Malformed packet: unexpected <old> in a delta row"},
      {"more nested deltas than nested fields", delta,
       DeltaXml("<row kind=\"modify\"><old/><new/><nested/><nested/></row>"),
       "Malformed packet: more nested deltas than nested fields"},
      {"unknown part of a delta row", delta, DeltaXml("<row kind=\"modify\"><older/></row>"),
       "Malformed packet: unexpected <older> in a delta row"},
      {"delta without fields", delta,
       "<orvala-packet kind=\"delta\" version=\"1\" code-page=\"WINDOWS-1252\"><rows/></orvala-packet>",
       "Malformed packet: <fields> missing"},
      {"error row with a stray part", error,
       "<orvala-packet kind=\"error\" version=\"1\" code-page=\"WINDOWS-1252\"><rows><error><hint/></error>"
       "</rows></orvala-packet>",
       "Malformed packet: unexpected <hint>"},
      {"parameter without a value", params,
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"WINDOWS-1252\"><params><param name=\"P\" "
       "data-type=\"integer\"/></params></orvala-packet>",
       "Malformed packet: parameter without a value"},
      {"parameter with two values", params,
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"WINDOWS-1252\"><params><param name=\"P\" "
       "data-type=\"integer\"><v>1</v><v>2</v></param></params></orvala-packet>",
       "Malformed packet: parameter with more than one value"},
      {"parameter with a scale beyond NUMERIC's", params,
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"WINDOWS-1252\"><params><param name=\"P\" "
       "data-type=\"bigint\" scale=\"19\"><v>1</v></param></params></orvala-packet>",
       "Malformed packet: parameter scale out of range"},
      {"parameter of unknown type", params,
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"WINDOWS-1252\"><params><param name=\"P\" "
       "data-type=\"varchar\"><null/></param></params></orvala-packet>",
       "Malformed packet: unknown field type 'varchar'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(c.decode, AsBytes(c.xml)), c.reason) << c.name;
  }
}

}  // namespace
}  // namespace orvala::packets
