// The client side of one remote object: a connection to a server endpoint
// that holds the object, driven through the same ObjectChannel interface
// as an object in process.
//
// Thread safety: the calls of one RemoteObject are made one at a time; a
// second thread calling in waits for the first call's reply, as calls into
// an apartment wait their turn.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/object_channel.h"
#include "transport/limits.h"
#include "transport/socket.h"
#include "transport/tls.h"
#include "transport/wire.h"

namespace orvala::transport {

struct ConnectOptions {
  // "unix:PATH", a path, or "HOST:PORT"; empty is the default local socket.
  std::string endpoint;
  std::optional<std::string> secret;
  std::optional<Guid> clsid;  // the Orvala class unless given
  std::chrono::milliseconds connect_timeout{10'000};
  size_t max_frame_size = wire::kDefaultMaxFrameSize;
  // The largest reply this client takes (a larger one travels in parts,
  // which are read and dropped: the call fails, the connection stays).
  size_t max_reply_size = Limits{}.max_reply_size;
  // TLS to a TCP endpoint: the server's certificate is verified against
  // `tls->ca` and its name against the endpoint's host.
  std::optional<TlsClientFiles> tls;
};

class RemoteObject : public server::ObjectChannel {
 public:
  // Connects, says hello and creates the object. Throws Error, carrying the
  // server's status when the server refused (busy, access denied, class
  // not available).
  static std::unique_ptr<RemoteObject> Connect(const ConnectOptions& options);

  // Releases the object (its destroy handler has run on the server when
  // this returns, unless the connection was already lost).
  ~RemoteObject() override;
  RemoteObject(const RemoteObject&) = delete;
  RemoteObject& operator=(const RemoteObject&) = delete;

  // Calls by entry position. `args` holds every argument in interface
  // order; the out and in-out arguments come back in it. A result that the
  // method did not write comes back as nullopt. A lost connection answers
  // RPC_E_DISCONNECTED.
  server::CallOutcome Invoke(const server::MethodDef& method, std::vector<Variant>& args) override;
  // Late-bound: calls by dispatch identifier.
  server::CallOutcome InvokeByDispid(int32_t dispid, std::vector<Variant>& args);

  struct Ids {
    HResult status = S_OK;
    std::vector<int32_t> ids;  // the method's DISPID, then each argument's
  };
  // The method's name first, then argument names; unknown names come back
  // as -1 with DISP_E_UNKNOWNNAME.
  Ids IdsOfNames(const std::vector<std::string>& names);

  // The type library's description. Throws Error when the connection fails.
  std::string TypeInfo();
  // The same as structured data. Throws Error when the connection fails
  // (a server that does not know the request closes the connection).
  server::TypeLibraryDescription TypeLibrary();

  // Releases the object now; later calls answer RPC_E_DISCONNECTED.
  void Release();
  bool connected() const;

 private:
  RemoteObject(FrameSocket socket, size_t max_frame_size, size_t max_reply_size);

  // Sends one frame and reads the answer; nullopt (and the connection
  // dropped) when either fails or the answer is not understood. An answer
  // larger than max_reply_size_ is read to its end and comes back as a
  // CallReply that says so.
  std::optional<wire::ServerFrame> ExchangeLocked(const wire::ClientFrame& frame)
      REQUIRES(mutex_);
  server::CallOutcome CallLocked(wire::CallRequest request, std::vector<Variant>& args)
      REQUIRES(mutex_);
  void DropLocked() REQUIRES(mutex_);
  // The answer to `frame` when it is a `Reply`; anything else drops the
  // connection and fails with "The connection to the server was lost".
  template <typename Reply>
  Reply ReplyLocked(const wire::ClientFrame& frame) REQUIRES(mutex_);

  // Held for a whole exchange, so that one call's reply is never read by
  // another.
  mutable Mutex mutex_;
  std::optional<FrameSocket> socket_ GUARDED_BY(mutex_);  // nullopt once dropped
  const size_t max_frame_size_;
  const size_t max_reply_size_;
};

}  // namespace orvala::transport
