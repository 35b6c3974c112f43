// Relies on the Winsock documentation on learn.microsoft.com: "socket
// function", "connect function", "send function", "recv function",
// "select function", "SOL_SOCKET socket options" (SO_PROTOCOL_INFOW gives
// the WSAPROTOCOL_INFOW of the catalog entry that made the socket, a chain's
// own entry with its ProtocolChain for a layered provider's socket,
// SO_RCVTIMEO bounds a blocking recv) and "Using SO_REUSEADDR and
// SO_EXCLUSIVEADDRUSE" (a bind to a port another socket holds fails with
// WSAEADDRINUSE, or WSAEACCES when that one holds it exclusively).
#include "tools/tarvelctl/win/loopback_probe.h"

#include <winsock2.h>  // before windows.h
#include <ws2tcpip.h>

#include "tools/tarvelctl/win/error_text.h"
#include "tools/tarvelctl/win/winsock_catalog.h"

namespace tarvel::ctl {
namespace {

constexpr int kWaitMilliseconds = 5000;
constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string LastError(const char* call) {
  return std::string(call) + " failed: " + ErrorText(static_cast<unsigned long>(WSAGetLastError()));
}

// A socket closed when the holder goes.
class OwnedSocket {
 public:
  explicit OwnedSocket(SOCKET s = INVALID_SOCKET) : socket_(s) {}
  ~OwnedSocket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }

 private:
  SOCKET socket_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Whether `s` becomes readable within the wait.
bool Readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval wait = {kWaitMilliseconds / 1000, 0};
  return select(0, &set, nullptr, nullptr, &wait) == 1;
}

void BoundReceives(SOCKET s) {
  const DWORD wait = kWaitMilliseconds;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
}

class WinsockProbe final : public LoopbackProbe {
 public:
  // Winsock stays started while the probe lives.
  WinsockProbe(int port, SOCKET listener) : port_(port), listener_(listener) {}
  ~WinsockProbe() override {
    closesocket(listener_);
    WSACleanup();
  }
  int Port() const override { return port_; }

  ProbeResult Exchange(const std::string& request) override {
    ProbeResult result;
    OwnedSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!client.valid()) {
      result.error = LastError("socket");
      return result;
    }
    WSAPROTOCOL_INFOW info = {};
    int size = sizeof info;
    if (getsockopt(client.get(), SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info),
                   &size) == 0) {
      result.have_entry = true;
      result.entry = ToRecord(info);
    }
    const sockaddr_in address = Loopback(port_);
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      result.error = LastError("connect");
      return result;
    }
    if (!Readable(listener_)) {
      result.error = "the listener saw no connection";
      return result;
    }
    OwnedSocket server(accept(listener_, nullptr, nullptr));
    if (!server.valid()) {
      result.error = LastError("accept");
      return result;
    }
    BoundReceives(client.get());
    BoundReceives(server.get());
    if (send(client.get(), request.data(), static_cast<int>(request.size()), 0) == SOCKET_ERROR) {
      result.send_error = ErrorText(static_cast<unsigned long>(WSAGetLastError()));
    }
    // The listener reads until the request is whole, the client's side is
    // shut down (a cut) or the wait ends.
    std::string received;
    char chunk[1024];
    while (received.size() < request.size()) {
      const int n = recv(server.get(), chunk, sizeof chunk, 0);
      if (n <= 0) break;
      received.append(chunk, static_cast<std::size_t>(n));
    }
    result.listener_got_request = received.compare(0, request.size(), request) == 0;
    if (result.listener_got_request) {
      send(server.get(), kAnswer, static_cast<int>(sizeof kAnswer - 1), 0);
      shutdown(server.get(), SD_SEND);
    }
    if (recv(client.get(), chunk, sizeof chunk, 0) == SOCKET_ERROR) {
      result.recv_error = ErrorText(static_cast<unsigned long>(WSAGetLastError()));
    }
    return result;
  }

 private:
  int port_;
  SOCKET listener_;
};

}  // namespace

std::unique_ptr<LoopbackProbe> ListenOnWinsockLoopback(int port, bool* busy, std::string* error) {
  *busy = false;
  WSADATA wsa;
  const int started = WSAStartup(MAKEWORD(2, 2), &wsa);
  if (started != 0) {
    *error = "WSAStartup failed: " + ErrorText(static_cast<unsigned long>(started));
    return nullptr;
  }
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) {
    *error = LastError("socket");
    WSACleanup();
    return nullptr;
  }
  // Exclusive, so that the listener is the only one that can receive there.
  const BOOL on = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  const sockaddr_in address = Loopback(port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    const int code = WSAGetLastError();
    *busy = code == WSAEADDRINUSE || code == WSAEACCES;
    *error = "listening on 127.0.0.1:" + std::to_string(port) +
             " failed: " + ErrorText(static_cast<unsigned long>(code));
    closesocket(listener);
    WSACleanup();
    return nullptr;
  }
  return std::make_unique<WinsockProbe>(port, listener);
}

}  // namespace tarvel::ctl
