// What tarvel adds to one socket call, end to end: the same loopback send
// and receive made through the table tarvel's WSPStartup hands out and
// straight on the provider beneath it (forwarding_lower.dll, which calls the
// real Winsock), on an HTTP port and on another port, with the smart filter
// on and a full black list of 2000 entries that the request's host is not on.
//
//   tarvel_wine_bench.exe [ROUNDS [CALLS]]
//
// Each round times CALLS sends of a 190-byte request and CALLS receives of
// 1460 bytes on each connection, once through tarvel and once on the lower
// provider, the order of the two alternating from round to round. To show
// where tarvel's time goes, each round also times the parts of a verdict on
// their own, in this process: the host and list match and the phrase scans
// (the same code as the module's, over its shared block, in batches that
// keep the caches warm). One more row times the HTTP send through tarvel
// with a category of a million domains active (none of them the request's
// host) against the same send with none, the two alternating likewise;
// each switch is made, and its files loaded, before the timed calls.
// Prints the per-call time of every round as JSON on stdout, with the
// parts' medians; scripts/bench-wine.sh takes the medians and the ratios.
// Exits 1 when a call fails or the filter is not set up as described.
#include <winsock2.h>
#include <ws2spi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filter/category_match.h"
#include "filter/host.h"
#include "filter/phrases.h"
#include "filter/url_match.h"
#include "state/category_file.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using AddUrlFn = int(__cdecl*)(const char*);
using SetFlagFn = int(__cdecl*)(int);
using SetCategoryFn = int(__cdecl*)(const char*, unsigned int);

constexpr char kCategory[] = "bench-million";
constexpr int kCategoryDomains = 1000000;

constexpr DWORD kCatalogId = 9950;
constexpr u_short kHttpPort = 8080;
constexpr std::size_t kRequestBytes = 190;
constexpr std::size_t kReplyBytes = 1460;

bool Fail(const std::string& what) {
  std::fprintf(stderr, "tarvel_wine_bench: %s\n", what.c_str());
  return false;
}

// The made-up host names of the native list benchmark (bench/filter_bench.cpp).
std::vector<std::string> BlackEntries() {
  static const char* const kWords[] = {"casino", "bet",   "cheap", "pills",  "win",  "prize",
                                       "free",   "games", "loans", "crypto", "deal", "shop"};
  static const char* const kEnds[] = {".com", ".net", ".info", ".biz", ".ru", ".cn"};
  std::mt19937 rng(5);
  std::vector<std::string> entries;
  for (int i = 0; i < kListSlots; ++i) {
    std::string entry = std::string(kWords[rng() % 12]) + "-" + kWords[rng() % 12];
    entry += std::to_string(rng() % 1000);
    entries.push_back(entry + kEnds[rng() % 6]);
  }
  return entries;
}

// A browser's request for a host on no list, 190 bytes.
std::string Request() {
  std::string r =
      "GET /news/today.html HTTP/1.1\r\nHost: www.news.example.org\r\n"
      "User-Agent: Mozilla/5.0 (Windows NT 10.0)\r\nAccept: text/html\r\n"
      "Accept-Language: en\r\nX-Pad: ";
  r.resize(kRequestBytes - 4, 'x');
  return r + "\r\n\r\n";
}

// One segment of an ordinary page, 1460 bytes.
std::string Reply() {
  std::string page;
  while (page.size() < kReplyBytes) {
    page += "<p>Local news: the bridge on the river road reopens on Monday morning.</p>\n";
  }
  page.resize(kReplyBytes);
  return page;
}

// The filter as the benchmark needs it: lists ready, white-only off, the
// smart filter on, the black list full.
bool PrepareFilter() {
  const auto add = TarvelExport<AddUrlFn>("AddBlackUrl");
  for (const std::string& entry : BlackEntries()) {
    if (add(entry.c_str()) != 1) return Fail("AddBlackUrl failed");
  }
  TarvelExport<SetFlagFn>("SetSmartFilter")(1);
  TarvelExport<SetFlagFn>("SetOnlyWhiteUrl")(0);
  const FilterState& block = TarvelBlock();
  if (block.lists_ready != 1 || block.smart_filter != 1 || block.white_only != 0 ||
      block.black_count != kListSlots) {
    return Fail("the shared block is not set up: another process holds tarvel.dll?");
  }
  return true;
}

// A category of a million domains shaped like the native benchmark's,
// written to the block's category folder (the harness's settings name it).
bool PrepareCategory() {
  std::mt19937 rng(20);
  const auto label = [&](int max) {
    std::string text;
    for (int n = 1 + static_cast<int>(rng() % max); n > 0; --n) {
      text += static_cast<char>('a' + rng() % 26);
    }
    return text;
  };
  std::vector<std::string> domains;
  domains.reserve(kCategoryDomains);
  for (int i = 0; i < kCategoryDomains; ++i) domains.push_back(label(10) + "." + label(8) + ".com");
  const std::vector<unsigned char> file =
      BuildCategoryFile(kCategory, WithoutCoveredDomains(std::move(domains)));
  WriteCategoryFile(kCategory, 1, std::string(file.begin(), file.end()));
  return true;
}

// Makes the category active or not, and has this process load the change.
bool SwitchCategory(bool on) {
  if (!on) {
    TarvelExport<AddUrlFn>("RemoveCategory")(kCategory);  // 0 when it was off already
    return true;
  }
  return TarvelExport<SetCategoryFn>("SetCategory")(kCategory, 1) == 1 ||
         Fail("the category could not be made active");
}

struct Tables {
  WSAPROTOCOL_INFOW info;
  WSPPROC_TABLE tarvel;
  WSPPROC_TABLE lower;
};

bool StartProviders(Tables& t) {
  LowerPathValue value(std::to_string(kCatalogId), BinDir() + "forwarding_lower.dll");
  t.info = ProtocolInfo(kCatalogId);
  StartupResult r = StartTarvel(t.info);
  if (r.result != 0) return Fail("tarvel's WSPStartup failed with " + std::to_string(r.result));
  t.tarvel = r.table;
  auto startup = reinterpret_cast<LPWSPSTARTUP>(
      reinterpret_cast<void*>(GetProcAddress(TestModule("forwarding_lower.dll"), "WSPStartup")));
  WSPDATA data;
  WSPUPCALLTABLE upcalls;
  std::memset(&upcalls, 0, sizeof upcalls);
  if (startup == nullptr || startup(MAKEWORD(2, 2), &data, &t.info, upcalls, &t.lower) != 0) {
    return Fail("the lower provider does not start");
  }
  return true;
}

// A connection on loopback: the client end made and connected through
// tarvel's table, as an application's would be; the server end plain.
struct Connection {
  SOCKET listener = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
  const WSPPROC_TABLE* table = nullptr;
  ~Connection() {
    INT error = 0;
    if (client != INVALID_SOCKET) table->lpWSPCloseSocket(client, &error);
    if (server != INVALID_SOCKET) closesocket(server);
    if (listener != INVALID_SOCKET) closesocket(listener);
  }
};

bool Open(const Tables& t, u_short port, Connection& c) {
  c.table = &t.tarvel;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  c.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL reuse = TRUE;
  setsockopt(c.listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
             sizeof reuse);
  auto* name = reinterpret_cast<sockaddr*>(&address);
  if (bind(c.listener, name, length) != 0 || listen(c.listener, 1) != 0 ||
      getsockname(c.listener, name, &length) != 0) {
    return Fail("cannot listen on port " + std::to_string(port));
  }
  INT error = 0;
  WSAPROTOCOL_INFOW info = t.info;
  c.client = t.tarvel.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info, 0, 0, &error);
  if (c.client == INVALID_SOCKET || t.tarvel.lpWSPConnect(c.client, name, length, nullptr, nullptr,
                                                          nullptr, nullptr, &error) != 0) {
    return Fail("cannot connect through tarvel: " + std::to_string(error));
  }
  c.server = accept(c.listener, nullptr, nullptr);
  return c.server != INVALID_SOCKET || Fail("accept failed");
}

double NowNs() {
  static const double ns_per_tick = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1e9 / static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * ns_per_tick;
}

// Reads `bytes` on a plain socket.
bool Drain(SOCKET s, std::size_t bytes) {
  std::vector<char> sink(65536);
  while (bytes > 0) {
    const int n = recv(s, sink.data(), static_cast<int>(sink.size()), 0);
    if (n <= 0) return Fail("the server end stopped receiving");
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

// Per-call time of `calls` sends of the request through `table`; the
// server end then takes them off the line, untimed.
bool TimeSends(const WSPPROC_TABLE& table, const Connection& c, int calls, double& ns) {
  static std::string request = Request();
  WSABUF buffer{static_cast<ULONG>(request.size()), request.data()};
  const double start = NowNs();
  for (int i = 0; i < calls; ++i) {
    DWORD sent = 0;
    INT error = 0;
    if (table.lpWSPSend(c.client, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error) != 0 ||
        sent != request.size()) {
      return Fail("a send failed: " + std::to_string(error));
    }
  }
  ns = (NowNs() - start) / calls;
  return Drain(c.server, request.size() * static_cast<std::size_t>(calls));
}

// Per-call time of `calls` receives of one reply each through `table`; the
// server end sends them first, untimed, and they are all waiting.
bool TimeReceives(const WSPPROC_TABLE& table, const Connection& c, int calls, double& ns) {
  static const std::string reply = Reply();
  std::string all;
  for (int i = 0; i < calls; ++i) all += reply;
  if (send(c.server, all.data(), static_cast<int>(all.size()), 0) != static_cast<int>(all.size())) {
    return Fail("the server end cannot send");
  }
  for (u_long waiting = 0; waiting < all.size(); Sleep(0)) {
    if (ioctlsocket(c.client, FIONREAD, &waiting) != 0) return Fail("FIONREAD failed");
  }
  char data[kReplyBytes];
  WSABUF buffer{sizeof data, data};
  const double start = NowNs();
  for (int i = 0; i < calls; ++i) {
    DWORD received = 0, flags = 0;
    INT error = 0;
    if (table.lpWSPRecv(c.client, &buffer, 1, &received, &flags, nullptr, nullptr, nullptr,
                        &error) != 0 ||
        received != sizeof data) {
      return Fail("a receive failed: " + std::to_string(error));
    }
  }
  ns = (NowNs() - start) / calls;
  return true;
}

struct Row {
  const char* name;
  bool send;
  const Connection* connection;
  std::vector<double> tarvel_ns;
  std::vector<double> lower_ns;
  // Both sides through tarvel: "tarvel" with the category active, "lower"
  // without.
  bool categories = false;
};

// The categories row: each side's switch, one untimed send that loads it,
// then the timed sends.
bool RunCategoryRound(const Tables& t, Row& row, int calls, bool active_first, bool keep) {
  double ns[2] = {};
  for (int k = 0; k < 2; ++k) {
    const bool active = (k == 0) == active_first;
    double untimed = 0;
    if (!SwitchCategory(active) || !TimeSends(t.tarvel, *row.connection, 1, untimed) ||
        !TimeSends(t.tarvel, *row.connection, calls, ns[active])) {
      return false;
    }
  }
  if (keep) {
    row.tarvel_ns.push_back(ns[1]);
    row.lower_ns.push_back(ns[0]);
  }
  return true;
}

bool RunRound(const Tables& t, Row& row, int calls, bool tarvel_first, bool keep) {
  if (row.categories) return RunCategoryRound(t, row, calls, tarvel_first, keep);
  double ns[2] = {};
  for (int k = 0; k < 2; ++k) {
    const bool through_tarvel = (k == 0) == tarvel_first;
    const WSPPROC_TABLE& table = through_tarvel ? t.tarvel : t.lower;
    const bool ok = row.send ? TimeSends(table, *row.connection, calls, ns[through_tarvel])
                             : TimeReceives(table, *row.connection, calls, ns[through_tarvel]);
    if (!ok) return false;
  }
  if (keep) {
    row.tarvel_ns.push_back(ns[1]);
    row.lower_ns.push_back(ns[0]);
  }
  return true;
}

// A part of a verdict timed on its own, a batch of calls in every round.
struct Part {
  const char* name;
  int (*call)(const FilterState& block);
  std::vector<double> ns;
};

int ListMatch(const FilterState& block) {
  static const std::string request = Request();
  const Host host = ExtractHost(request.data(), request.size());
  return MatchUrlList(ListOf(block, ListKind::kBlack), host);
}

int RequestScan(const FilterState& block) {
  static const std::string request = Request();
  return MatchPhrases(block, request.data(), kRequestBytes);
}

int ReplyScan(const FilterState& block) {
  static const std::string reply = Reply();
  return MatchPhrases(block, reply.data(), kReplyBytes);
}

void TimePart(Part& part, int calls) {
  const FilterState& block = TarvelBlock();
  volatile int sink = 0;
  const double start = NowNs();
  for (int i = 0; i < calls; ++i) sink = sink + part.call(block);
  part.ns.push_back((NowNs() - start) / calls);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void PrintTimes(const std::vector<double>& times) {
  for (std::size_t i = 0; i < times.size(); ++i) std::printf("%s%.1f", i ? ", " : "", times[i]);
}

void PrintJson(const std::vector<Row>& rows, const std::vector<Part>& parts, int rounds,
               int calls) {
  std::printf("{\"rounds\": %d, \"calls_per_round\": %d, \"request_bytes\": %u, ", rounds, calls,
              static_cast<unsigned>(kRequestBytes));
  std::printf("\"reply_bytes\": %u, \"black_list_entries\": %d, \"smart_filter\": 1,\n",
              static_cast<unsigned>(kReplyBytes), kListSlots);
  std::printf(" \"rows\": [\n");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::printf("  {\"name\": \"%s\",\n   \"tarvel_ns\": [", rows[i].name);
    PrintTimes(rows[i].tarvel_ns);
    std::printf("],\n   \"lower_ns\": [");
    PrintTimes(rows[i].lower_ns);
    std::printf("]}%s\n", i + 1 < rows.size() ? "," : "");
  }
  std::printf(" ],\n \"parts_ns\": {");
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::printf("%s\"%s\": %.1f", i ? ", " : "", parts[i].name, Median(parts[i].ns));
  }
  std::printf("}}\n");
}

int Run(int rounds, int calls) {
  EnsureWinsock();
  Tarvel();
  Tables t;
  if (!StartProviders(t) || !PrepareFilter() || !PrepareCategory()) return 1;
  Connection http, other;
  if (!Open(t, kHttpPort, http) || !Open(t, 0, other)) return 1;
  std::vector<Row> rows = {{"send/http_port", true, &http, {}, {}},
                           {"recv/http_port", false, &http, {}, {}},
                           {"send/other_port", true, &other, {}, {}},
                           {"recv/other_port", false, &other, {}, {}},
                           {"send/http_port_categories", true, &http, {}, {}, true}};
  std::vector<Part> parts = {{"host_and_list_match_2000", ListMatch, {}},
                             {"phrase_scan_190B", RequestScan, {}},
                             {"phrase_scan_1460B", ReplyScan, {}}};
  // Round 0 warms up (the phrase tables are built on the first scan).
  for (int round = 0; round <= rounds; ++round) {
    for (Row& row : rows) {
      if (!RunRound(t, row, calls, round % 2 == 0, round > 0)) return 1;
    }
    for (Part& part : parts) {
      if (round > 0) TimePart(part, calls);
    }
  }
  PrintJson(rows, parts, rounds, calls);
  return 0;
}

}  // namespace
}  // namespace tarvel::wine

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 101;
  const int calls = argc > 2 ? std::atoi(argv[2]) : 32;
  if (rounds < 1 || calls < 1) {
    std::fprintf(stderr, "usage: tarvel_wine_bench.exe [ROUNDS [CALLS]]\n");
    return 2;
  }
  return tarvel::wine::Run(rounds, calls);
}
