#include "common/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>

#include "common/error.h"

namespace orvala {

namespace {
constexpr char kDefaultChar = '?';
}

CodePage::CodePage(const std::string& iconv_name) : name_(iconv_name) {
  iconv_t cd = iconv_open("UTF-16LE", iconv_name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) throw Error("Unknown code page: " + iconv_name);
  int undefined = 0;
  for (int byte = 0; byte < 256; ++byte) {
    char in = static_cast<char>(byte);
    unsigned char out[8];
    char* in_ptr = &in;
    size_t in_left = 1;
    char* out_ptr = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    const size_t produced = sizeof out - out_left;
    // Bytes that the code page leaves undefined map to the same code point,
    // as Windows does, so that every byte survives a round trip.
    char16_t unit = static_cast<char16_t>(byte);
    if (rc != static_cast<size_t>(-1) && produced == 2) {
      unit = static_cast<char16_t>(out[0] | (out[1] << 8));
    } else if (rc == static_cast<size_t>(-1)) {
      ++undefined;
    }
    // A multi-byte encoding shows itself by bytes that are not characters
    // alone (a lead byte waits for more) or by wider output.
    if (produced > 2 || undefined > 32) {
      iconv_close(cd);
      throw Error("Not a single-byte code page: " + iconv_name);
    }
    to_unicode_[static_cast<size_t>(byte)] = unit;
    from_unicode_.emplace(unit, in);
  }
  iconv_close(cd);
}

const CodePage& CodePage::System() {
  static const CodePage system([] {
    const char* configured = std::getenv("ORVALA_CODEPAGE");
    return std::string(configured && *configured ? configured : "WINDOWS-1252");
  }());
  return system;
}

std::string CodePage::Encode(std::u16string_view text) const {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;  // a character beyond the basic plane is one character, not two
      out.push_back(kDefaultChar);
      continue;
    }
    if (unit < 0x80 && to_unicode_[unit] == unit) {
      out.push_back(static_cast<char>(unit));
      continue;
    }
    auto found = from_unicode_.find(unit);
    out.push_back(found == from_unicode_.end() ? kDefaultChar : found->second);
  }
  return out;
}

std::u16string CodePage::Decode(std::string_view bytes) const {
  std::u16string out(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[i] = to_unicode_[static_cast<unsigned char>(bytes[i])];
  }
  return out;
}

}  // namespace orvala
