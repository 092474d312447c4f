#include "transport/client_connection.h"

#include "common/error.h"
#include "server/type_library.h"
#include "transport/server_endpoint.h"

namespace orvala::transport {
namespace {

constexpr std::chrono::seconds kReleaseWait{30};

server::ErrorInfo ClientError(const std::string& description) {
  const server::LibraryInfo& lib = server::Library();
  return server::ErrorInfo{lib.iid, lib.prog_id, description, "", 0};
}

server::CallOutcome Disconnected() {
  return server::CallOutcome{RPC_E_DISCONNECTED, std::nullopt,
                             ClientError("The connection to the server was lost")};
}

// One answer: a frame, or the parts of one (wire.h). nullopt when the
// stream failed or broke the rules of parts; a reply past `max_reply_size`
// is read to its end and answered as kStatusReplyTooLarge, so that the
// connection stays in step.
std::optional<wire::ServerFrame> ReadAnswer(FrameSocket& socket, size_t max_frame_size,
                                            size_t max_reply_size, Deadline deadline) {
  std::vector<uint8_t> frame;
  if (socket.ReadFrame(frame, max_frame_size, deadline) !=
      FrameSocket::ReadResult::kFrame) {
    return std::nullopt;
  }
  std::optional<wire::ReplyPart> part = wire::ReadReplyPart(frame);
  if (!part) return wire::DecodeServerFrame(frame);
  const uint64_t total = part->total;
  const bool keep = total <= max_reply_size;
  std::vector<uint8_t> body;
  if (keep) body.reserve(static_cast<size_t>(total));
  uint64_t got = 0;
  for (;;) {
    if (part->total != total || part->chunk.size() > total - got) {
      throw Error("The parts of a reply do not add up");
    }
    if (keep) body.insert(body.end(), part->chunk.begin(), part->chunk.end());
    got += part->chunk.size();
    if (got == total) break;
    if (socket.ReadFrame(frame, max_frame_size, deadline) !=
        FrameSocket::ReadResult::kFrame) {
      return std::nullopt;
    }
    part = wire::ReadReplyPart(frame);
    if (!part) throw Error("A reply ended before its last part");
  }
  std::vector<uint8_t>().swap(frame);
  if (!keep) {
    return wire::CallReply{wire::kStatusReplyTooLarge, std::nullopt, {},
                           ClientError("The reply is " + std::to_string(total) +
                                       " bytes, more than this client's limit of " +
                                       std::to_string(max_reply_size) +
                                       " bytes: fetch the rows in slices (AS_GetRecords with a "
                                       "Count) or ask for fewer at once")};
  }
  wire::ServerFrame answer = wire::DecodeServerFrame(body);
  if (!std::holds_alternative<wire::CallReply>(answer)) throw Error("Only a call's reply comes in parts");
  return answer;
}

// Reads the frame that must follow, or fails with an Error naming `step`.
wire::ServerFrame ReadReply(FrameSocket& socket, size_t max_frame_size, const std::string& step,
                            Deadline deadline) {
  std::optional<wire::ServerFrame> answer = ReadAnswer(socket, max_frame_size, 0, deadline);
  if (!answer) {
    throw Error::FromStatus(RPC_E_DISCONNECTED, "The server closed the connection during " + step);
  }
  return *std::move(answer);
}

// A Status frame that is a failure becomes an Error with its status.
void ExpectSuccess(const wire::ServerFrame& frame, const std::string& step) {
  const auto* status = std::get_if<wire::StatusReply>(&frame);
  if (!status) throw Error("Unexpected answer from the server during " + step);
  if (Failed(status->status)) {
    throw Error::FromStatus(status->status,
                            status->error ? status->error->description : step + " failed");
  }
}

}  // namespace

std::unique_ptr<RemoteObject> RemoteObject::Connect(const ConnectOptions& options) {
  const Address address =
      options.endpoint.empty() ? Address{Address::Kind::kUnix, DefaultSocketPath(), "", 0}
                               : ParseEndpoint(options.endpoint);
  FrameSocket socket(transport::Connect(address, options.connect_timeout));
  const auto deadline = std::chrono::steady_clock::now() + options.connect_timeout;
  if (options.tls) {
    if (address.kind != Address::Kind::kTcp) throw Error("TLS is for TCP endpoints only");
    const SslContext context = MakeClientContext(*options.tls);
    socket.UseTls(ConnectTls(*context, socket.fd(), address.host, deadline));
  }

  std::optional<wire::ServerFrame> greeting =
      ReadAnswer(socket, options.max_frame_size, 0, deadline);
  if (!greeting && !socket.tls_error().empty()) {
    throw Error::FromStatus(wire::kStatusTlsFailure, "The server at " + address.ToString() +
                                                         " refused the connection: " +
                                                         socket.tls_error());
  }
  if (!greeting) {
    // A TLS listener waits for the client's TLS hello and says nothing
    // to a client that speaks plain text.
    throw Error::FromStatus(
        RPC_E_DISCONNECTED,
        "The server at " + address.ToString() + " did not greet" +
            (options.tls || address.kind != Address::Kind::kTcp
                 ? std::string()
                 : std::string(": if it listens with TLS, connect with TLS (--tls-ca)")));
  }
  if (!std::holds_alternative<wire::Welcome>(*greeting)) ExpectSuccess(*greeting, "the greeting");

  if (!socket.WriteAll(wire::EncodeFrame(wire::ClientFrame(wire::Hello{wire::kProtocolVersion, options.secret})))) {
    throw Error::FromStatus(RPC_E_DISCONNECTED, "The server closed the connection");
  }
  ExpectSuccess(ReadReply(socket, options.max_frame_size, "the hello", deadline), "the hello");

  const Guid clsid = options.clsid.value_or(server::Library().clsid);
  if (!socket.WriteAll(wire::EncodeFrame(wire::ClientFrame(wire::CreateObject{clsid.ToString()})))) {
    throw Error::FromStatus(RPC_E_DISCONNECTED, "The server closed the connection");
  }
  // Creating the object may take the server a while (it builds the
  // object's components); it is not bound by the connect timeout.
  ExpectSuccess(ReadReply(socket, options.max_frame_size, "creating the object", {}),
                "creating the object");
  return std::unique_ptr<RemoteObject>(
      new RemoteObject(std::move(socket), options.max_frame_size, options.max_reply_size));
}

RemoteObject::RemoteObject(FrameSocket socket, size_t max_frame_size, size_t max_reply_size)
    : socket_(std::move(socket)), max_frame_size_(max_frame_size), max_reply_size_(max_reply_size) {}

RemoteObject::~RemoteObject() { Release(); }

bool RemoteObject::connected() const {
  MutexLock lock(mutex_);
  return socket_.has_value();
}

void RemoteObject::DropLocked() { socket_.reset(); }

std::optional<wire::ServerFrame> RemoteObject::ExchangeLocked(const wire::ClientFrame& frame) {
  if (!socket_) return std::nullopt;
  if (!socket_->WriteAll(wire::EncodeFrame(frame))) {
    DropLocked();
    return std::nullopt;
  }
  try {
    std::optional<wire::ServerFrame> answer =
        ReadAnswer(*socket_, max_frame_size_, max_reply_size_, {});
    if (!answer) DropLocked();
    return answer;
  } catch (const Error&) {
    DropLocked();
    return std::nullopt;
  }
}

server::CallOutcome RemoteObject::CallLocked(wire::CallRequest request, std::vector<Variant>& args) {
  // The arguments are moved into the frame and back, never copied: they
  // may hold a delta of many megabytes.
  request.args = std::move(args);
  wire::ClientFrame frame(std::move(request));
  std::optional<wire::ServerFrame> answer = ExchangeLocked(frame);
  args = std::move(std::get<wire::CallRequest>(frame).args);
  if (!answer) return Disconnected();
  if (auto* status = std::get_if<wire::StatusReply>(&*answer)) {
    // The server said why it will not go on, and closes.
    DropLocked();
    return server::CallOutcome{Failed(status->status) ? status->status : RPC_E_DISCONNECTED,
                               std::nullopt, status->error};
  }
  auto* reply = std::get_if<wire::CallReply>(&*answer);
  if (!reply) {
    DropLocked();
    return Disconnected();
  }
  for (auto& [index, value] : reply->out) {
    if (index < args.size()) args[index] = std::move(value);
  }
  return server::CallOutcome{reply->status, std::move(reply->result), std::move(reply->error)};
}

server::CallOutcome RemoteObject::Invoke(const server::MethodDef& method, std::vector<Variant>& args) {
  MutexLock lock(mutex_);
  return CallLocked(wire::CallRequest{wire::CallTarget::kSlot, method.slot, {}}, args);
}

server::CallOutcome RemoteObject::InvokeByDispid(int32_t dispid, std::vector<Variant>& args) {
  MutexLock lock(mutex_);
  return CallLocked(wire::CallRequest{wire::CallTarget::kDispid, dispid, {}}, args);
}

RemoteObject::Ids RemoteObject::IdsOfNames(const std::vector<std::string>& names) {
  MutexLock lock(mutex_);
  const std::optional<wire::ServerFrame> answer = ExchangeLocked(wire::GetIdsOfNames{names});
  const auto* reply = answer ? std::get_if<wire::IdsOfNamesReply>(&*answer) : nullptr;
  if (!reply) {
    DropLocked();
    return Ids{RPC_E_DISCONNECTED, std::vector<int32_t>(names.size(), wire::kDispidUnknown)};
  }
  return Ids{reply->status, reply->ids};
}

template <typename Reply>
Reply RemoteObject::ReplyLocked(const wire::ClientFrame& frame) {
  std::optional<wire::ServerFrame> answer = ExchangeLocked(frame);
  auto* reply = answer ? std::get_if<Reply>(&*answer) : nullptr;
  if (!reply) {
    DropLocked();
    throw Error::FromStatus(RPC_E_DISCONNECTED, "The connection to the server was lost");
  }
  return std::move(*reply);
}

std::string RemoteObject::TypeInfo() {
  MutexLock lock(mutex_);
  wire::TypeInfoReply reply = ReplyLocked<wire::TypeInfoReply>(wire::GetTypeInfo{});
  if (Failed(reply.status)) throw Error::FromStatus(reply.status, "The type library is not available");
  return std::move(reply.text);
}

server::TypeLibraryDescription RemoteObject::TypeLibrary() {
  MutexLock lock(mutex_);
  wire::TypeLibraryReply reply = ReplyLocked<wire::TypeLibraryReply>(wire::GetTypeLibrary{});
  if (Failed(reply.status) || !reply.library) {
    throw Error::FromStatus(Failed(reply.status) ? reply.status : E_UNEXPECTED,
                            "The type library is not available");
  }
  return *std::move(reply.library);
}

void RemoteObject::Release() {
  MutexLock lock(mutex_);
  if (!socket_) return;
  // Wait for the server's word, so that the object is gone when this
  // returns; a server that does not answer in time is simply left.
  if (socket_->WriteAll(wire::EncodeFrame(wire::ClientFrame(wire::Release{})))) {
    std::vector<uint8_t> body;
    socket_->ReadFrame(body, max_frame_size_, std::chrono::steady_clock::now() + kReleaseWait);
  }
  DropLocked();
}

}  // namespace orvala::transport
