#include "peer.h"

#ifdef _WIN32
#include <winsock.h>
using NativeSocket = SOCKET;
#else
#include <sys/socket.h>
using NativeSocket = int;
#endif

#include <thread>

namespace qws::test {
namespace {

const platform::SocketApi& Api() { return platform::NativeSockets(); }

bool Readable(platform::Socket s, Millis within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  do {
    if (Api().selectRead(s, 10000) > 0) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace

uint32_t Loopback() { return Api().inetAddr("127.0.0.1"); }

platform::SocketAddress LoopbackAddress(uint16_t port) {
  platform::SocketAddress address;
  address.family = platform::kAddressFamilyInet;
  address.port = static_cast<uint16_t>((port >> 8) | (port << 8));
  address.address = Loopback();
  return address;
}

Peer::Peer(platform::Socket socket) : socket_(socket), started_(true) {}

Peer::Peer(Peer&& other) noexcept : socket_(other.socket_), started_(other.started_) {
  other.socket_ = 0;
  other.started_ = false;
}

Peer& Peer::operator=(Peer&& other) noexcept {
  if (this != &other) {
    Close();
    if (started_) Api().cleanup();
    socket_ = other.socket_;
    started_ = other.started_;
    other.socket_ = 0;
    other.started_ = false;
  }
  return *this;
}

Peer::~Peer() {
  Close();
  if (started_) Api().cleanup();
}

Peer Peer::Listening(uint16_t port) {
  platform::StartupData data;
  Api().startup(&data);
  Peer peer(Api().socket(platform::kAddressFamilyInet));
  if (peer.socket_ < 0) return peer;
  Api().setNonBlocking(peer.socket_);
  Api().allowAddressReuse(peer.socket_);
  const platform::SocketAddress address = LoopbackAddress(port);
  if (Api().bind(peer.socket_, &address) != 0) peer.Close();
  if (peer.valid()) Api().listen(peer.socket_, 8);
  return peer;
}

Peer Peer::ConnectedTo(uint16_t port) {
  platform::StartupData data;
  Api().startup(&data);
  Peer peer(Api().socket(platform::kAddressFamilyInet));
  if (peer.socket_ < 0) return peer;
  Api().setNonBlocking(peer.socket_);
  const platform::SocketAddress address = LoopbackAddress(port);
  Api().connect(peer.socket_, &address);
  return peer;
}

uint16_t Peer::port() const { return static_cast<uint16_t>(Api().localPort(socket_)); }

Peer Peer::Accept(Millis within) {
  platform::StartupData data;
  if (!Readable(socket_, within)) return {};
  Api().startup(&data);
  Peer peer(Api().accept(socket_));
  if (peer.valid()) Api().setNonBlocking(peer.socket_);
  return peer;
}

bool Peer::SendUrgent(char byte) {
  return ::send(static_cast<NativeSocket>(socket_), &byte, 1, MSG_OOB) == 1;
}

bool Peer::Send(const std::string& bytes, Millis within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = Api().send(socket_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    } else {
      return false;
    }
  }
  return true;
}

std::string Peer::Receive(size_t count, Millis within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  std::string received;
  char buffer[4096];
  while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (Api().selectRead(socket_, 10000) <= 0) continue;
    const int n = Api().recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

bool Peer::SeesOrderlyClose(Millis within) {
  if (!Readable(socket_, within)) return false;
  char byte;
  return Api().recv(socket_, &byte, 1, 0) == 0;
}

bool Peer::StaysQuiet(Millis quiet) { return !Readable(socket_, quiet); }

void Peer::Close() {
  if (socket_ > 0) Api().closesocket(socket_);
  socket_ = 0;
}

void Peer::EndSending() {
  if (socket_ > 0) Api().shutdown(socket_, platform::kShutdownSend);
}

// A zero linger time makes the close a reset on every platform.
void Peer::Reset() {
  if (socket_ <= 0) return;
  linger abort{1, 0};
  setsockopt(static_cast<NativeSocket>(socket_), SOL_SOCKET, SO_LINGER,
             reinterpret_cast<const char*>(&abort), sizeof abort);
  Close();
}

void LimitSendBuffer(platform::Socket socket, int bytes) {
  setsockopt(static_cast<NativeSocket>(socket), SOL_SOCKET, SO_SNDBUF,
             reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

uint16_t FreePort() {
  Peer probe = Peer::Listening();
  return probe.port();
}

}  // namespace qws::test
