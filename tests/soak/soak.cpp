// The soak: tarvel.dll under load for a while, with every verdict judged.
//
//   tarvel_soak.exe [SECONDS [SENDERS [THREADS]]]
//
// SECONDS defaults to TARVEL_SOAK_SECONDS, else 600. This process sets up the
// shared block, serves loopback HTTP on 127.0.0.1:8080 and TLS-like answers
// on a free port, and starts SENDERS (3) child processes of THREADS (4)
// threads each and one editor child. Each sender thread makes, until the
// time is up, one call after another through the table that tarvel's
// WSPStartup hands out over forwarding_lower.dll: a fresh connection, an HTTP
// request on 8080 (some with an adult phrase in it, some for a page that
// holds one) or a ClientHello on 8080 or the other port, naming a host drawn
// from 5000, then the answer read to its end. The editor meanwhile changes
// the lists and modes through the exports about once a millisecond, and a
// reader runs `tarvelctl log --json` and `tarvelctl status` one after the
// other. Each child logs its calls or edits with the machine-wide
// performance counter's time; at the end this process judges
// them (tests/soak/soak_check.h), compares the block's lists and record of
// blocks with them, prints the summary line and the JSON, and exits 1 when
// a count that should be 0 is not.
#include <winsock2.h>
#include <ws2spi.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/soak/soak_check.h"
#include "tests/testing/client_hello.h"
#include "tests/wine/harness.h"

namespace tarvel::soak {
namespace {

using wine::TarvelExport;
using UrlFn = int(__cdecl*)(const char*);
using FlagFn = int(__cdecl*)(int);

constexpr u_short kHttpPort = 8080;
constexpr int kHosts = 5000;
constexpr int kHotHosts = 200;    // the hosts the editor edits
constexpr int kAddBudget = 1800;  // of a list's 2000 slots, which deletions never free
constexpr char kEnd[] = "SOAK-END";
// The page whose answer holds an adult phrase, and its request line's start.
constexpr char kAdultPage[] = "/tonight.html";
constexpr char kAdultRequest[] = "GET /tonight.html ";
constexpr DWORD kBaseCatalogId = 9960;

std::string HostName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "s%05d.soak.example", i);
  return name;
}

std::int64_t Micros() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart / frequency * 1000000 + t.QuadPart % frequency * 1000000 / frequency;
}

std::string LogPath(DWORD parent, const std::string& who) {
  return wine::TempPath("soak-" + std::to_string(parent) + "-" + who + ".log");
}

// --- The editor ---------------------------------------------------------------

// One list's exports and the additions made to it so far.
struct ListEdits {
  Op add, del;
  UrlFn add_fn, del_fn;
  int adds = 0;
};

int RunEditor(double seconds, const std::string& log_path) {
  ListEdits black{Op::kAddBlack, Op::kDelBlack, TarvelExport<UrlFn>("AddBlackUrl"),
                  TarvelExport<UrlFn>("DelBlackUrl")};
  ListEdits white{Op::kAddWhite, Op::kDelWhite, TarvelExport<UrlFn>("AddWhiteUrl"),
                  TarvelExport<UrlFn>("DelWhiteUrl")};
  const auto white_only = TarvelExport<FlagFn>("SetOnlyWhiteUrl");
  const auto smart = TarvelExport<FlagFn>("SetSmartFilter");
  const auto https = TarvelExport<FlagFn>("SetHttpsFilter");
  std::mt19937 rng(GetCurrentProcessId());
  ListState state;
  std::vector<Edit> edits;
  const std::int64_t start = Micros();
  const std::int64_t length = static_cast<std::int64_t>(seconds * 1e6);
  for (std::int64_t now = start; now - start < length; now = Micros()) {
    // Additions spread over the run: a deleted entry's slot is never reused.
    const int budget = 50 + static_cast<int>((kAddBudget - 50) * (now - start) / length);
    const std::string host = HostName(static_cast<int>(rng() % kHotHosts));
    Edit e;
    const auto flag = [&](Op op, FlagFn fn, bool on) {
      e.op = op;
      e.arg = on ? "1" : "0";
      e.before = Micros();
      e.result = fn(on ? 1 : 0);
      e.after = Micros();
    };
    const auto url = [&](Op op, UrlFn fn, const std::string& text) {
      e.op = op;
      e.arg = text;
      e.before = Micros();
      e.result = fn(text.c_str());
      e.after = Micros();
    };
    // Adds `host` while the budget lasts, else removes the list's first
    // entry; with `remove_only`, removes `host` when it is listed. Returns
    // false when there is nothing to do.
    const auto edit = [&](ListEdits& list, const std::set<std::string>& listed, bool remove_only) {
      const bool has = listed.count(host) != 0;
      if (remove_only) {
        if (!has) return false;
        url(list.del, list.del_fn, host);
      } else if (list.adds < budget && !has) {
        url(list.add, list.add_fn, host);
        ++list.adds;
      } else if (!listed.empty()) {
        url(list.del, list.del_fn, *listed.begin());
      } else {
        return false;
      }
      return true;
    };
    const unsigned roll = rng() % 10;
    bool made = true;
    if (roll < 3) {
      made = edit(black, state.black, roll == 2);
    } else if (roll < 5) {
      made = edit(white, state.white, roll == 4);
    } else if (roll < 7) {
      flag(Op::kWhiteOnly, white_only, !state.white_only);
    } else if (roll == 7) {
      flag(Op::kSmart, smart, !state.smart);
    } else {
      flag(Op::kHttps, https, !state.https);
    }
    if (!made) continue;
    Apply(state, e);
    edits.push_back(e);
    Sleep(1);
  }
  std::ofstream out(log_path, std::ios::trunc);
  for (const Edit& e : edits) out << Format(e) << '\n';
  return out.good() ? 0 : 2;
}

// --- The senders ----------------------------------------------------------------

struct Sender {
  WSAPROTOCOL_INFOW info;
  WSPPROC_TABLE table;
  u_short hello_port;
};

// One call through tarvel's table: what the application saw.
Seen Exchange(const Sender& s, Kind kind, const std::string& host, bool hello_on_http) {
  std::string bytes;
  if (kind == Kind::kHello) {
    bytes = testing::BrowserClientHello(host);
  } else {
    bytes = std::string("GET ") + (kind == Kind::kPage ? kAdultPage : "/page.html") +
            " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: soak\r\n";
    if (kind == Kind::kPhrase) bytes += "X-Topic: sexually explicit material\r\n";
    bytes += "\r\n";
  }
  INT error = 0;
  WSAPROTOCOL_INFOW info = s.info;
  const SOCKET c = s.table.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info, 0, 0, &error);
  if (c == INVALID_SOCKET) return Seen::kFailed;
  Seen seen = Seen::kFailed;
  sockaddr_in to =
      wine::LoopbackV4(kind == Kind::kHello && !hello_on_http ? s.hello_port : kHttpPort);
  if (s.table.lpWSPConnect(c, reinterpret_cast<sockaddr*>(&to), sizeof to, nullptr, nullptr,
                           nullptr, nullptr, &error) == 0) {
    WSABUF out{static_cast<ULONG>(bytes.size()), bytes.data()};
    DWORD sent = 0;
    if (s.table.lpWSPSend(c, &out, 1, &sent, 0, nullptr, nullptr, nullptr, &error) != 0) {
      seen = error == WSAESHUTDOWN ? Seen::kBlocked : Seen::kFailed;
    } else {
      std::string answer;
      char data[4096];
      for (;;) {
        WSABUF in{sizeof data, data};
        DWORD got = 0, flags = 0;
        if (s.table.lpWSPRecv(c, &in, 1, &got, &flags, nullptr, nullptr, nullptr, &error) != 0) {
          seen = error == WSAESHUTDOWN ? Seen::kBlocked : Seen::kFailed;
          break;
        }
        if (got == 0) {
          const std::size_t n = sizeof kEnd - 1;
          seen = answer.size() >= n && answer.compare(answer.size() - n, n, kEnd) == 0
                     ? Seen::kPassed
                     : Seen::kFailed;
          break;
        }
        answer.append(data, got);
      }
    }
  }
  s.table.lpWSPCloseSocket(c, &error);
  return seen;
}

int RunSender(int id, double seconds, u_short hello_port, int threads, const std::string& log) {
  wine::EnsureWinsock();
  Sender s;
  {
    const DWORD catalog_id = kBaseCatalogId + static_cast<DWORD>(id);
    wine::LowerPathValue lower(std::to_string(catalog_id), wine::BinDir() + "forwarding_lower.dll");
    s.info = wine::ProtocolInfo(catalog_id);
    wine::StartupResult r = wine::StartTarvel(s.info);
    if (r.result != 0) {
      std::fprintf(stderr, "sender %d: WSPStartup failed with %d\n", id, r.result);
      return 3;
    }
    s.table = r.table;
  }
  s.hello_port = hello_port;
  const std::int64_t deadline = Micros() + static_cast<std::int64_t>(seconds * 1e6);
  std::vector<std::vector<Call>> calls(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 rng(GetCurrentProcessId() * 131 + t);
      while (Micros() < deadline) {
        const int pick = static_cast<int>(rng() % 2 == 0 ? rng() % kHotHosts : rng() % kHosts);
        const unsigned roll = rng() % 20;
        const Kind kind = roll < 10   ? Kind::kHttp
                          : roll < 12 ? Kind::kPhrase
                          : roll < 14 ? Kind::kPage
                                      : Kind::kHello;
        Call c;
        c.kind = kind;
        c.host = HostName(pick);
        c.start = Micros();
        c.seen = Exchange(s, kind, c.host, rng() % 2 == 0);
        c.end = Micros();
        calls[t].push_back(c);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  std::ofstream out(log, std::ios::trunc);
  for (const auto& list : calls) {
    for (const Call& c : list) out << Format(c) << '\n';
  }
  return out.good() ? 0 : 2;
}

// --- The reader ------------------------------------------------------------------

// Runs `tarvelctl log --json` (over this tree's module) and `tarvelctl
// status` one after the other until the time is up, and logs the runs, the
// runs that crashed or did not end, and the log lines that were not whole
// records: "READS CRASHED TORN". A process of its own, so that tarvelctl
// inherits none of the servers' sockets.
int RunReader(double seconds, const std::string& log_path) {
  const std::string tarvelctl = wine::BinDir() + "tarvelctl.exe";
  const std::string log_args = "log --json --dll \"" + wine::BinDir() + "tarvel.dll\"";
  std::set<std::string> names;
  for (int i = 0; i < kHosts; ++i) names.insert(HostName(i));
  std::uint64_t reads = 0, crashed = 0, torn = 0;
  const std::int64_t deadline = Micros() + static_cast<std::int64_t>(seconds * 1e6);
  while (Micros() < deadline) {
    for (const bool log : {true, false}) {
      const wine::Ran ran = wine::RunCaptured(tarvelctl, log ? log_args : "status");
      ++reads;
      // 1 is an answer (the other bitness's filter cannot be reached here).
      if (ran.code != 0 && ran.code != 1) ++crashed;
      if (!log) continue;
      std::size_t from = 0;
      for (std::size_t to; (to = ran.out.find('\n', from)) != std::string::npos; from = to + 1) {
        std::string line = ran.out.substr(from, to - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && !WholeLogLine(line, names)) ++torn;
      }
    }
  }
  std::ofstream out(log_path, std::ios::trunc);
  out << reads << ' ' << crashed << ' ' << torn << '\n';
  return out.good() ? 0 : 2;
}

// --- The servers ----------------------------------------------------------------

// Answers one connection: reads a request to its blank line, or a TLS record
// whole, then sends an answer ending in kEnd and closes. A connection cut
// before that is closed unanswered.
void Serve(SOCKET s) {
  DWORD wait_ms = 10000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof wait_ms);
  std::string got;
  char data[4096];
  for (;;) {
    const int n = recv(s, data, sizeof data, 0);
    if (n <= 0) break;
    got.append(data, static_cast<std::size_t>(n));
    const bool whole =
        got[0] == 0x16
            ? got.size() >= 5 && got.size() >= 5u + (static_cast<unsigned char>(got[3]) << 8 |
                                                     static_cast<unsigned char>(got[4]))
            : got.find("\r\n\r\n") != std::string::npos;
    if (whole) {
      // The phrase stands early in the page, so that the first receive
      // holds it whole.
      std::string body = got.compare(0, sizeof kAdultRequest - 1, kAdultRequest) == 0
                             ? "<p>Tonight: sexually explicit material, free.</p>\n"
                             : "<p>Local news: the bridge reopens on Monday.</p>\n";
      body += kEnd;
      const std::string answer =
          "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body;
      send(s, answer.data(), static_cast<int>(answer.size()), 0);
      shutdown(s, SD_SEND);
      break;
    }
  }
  closesocket(s);
}

bool Listen(u_short port, SOCKET& listener, u_short& bound) {
  listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = wine::LoopbackV4(port);
  int length = sizeof address;
  auto* name = reinterpret_cast<sockaddr*>(&address);
  if (listener == INVALID_SOCKET || bind(listener, name, length) != 0 ||
      listen(listener, SOMAXCONN) != 0 || getsockname(listener, name, &length) != 0) {
    std::fprintf(stderr, "tarvel_soak: cannot listen on port %u\n", port);
    return false;
  }
  bound = ntohs(address.sin_port);
  return true;
}

// --- The parent -------------------------------------------------------------------

HANDLE Start(const std::string& args) {
  HANDLE process = wine::StartProcess(wine::SelfPath(), args);
  if (process == nullptr) std::fprintf(stderr, "tarvel_soak: cannot start %s\n", args.c_str());
  return process;
}

template <typename Record>
std::vector<Record> ReadLog(const std::string& path, Tally& t) {
  std::vector<Record> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    Record r;
    if (Parse(line, r))
      records.push_back(r);
    else
      ++t.torn;  // a log line that is not whole
  }
  return records;
}

int RunParent(double seconds, int senders, int threads) {
  wine::EnsureWinsock();
  FilterState& block = wine::TarvelBlock();  // set up the block with empty lists, modes off
  SharedExtensions& extensions = wine::TarvelExtensions();
  if (block.lists_ready != 1 || block.black_count != 0 || block.white_count != 0) {
    std::fprintf(stderr, "tarvel_soak: the block is not new: another process holds tarvel.dll?\n");
    return 1;
  }
  SetEnvironmentVariableA("TARVEL_TEST_SETTINGS", "keep");
  const BlockCounts counts_before = ReadBlockCounts(extensions.block_log);
  const std::uint64_t numbered_before = RecordsNumbered(extensions.block_log);

  SOCKET http = INVALID_SOCKET, hello = INVALID_SOCKET;
  u_short http_port = 0, hello_port = 0;
  if (!Listen(kHttpPort, http, http_port) || !Listen(0, hello, hello_port)) return 1;
  for (SOCKET listener : {http, hello}) {
    for (int i = 0; i < 8; ++i) {
      std::thread([listener] {
        for (;;) {
          const SOCKET s = accept(listener, nullptr, nullptr);
          if (s == INVALID_SOCKET) return;
          Serve(s);
        }
      }).detach();
    }
  }

  const DWORD me = GetCurrentProcessId();
  const std::string secs = std::to_string(seconds);
  std::vector<HANDLE> children;
  std::vector<std::string> sender_logs;
  const std::int64_t start = Micros();
  children.push_back(Start("--editor " + secs + " \"" + LogPath(me, "editor") + "\""));
  children.push_back(Start("--reader " + secs + " \"" + LogPath(me, "reader") + "\""));
  for (int i = 0; i < senders; ++i) {
    sender_logs.push_back(LogPath(me, "sender" + std::to_string(i)));
    children.push_back(Start("--sender " + std::to_string(i) + " " + secs + " " +
                             std::to_string(hello_port) + " " + std::to_string(threads) + " \"" +
                             sender_logs.back() + "\""));
  }
  Tally t;
  for (HANDLE child : children) {
    if (child == nullptr) {
      ++t.crashed;
      continue;
    }
    const DWORD wait = static_cast<DWORD>(seconds * 1000) + 180000;
    DWORD code = 0;
    if (WaitForSingleObject(child, wait) != WAIT_OBJECT_0) {
      TerminateProcess(child, 99);
      ++t.hung;
    } else if (GetExitCodeProcess(child, &code) && code != 0) {
      std::fprintf(stderr, "tarvel_soak: a child exited with 0x%lx\n", code);
      ++t.crashed;
    }
    CloseHandle(child);
  }
  const double ran = static_cast<double>(Micros() - start) / 1e6;
  closesocket(http);
  closesocket(hello);

  std::set<std::string> names;
  for (int i = 0; i < kHosts; ++i) names.insert(HostName(i));
  const History history(ReadLog<Edit>(LogPath(me, "editor"), t));
  std::vector<Call> calls;
  for (const std::string& path : sender_logs) {
    std::vector<Call> some = ReadLog<Call>(path, t);
    calls.insert(calls.end(), some.begin(), some.end());
  }
  JudgeCalls(history, calls, t);
  {
    std::ifstream reader(LogPath(me, "reader"));
    std::uint64_t crashed = 0, torn = 0;
    if (!(reader >> t.reads >> crashed >> torn)) ++t.crashed;  // the reader died
    t.crashed += crashed;
    t.torn += torn;
  }
  // The logs stay for a look when the run failed or TARVEL_SOAK_KEEP_LOGS is set.
  const bool keep = std::getenv("TARVEL_SOAK_KEEP_LOGS") != nullptr;
  CheckEntries(block, Load(extensions.https_filter), history.Final(), names, t);
  CheckRecords(extensions.block_log, counts_before, numbered_before, t.blocks, names, t);
  std::printf("%s\njson: %s\n", SummaryLine(t, ran).c_str(), ToJson(t, ran).c_str());
  std::fflush(stdout);
  if (t.Clean() && !keep) {
    DeleteFileA(LogPath(me, "editor").c_str());
    DeleteFileA(LogPath(me, "reader").c_str());
    for (const std::string& path : sender_logs) DeleteFileA(path.c_str());
  } else {
    std::printf("logs: %s and the senders' beside it\n", LogPath(me, "editor").c_str());
  }
  return t.Clean() && t.calls > 0 ? 0 : 1;
}

}  // namespace
}  // namespace tarvel::soak

int main(int argc, char** argv) {
  using namespace tarvel::soak;
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 3 && a[0] == "--editor") return RunEditor(std::atof(a[1].c_str()), a[2]);
  if (a.size() == 3 && a[0] == "--reader") return RunReader(std::atof(a[1].c_str()), a[2]);
  if (a.size() == 6 && a[0] == "--sender") {
    return RunSender(std::atoi(a[1].c_str()), std::atof(a[2].c_str()),
                     static_cast<u_short>(std::atoi(a[3].c_str())), std::atoi(a[4].c_str()), a[5]);
  }
  double seconds = 600;
  if (const char* env = std::getenv("TARVEL_SOAK_SECONDS")) seconds = std::atof(env);
  if (!a.empty()) seconds = std::atof(a[0].c_str());
  const int senders = a.size() > 1 ? std::atoi(a[1].c_str()) : 3;
  const int threads = a.size() > 2 ? std::atoi(a[2].c_str()) : 4;
  if (seconds <= 0 || senders <= 0 || threads <= 0) {
    std::fprintf(stderr, "usage: tarvel_soak.exe [SECONDS [SENDERS [THREADS]]]\n");
    return 2;
  }
  return RunParent(seconds, senders, threads);
}
