// The demonstration's client. It asks the demonstration web server on
// 127.0.0.1:8080 for the front page of several hosts, the way a browser
// does, then the HTTPS server on 127.0.0.1:443 over TLS (Schannel), and
// sends one QUIC-like datagram to UDP port 443; every socket call goes
// through tarvel.dll: it starts the provider with WSPStartup (which loads
// the forwarding lower provider named in the registry) and makes its calls
// through the table it hands out. Between requests a second process,
// demo_control.exe, changes the filter through tarvel's exports while this
// process keeps running.
//
// Prints one line per request: the host, the verdict and what the client
// saw; then, while it still holds tarvel.dll, the record of blocked requests
// as "tarvelctl log" shows it. Exits 1 when a verdict is not the one the
// demonstration expects or the record does not show each blocked request.
#include <winsock2.h>
#include <ws2spi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/demo/tls_client.h"

namespace {

constexpr DWORD kCatalogId = 1001;  // the registry names the lower provider under this id
constexpr u_short kPort = 8080;
constexpr u_short kHttpsPort = 443;

enum class Kind {
  kHttp,       // a request on port 8080
  kHttps,      // a request over TLS on port 443
  kQuic,       // a datagram to UDP port 443
  kControl,    // a call of the second process
  kTarvelctl,  // tarvelctl run with the step's host as its arguments
  kNote,       // a line of text
};

struct Step {
  Kind kind;
  const char* host;        // the request's host
  bool allowed;            // the verdict expected
  const char* reason;      // why
  const char* control[2];  // the second process's export and argument
  bool as_user = false;    // the second process calls as a stand-in standard user
  int returns = 1;         // what its export returns
};

constexpr Step kSteps[] = {
    {Kind::kHttp, "www.news.example", true, "on no list", {}},
    {Kind::kHttp, "www.casino.example", false, "casino.example is on the blacklist", {}},
    {Kind::kHttp, "stories.example", false, "its page holds \"erotic stories\"", {}},
    {Kind::kControl, nullptr, true, "white-only mode on", {"SetOnlyWhiteUrl", "1"}},
    {Kind::kHttp, "www.news.example", true, "news.example is on the whitelist", {}},
    {Kind::kHttp, "shop.example", false, "not on the whitelist", {}},
    {Kind::kControl, nullptr, true, "white-only mode off", {"SetOnlyWhiteUrl", "0"}},
    {Kind::kHttp, "shop.example", true, "on no list", {}},
    {Kind::kControl,
     nullptr,
     true,
     "shop.example is added to the blacklist",
     {"AddBlackUrl", "shop.example"}},
    {Kind::kHttp, "shop.example", false, "shop.example is on the blacklist", {}},
    {Kind::kNote, nullptr, true, "HTTPS, to 127.0.0.1:443: the host is the server name (SNI)", {}},
    {Kind::kHttps, "www.casino.example", true, "not judged: the HTTPS filter is off", {}},
    {Kind::kControl, nullptr, true, "the HTTPS filter on", {"SetHttpsFilter", "1"}},
    {Kind::kHttps, "www.news.example", true, "on no list", {}},
    {Kind::kHttps, "www.casino.example", false, "casino.example is on the blacklist", {}},
    {Kind::kTarvelctl,
     "category add gambling",
     true,
     "a category built from examples/gambling.txt",
     {}},
    {Kind::kHttp, "live.bets.example", false, "under bets.example, category gambling", {}},
    {Kind::kHttps, "www.poker.example", false, "poker.example, category gambling", {}},
    {Kind::kHttp, "mybets.example", true, "under no entry of a category", {}},
    {Kind::kQuic, "UDP 127.0.0.1:443", false, "QUIC is refused: browsers use TCP", {}},
    {Kind::kControl, nullptr, true, "the filter is locked", {"SetLocked", "1"}},
    {Kind::kControl,
     nullptr,
     true,
     "refused: only administrators change a locked filter",
     {"SetHttpsFilter", "0"},
     true,
     0},
    {Kind::kHttps, "www.casino.example", false, "the HTTPS filter is still on", {}},
};

std::string OwnFolder() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// The provider as a browser's Winsock would start it.
class Provider {
 public:
  bool Start() {
    HMODULE tarvel = LoadLibraryA((OwnFolder() + "tarvel.dll").c_str());
    if (tarvel == nullptr) return Fail("cannot load tarvel.dll");
    auto startup = reinterpret_cast<LPWSPSTARTUP>(
        reinterpret_cast<void*>(GetProcAddress(tarvel, "WSPStartup")));
    if (startup == nullptr) return Fail("tarvel.dll exports no WSPStartup");
    std::memset(&info_, 0, sizeof info_);
    info_.dwCatalogEntryId = kCatalogId;
    info_.ProtocolChain.ChainLen = 1;
    info_.iAddressFamily = AF_INET;
    info_.iSocketType = SOCK_STREAM;
    info_.iProtocol = IPPROTO_TCP;
    WSPDATA data;
    WSPUPCALLTABLE upcalls;
    std::memset(&upcalls, 0, sizeof upcalls);
    const int result = startup(MAKEWORD(2, 2), &data, &info_, upcalls, &table_);
    if (result != 0) return Fail("WSPStartup failed with " + std::to_string(result));
    return true;
  }

  // What the client saw of one request; `allowed` false when a call failed.
  struct Outcome {
    bool allowed;
    std::string seen;
  };

  Outcome Fetch(const std::string& host) {
    INT error = 0;
    SOCKET s = INVALID_SOCKET;
    std::string failed;
    if (!Connect(kPort, &s, &failed)) return {false, failed};
    WSATHREADID thread = {};
    std::string request = Request(host);
    WSABUF out{static_cast<ULONG>(request.size()), request.data()};
    DWORD sent = 0;
    if (table_.lpWSPSend(s, &out, 1, &sent, 0, nullptr, nullptr, &thread, &error) != 0) {
      return Close(s, {false, "send failed with error " + ErrorText(error)});
    }
    // A fresh, zeroed page for every request: the filter scans the whole
    // buffer of a receive, not only the bytes it delivered.
    char page[4096] = {};
    std::size_t got = 0;
    while (got < sizeof page - 1) {
      WSABUF in{static_cast<ULONG>(sizeof page - 1 - got), page + got};
      DWORD received = 0;
      DWORD flags = 0;
      if (table_.lpWSPRecv(s, &in, 1, &received, &flags, nullptr, nullptr, &thread, &error) != 0) {
        return Close(s, {false, "receive failed with error " + ErrorText(error)});
      }
      if (received == 0) break;
      got += received;
    }
    return Close(s, {true, Describe(std::string(page, got))});
  }

  // The same request over TLS: the handshake names the host.
  Outcome FetchOverTls(const std::string& host) {
    SOCKET s = INVALID_SOCKET;
    std::string failed;
    if (!Connect(kHttpsPort, &s, &failed)) return {false, failed};
    const tarvel::demo::TlsFetch fetch = tarvel::demo::FetchOverTls(table_, s, host, Request(host));
    if (!fetch.failed.empty()) {
      return Close(s, {false, fetch.failed + (fetch.failed.find("10058") != std::string::npos
                                                  ? " (WSAESHUTDOWN: the connection is cut)"
                                                  : "")});
    }
    return Close(s, {true, Describe(fetch.response)});
  }

  // One datagram to UDP port 443, as a browser's QUIC connection begins.
  Outcome SendDatagram() {
    INT error = 0;
    SOCKET s = table_.lpWSPSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP, &info_, 0, 0, &error);
    if (s == INVALID_SOCKET) return {false, "no socket (error " + std::to_string(error) + ")"};
    const sockaddr_in to = Loopback(kHttpsPort);
    char initial[] = "\xc3\x00\x00\x00\x01 QUIC Initial";
    WSABUF out{sizeof initial - 1, initial};
    DWORD sent = 0;
    WSATHREADID thread = {};
    if (table_.lpWSPSendTo(s, &out, 1, &sent, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to,
                           nullptr, nullptr, &thread, &error) != 0) {
      return Close(s, {false, "send-to failed with error " + std::to_string(error) +
                                  (error == WSAEACCES ? " (WSAEACCES: refused)" : "")});
    }
    return Close(s, {true, std::to_string(sent) + " bytes sent"});
  }

 private:
  static bool Fail(const std::string& why) {
    std::printf("demo_client: %s\n", why.c_str());
    return false;
  }

  // A blocked connection is cut, but its socket is still the client's to close.
  Outcome Close(SOCKET s, Outcome outcome) {
    INT error = 0;
    table_.lpWSPCloseSocket(s, &error);
    return outcome;
  }

  static std::string ErrorText(int error) {
    return std::to_string(error) +
           (error == WSAESHUTDOWN ? " (WSAESHUTDOWN: the connection is cut)" : "");
  }

  // 200 OK "<body>" from a whole response.
  static std::string Describe(const std::string& response) {
    const std::size_t line_end = response.find("\r\n");
    const std::size_t body = response.find("\r\n\r\n");
    std::string status = response.substr(0, line_end);
    if (status.rfind("HTTP/", 0) == 0) status = status.substr(status.find(' ') + 1);
    std::string text = body == std::string::npos ? "" : response.substr(body + 4);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return status + " \"" + text + "\"";
  }

  static sockaddr_in Loopback(u_short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  static std::string Request(const std::string& host) {
    return "GET / HTTP/1.0\r\nHost: " + host + "\r\nUser-Agent: tarvel-demo\r\n\r\n";
  }

  bool Connect(u_short port, SOCKET* s, std::string* failed) {
    INT error = 0;
    *s = table_.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info_, 0, 0, &error);
    if (*s == INVALID_SOCKET) {
      *failed = "no socket (error " + std::to_string(error) + ")";
      return false;
    }
    const sockaddr_in server = Loopback(port);
    if (table_.lpWSPConnect(*s, reinterpret_cast<const sockaddr*>(&server), sizeof server, nullptr,
                            nullptr, nullptr, nullptr, &error) != 0) {
      table_.lpWSPCloseSocket(*s, &error);
      *failed = "cannot connect to 127.0.0.1:" + std::to_string(port) + " (error " +
                std::to_string(error) + ")";
      return false;
    }
    return true;
  }

  WSAPROTOCOL_INFOW info_;
  WSPPROC_TABLE table_;
};

// Runs demo_control.exe with an export and its argument; its exit code is
// the export's result.
int RunControl(const char* name, const char* argument, bool as_user) {
  const std::string exe = OwnFolder() + "demo_control.exe";
  std::string line =
      "\"" + exe + "\" " + (as_user ? "--as-standard-user " : "") + name + " " + argument;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return -1;
  }
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

// Runs tarvelctl.exe (beside this program) with `args` and returns what it
// printed, without carriage returns; its exit code goes to `code`.
std::string RunTarvelctl(const std::string& args, DWORD* code) {
  const std::string exe = OwnFolder() + "tarvelctl.exe";
  std::string line = "\"" + exe + "\" " + args;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  *code = static_cast<DWORD>(-1);
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) return "";
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = write_end;
  si.hStdError = write_end;
  PROCESS_INFORMATION pi = {};
  // A wineserver that has just started may refuse the first start (1359).
  bool started = false;
  for (int attempt = 0; attempt < 20 && !started; ++attempt) {
    started = CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &si, &pi) != FALSE;
    if (!started && GetLastError() != 1359) break;
    if (!started) Sleep(250);
  }
  CloseHandle(write_end);
  std::string output;
  if (started) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      output.append(chunk, got);
    }
    WaitForSingleObject(pi.hProcess, 30000);
    GetExitCodeProcess(pi.hProcess, code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(read_end);
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
  return output;
}

// Runs "tarvelctl `command` LIST" on this client's filter, LIST the
// example category list that run.sh names in TARVEL_DEMO_CATEGORY_LIST,
// and prints what it said; false when it failed.
bool RunCategoryAdd(const char* command, const char* what) {
  char list[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("TARVEL_DEMO_CATEGORY_LIST", list, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    std::printf("demo_client: TARVEL_DEMO_CATEGORY_LIST names no list\n");
    return false;
  }
  std::printf("  -- tarvelctl %s gambling.txt: %s\n", command, what);
  DWORD code = 0;
  const std::string said = RunTarvelctl(
      std::string(command) + " \"" + list + "\" --own-only --dll \"" + OwnFolder() + "tarvel.dll\"",
      &code);
  std::size_t start = 0;
  while (start < said.size()) {
    const std::size_t end = said.find('\n', start);
    std::printf("     %s\n", said.substr(start, end - start).c_str());
    start = end == std::string::npos ? said.size() : end + 1;
  }
  return code == 0;
}

// Prints the record of blocked requests as tarvelctl shows it, while this
// process still holds tarvel.dll (the record ends with its last holder);
// false when it does not show each of this client's `blocked` requests.
// --own-only: the demonstration has no 32-bit tarvelctl beside it.
bool ShowLog(int blocked) {
  std::printf("  -- tarvelctl log, while this client still holds tarvel.dll:\n");
  DWORD code = 0;
  const std::string log =
      RunTarvelctl("log --own-only --dll \"" + OwnFolder() + "tarvel.dll\"", &code);
  int ours = 0;
  int refused = 0;
  std::size_t start = 0;
  while (start < log.size()) {
    const std::size_t end = log.find('\n', start);
    const std::string line = log.substr(start, end - start);
    if (line.find("  demo_client.exe  ") != std::string::npos) ++ours;
    if (line.find("  demo_control.exe  ") != std::string::npos &&
        line.find("change refused") != std::string::npos) {
      ++refused;
    }
    std::printf("  %s\n", line.c_str());
    start = end == std::string::npos ? log.size() : end + 1;
  }
  if (code == 0 && ours == blocked && refused == 1) return true;
  std::printf(
      "demo_client: tarvelctl log exited with %lu and showed %d of %d blocked requests and %d "
      "refused changes of 1\n",
      static_cast<unsigned long>(code), ours, blocked, refused);
  return false;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Provider provider;
  if (!provider.Start()) return 1;
  int unexpected = 0;
  int blocked = 0;
  std::printf("  %-20s %-8s %-39s %s\n", "host", "verdict", "why", "what the client saw");
  for (const Step& step : kSteps) {
    if (step.kind == Kind::kNote) {
      std::printf("  -- %s\n", step.reason);
      continue;
    }
    if (step.kind == Kind::kTarvelctl) {
      if (!RunCategoryAdd(step.host, step.reason)) ++unexpected;
      continue;
    }
    if (step.kind == Kind::kControl) {
      const int result = RunControl(step.control[0], step.control[1], step.as_user);
      const char* quote = step.control[0][0] == 'S' ? "" : "\"";
      std::printf("  -- a second process%s calls %s(%s%s%s), which returns %d: %s\n",
                  step.as_user ? ", as a standard user," : "", step.control[0], quote,
                  step.control[1], quote, result, step.reason);
      if (result != step.returns) ++unexpected;
      continue;
    }
    const Provider::Outcome outcome = step.kind == Kind::kHttp    ? provider.Fetch(step.host)
                                      : step.kind == Kind::kHttps ? provider.FetchOverTls(step.host)
                                                                  : provider.SendDatagram();
    const bool as_expected = outcome.allowed == step.allowed;
    if (!as_expected) ++unexpected;
    if (!outcome.allowed) ++blocked;
    std::printf("  %-20s %-8s %-39s %s%s\n", step.host, outcome.allowed ? "allowed" : "blocked",
                step.reason, outcome.seen.c_str(), as_expected ? "" : "  <-- NOT AS EXPECTED");
  }
  if (!ShowLog(blocked)) ++unexpected;
  if (unexpected != 0) {
    std::printf("demo_client: %d step(s) did not go as expected\n", unexpected);
    return 1;
  }
  std::printf("Every verdict was the expected one.\n");
  return 0;
}
