// The code pages that packets name, built once per process and shared.
#pragma once

#include <memory>
#include <string>

#include "common/codepage.h"

namespace orvala::packets {

// Fails with an Error when the name is not a single-byte code page that
// iconv knows: a packet whose strings cannot be read is malformed. Safe to
// call from several threads.
std::shared_ptr<const CodePage> CodePageNamed(const std::string& name);

}  // namespace orvala::packets
