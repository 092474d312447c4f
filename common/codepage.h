// Conversion between the interface's UTF-16 texts and the single-byte code
// page in which the database keeps its strings.
//
// The system code page is Windows-1252 unless ORVALA_CODEPAGE names another
// single-byte code page known to iconv. A CodePage is immutable after
// construction, so const methods may be called from any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvala {

class CodePage {
 public:
  // Fails with an Error when iconv does not know the name or the code page
  // is not single-byte.
  explicit CodePage(const std::string& iconv_name);

  static const CodePage& System();

  // Characters that the code page lacks become its default character '?'.
  std::string Encode(std::u16string_view text) const;
  std::u16string Decode(std::string_view bytes) const;

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::array<char16_t, 256> to_unicode_{};
  std::unordered_map<char16_t, char> from_unicode_;
};


}  // namespace orvala
