// The code page a packet names, built once per process and name.
#pragma once

#include <string>

#include "common/codepage.h"

namespace orvala::client {

// Fails with an Error when iconv does not know the name. The returned
// code page lives until the process ends; safe to call from any thread.
const CodePage& CodePageNamed(const std::string& name);

}  // namespace orvala::client
