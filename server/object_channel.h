// Something that carries calls to one remote object: the object itself,
// in process, or a connection to a server that holds it. Clients (the
// client library, orvala-cli) are written against this interface, so the
// same code drives an object in process and one across a socket.
//
// Thread safety: none. A channel carries one call at a time, as a remote
// object serves its calls one at a time on its own thread; a client that
// calls from several threads serializes them itself. Separate channels are
// independent.
#pragma once

#include <vector>

#include "common/variant.h"
#include "server/call.h"
#include "server/type_library.h"

namespace orvala::server {

class ObjectChannel {
 public:
  virtual ~ObjectChannel() = default;

  // `args` holds every argument in interface order (out arguments as
  // slots); in-out and out arguments come back in it. The outcome carries
  // the status, the result ("not written" when the method did not write
  // it) and, on failure, the error information.
  virtual CallOutcome Invoke(const MethodDef& method, std::vector<Variant>& args) = 0;
};

}  // namespace orvala::server
