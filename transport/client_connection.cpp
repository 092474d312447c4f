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

// Reads the frame that must follow, or fails with an Error naming `step`.
wire::ServerFrame ReadReply(FrameSocket& socket, size_t max_frame_size, const std::string& step,
                            std::chrono::steady_clock::time_point deadline) {
  std::vector<uint8_t> body;
  if (socket.ReadFrame(body, max_frame_size, deadline) != FrameSocket::ReadResult::kFrame) {
    throw Error::FromStatus(RPC_E_DISCONNECTED, "The server closed the connection during " + step);
  }
  return wire::DecodeServerFrame(body);
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

  const wire::ServerFrame greeting = ReadReply(socket, options.max_frame_size, "the greeting", deadline);
  if (!std::holds_alternative<wire::Welcome>(greeting)) ExpectSuccess(greeting, "the greeting");

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
  std::vector<uint8_t> body;
  if (socket.ReadFrame(body, options.max_frame_size) != FrameSocket::ReadResult::kFrame) {
    throw Error::FromStatus(RPC_E_DISCONNECTED,
                            "The server closed the connection while creating the object");
  }
  ExpectSuccess(wire::DecodeServerFrame(body), "creating the object");
  return std::unique_ptr<RemoteObject>(new RemoteObject(std::move(socket), options.max_frame_size));
}

RemoteObject::RemoteObject(FrameSocket socket, size_t max_frame_size)
    : socket_(std::move(socket)), max_frame_size_(max_frame_size) {}

RemoteObject::~RemoteObject() { Release(); }

bool RemoteObject::connected() const {
  MutexLock lock(mutex_);
  return socket_.has_value();
}

void RemoteObject::DropLocked() { socket_.reset(); }

std::optional<wire::ServerFrame> RemoteObject::ExchangeLocked(const wire::ClientFrame& frame) {
  if (!socket_) return std::nullopt;
  std::vector<uint8_t> body;
  if (!socket_->WriteAll(wire::EncodeFrame(frame)) ||
      socket_->ReadFrame(body, max_frame_size_) != FrameSocket::ReadResult::kFrame) {
    DropLocked();
    return std::nullopt;
  }
  try {
    return wire::DecodeServerFrame(body);
  } catch (const Error&) {
    DropLocked();
    return std::nullopt;
  }
}

server::CallOutcome RemoteObject::CallLocked(wire::CallRequest request, std::vector<Variant>& args) {
  request.args = args;
  const std::optional<wire::ServerFrame> answer = ExchangeLocked(request);
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
