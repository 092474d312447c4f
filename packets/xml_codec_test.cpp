// XML packets: what the two XML encodings look like, what another client's
// XML may look like, and the malformed documents that must be refused.
#include <gtest/gtest.h>

#include "common/error.h"
#include "packets/codec.h"
#include "packets/packet_samples.h"

namespace orvala::packets {
namespace {

using namespace samples;

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
  const struct {
    const char* name;
    std::string xml;
  } cases[] = {
      {"not well-formed", "<orvala-packet kind=\"data\"><rows></orvala-packet>"},
      {"no root", "<?xml version=\"1.0\"?>"},
      {"another root", "<DATAPACKET Version=\"2.0\"><ROWDATA/></DATAPACKET>"},
      {"no version", "<orvala-packet kind=\"data\" code-page=\"WINDOWS-1252\"><rows/></orvala-packet>"},
      {"unknown version",
       "<orvala-packet kind=\"data\" version=\"2\" code-page=\"WINDOWS-1252\"><rows/></orvala-packet>"},
      {"no code page", "<orvala-packet kind=\"data\" version=\"1\"><rows/></orvala-packet>"},
      {"unknown code page", DataXml(good_row, "NO-SUCH-CODE-PAGE")},
      {"multi-byte code page", DataXml(good_row, "UTF-16")},
      {"declared encoding unknown",
       "<?xml version=\"1.0\" encoding=\"NO-SUCH\"?>" + DataXml(good_row)},
      {"no rows", "<orvala-packet kind=\"data\" version=\"1\" code-page=\"X\"></orvala-packet>"},
      {"two rows elements", DataXml(good_row + "</rows><rows>")},
      {"unknown element", DataXml(good_row + "<extra/>")},
      {"text among rows", DataXml(good_row + "stray")},
      {"row too narrow", DataXml("<row><v>1</v><v>2</v></row>")},
      {"row too wide", DataXml("<row><v>1</v><v>2</v><nested/><v>3</v></row>")},
      {"nested table in a plain field", DataXml("<row><nested/><v>2</v><nested/></row>")},
      {"value in a nested field", DataXml("<row><v>1</v><v>2</v><v>3</v></row>")},
      {"unknown item", DataXml("<row><v>1</v><x>2</x><nested/></row>")},
      {"unknown value type", DataXml("<row><v t=\"int8\">1</v><v>2</v><nested/></row>")},
      {"null typed v", DataXml("<row><v t=\"null\"/><v>2</v><nested/></row>")},
      {"bad integer", DataXml("<row><v>1x</v><v>2</v><nested/></row>")},
      {"empty integer", DataXml("<row><v/><v>2</v><nested/></row>")},
      {"int16 overflow", DataXml("<row><v>1</v><v>32768</v><nested/></row>")},
      {"int32 overflow", DataXml("<row><v>2147483648</v><v>2</v><nested/></row>")},
      {"bad double", DataXml("<row><v t=\"double\">1.5.5</v><v>2</v><nested/></row>")},
      {"bad NaN", DataXml("<row><v t=\"double\">NaN(0000000000000001)</v><v>2</v><nested/></row>")},
      {"bad timestamp", DataXml("<row><v t=\"timestamp\">2024-13-01</v><v>2</v><nested/></row>")},
      {"time past midnight", DataXml("<row><v t=\"timestamp\">1,864000000</v><v>2</v><nested/></row>")},
      {"bad boolean", DataXml("<row><v t=\"bool\">yes</v><v>2</v><nested/></row>")},
      {"odd hex", DataXml("<row><v t=\"string\" enc=\"hex\">abc</v><v>2</v><nested/></row>")},
      {"bad hex", DataXml("<row><v t=\"string\" enc=\"hex\">zz</v><v>2</v><nested/></row>")},
      {"unknown string encoding", DataXml("<row><v t=\"string\" enc=\"b64\">AA==</v><v>2</v><nested/></row>")},
      {"character outside the code page",
       DataXml("<row><v t=\"string\">\xE2\x82\xAC</v><v>2</v><nested/></row>", "ISO-8859-1")},
      {"invalid UTF-8", DataXml("<row><v t=\"string\">\xC3(</v><v>2</v><nested/></row>")},
      {"unknown field type", DataXml(good_row).replace(DataXml(good_row).find("smallint"), 8, "tinyint")},
      {"bad field size",
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"X\"><fields><field name=\"A\" "
       "type=\"integer\" size=\"big\"/></fields><rows/></orvala-packet>"},
      {"nested fields beyond the limit",
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><fields>" +
           Nest(kMaxNestingDepth + 2, "<field name=\"N\" type=\"unknown\">", "</field>", "") +
           "</fields><rows/></orvala-packet>"},
      {"nested rows beyond the limit",
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>" +
           Nest(100000, "<row><nested>", "</nested></row>", "") + "</rows></orvala-packet>"},
      {"slice rows of two widths",
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>"
       "<row><v t=\"int32\">1</v></row><row/></rows></orvala-packet>"},
      {"slice value without type",
       "<orvala-packet kind=\"data\" version=\"1\" code-page=\"WINDOWS-1252\"><rows>"
       "<row><v>1</v></row></rows></orvala-packet>"},
      {"delta kind missing", DeltaXml("<row><old/><new/></row>")},
      {"unknown update kind", DeltaXml("<row kind=\"upsert\"><old/><new/></row>")},
      {"old values too wide", DeltaXml("<row kind=\"delete\"><old><v>1</v><v>2</v></old></row>")},
      {"unchanged among old values", DeltaXml("<row kind=\"delete\"><old><unchanged/></old></row>")},
      {"two old elements", DeltaXml("<row kind=\"delete\"><old/><old/></row>")},
      {"more nested deltas than nested fields",
       DeltaXml("<row kind=\"modify\"><old/><new/><nested/><nested/></row>")},
      {"unknown part of a delta row", DeltaXml("<row kind=\"modify\"><older/></row>")},
      {"delta without fields",
       "<orvala-packet kind=\"delta\" version=\"1\" code-page=\"X\"><rows/></orvala-packet>"},
      {"error row with a stray part",
       "<orvala-packet kind=\"error\" version=\"1\" code-page=\"X\"><rows><error><hint/></error>"
       "</rows></orvala-packet>"},
      {"parameter without a value",
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"X\"><params><param name=\"P\" "
       "data-type=\"integer\"/></params></orvala-packet>"},
      {"parameter with two values",
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"X\"><params><param name=\"P\" "
       "data-type=\"integer\"><v>1</v><v>2</v></param></params></orvala-packet>"},
      {"parameter with a scale beyond NUMERIC's",
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"WINDOWS-1252\"><params><param name=\"P\" "
       "data-type=\"bigint\" scale=\"19\"><v>1</v></param></params></orvala-packet>"},
      {"parameter of unknown type",
       "<orvala-packet kind=\"params\" version=\"1\" code-page=\"X\"><params><param name=\"P\" "
       "data-type=\"varchar\"><null/></param></params></orvala-packet>"},
  };
  for (const auto& c : cases) {
    const auto bytes = AsBytes(c.xml);
    EXPECT_THROW(DecodeDataPacket(bytes), Error) << c.name;
    EXPECT_THROW(DecodeDeltaPacket(bytes), Error) << c.name;
    EXPECT_THROW(DecodeErrorPacket(bytes), Error) << c.name;
    EXPECT_THROW(DecodeParamPacket(bytes), Error) << c.name;
  }
}

}  // namespace
}  // namespace orvala::packets
