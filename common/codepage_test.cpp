#include "common/codepage.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/utf8.h"

namespace orvala {
namespace {

TEST(CodePageTest, Windows1252RoundTripsEveryByte) {
  const CodePage cp("WINDOWS-1252");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(cp.Encode(cp.Decode(all)), all);
}

TEST(CodePageTest, KnownCharacters) {
  const CodePage cp("WINDOWS-1252");
  EXPECT_EQ(cp.Decode("\x80"), u"\u20AC");  // the euro sign
  EXPECT_EQ(cp.Encode(u"Citt\u00E0 \u20AC"), "Citt\xE0 \x80");
}

TEST(CodePageTest, MissingCharactersBecomeTheDefaultCharacter) {
  const CodePage cp("WINDOWS-1252");
  EXPECT_EQ(cp.Encode(u"a\u4E2Db"), "a?b");
  EXPECT_EQ(cp.Encode(u"a\U0001F600b"), "a?b");  // one character, one '?'
  EXPECT_EQ(cp.Encode(u"\xD800"), "?");           // a lone surrogate
}

TEST(CodePageTest, RejectsUnknownAndMultiByteCodePages) {
  EXPECT_THROW(CodePage("NO-SUCH-CODEPAGE"), Error);
  EXPECT_THROW(CodePage("UTF-8"), Error);
}

TEST(Utf8Test, RoundTripAndMalformedInput) {
  const std::u16string text = u"Citt\u00E0 \u20AC \U0001F600";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  for (const char* bad : {"\xC3", "\xE2\x82", "\xC0\x80", "\xED\xA0\x80", "\xFF", "a\x80"}) {
    EXPECT_THROW(FromUtf8(bad), Error) << bad;
  }
}

}  // namespace
}  // namespace orvala
