#include "tools/tarvelctl/selftest_command.h"

#include <algorithm>
#include <sstream>

#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/live_change.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

// The filter judges HTTP only on a connection with one of these ports at
// one end, so the listener takes the first that is free.
constexpr int kHttpPorts[] = {8080, 80};

// tarvel's entries in one catalog: its layered entries (by provider id) and
// the chains over them.
TarvelEntries FindEntries(const std::vector<ProtocolRecord>& records) {
  return FindTarvel(records,
                    [](const ProtocolRecord& r) { return r.provider_id == kTarvelLayeredGuid; });
}

// Whether a socket of `entry` goes through tarvel: one of its chains, or any
// chain whose first layer is its layered entry.
bool Serves(const TarvelEntries& entries, const ProtocolRecord& entry) {
  const auto has = [](const std::vector<ProtocolRecord>& records, std::uint32_t id) {
    return std::any_of(records.begin(), records.end(),
                       [id](const ProtocolRecord& r) { return r.catalog_id == id; });
  };
  return has(entries.chains, entry.catalog_id) ||
         (entry.IsChain() && has(entries.layered, entry.chain[0]));
}

std::string Describe(const TarvelEntries& entries) {
  if (!entries.Installed()) return "none";
  std::ostringstream text;
  for (const ProtocolRecord& r : entries.layered) text << "layered " << r.catalog_id << ", ";
  text << "chains";
  for (const ProtocolRecord& r : entries.chains) text << ' ' << r.catalog_id;
  return text.str();
}

std::string DescribeEntry(const ProtocolRecord& entry) {
  std::ostringstream text;
  text << "catalog entry " << entry.catalog_id << " \"" << AsciiName(entry.name) << "\"";
  if (entry.IsChain()) {
    text << " (chain";
    for (int i = 0; i < std::min(entry.chain_length, kMaxChainLength); ++i) {
      text << ' ' << entry.chain[i];
    }
    text << ")";
  }
  return text.str();
}

// The test host on the blacklist of the running filter for as long as this
// holds it: removed again on every way out of the test, early returns and
// exceptions included.
class TestHost {
 public:
  TestHost(LiveFilter& live, std::string host)
      : live_(live), host_(std::move(host)), added_(live_.AddBlackUrl(host_.c_str()) == 1) {}
  ~TestHost() {
    if (added_) live_.DelBlackUrl(host_.c_str());
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;
  bool added() const { return added_; }

 private:
  LiveFilter& live_;
  std::string host_;
  bool added_;
};

// The test of this program's own kind of programs: "" when the filter is in
// the path and cut the request, else the reason.
std::string TestOwnFilter(Machine& machine, const Invocation& in, std::ostream& out) {
  const CatalogKind kind = machine.OwnKind();
  std::vector<ProtocolRecord> records;
  const std::string read_error = machine.catalog().Enumerate(kind, &records);
  const TarvelEntries entries = FindEntries(records);
  out << "  tarvel in the " << KindName(kind)
      << " catalog: " << (read_error.empty() ? Describe(entries) : "cannot read it: " + read_error)
      << "\n";
  if (!entries.Installed() && !in.Has("--dll")) {
    return "not installed: tarvel has no entry in the " + KindName(kind) + " catalog";
  }
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) return "not installed: " + error;
  out << "  module: " << module << "\n";
  std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) return error;
  const FilterState* state = live->State();
  if (state == nullptr) return module + " holds no block this tarvelctl knows";
  if (!IsOn(state->lists_ready)) {
    return "lists not ready: the filter has not loaded its list files, so it judges no host "
           "(see tarvelctl status)";
  }
  const SharedExtensions* extensions = live->Extensions();
  const bool locked = extensions != nullptr && IsOn(extensions->locked);
  if (!machine.IsAdministrator()) {
    return locked ? "the filter is locked and this is not an administrator, so the self-test "
                    "cannot add its test host (run it from an elevated prompt)"
                  : "not an administrator: the self-test adds its test host to the running "
                    "filter only from an elevated prompt";
  }

  std::unique_ptr<LoopbackProbe> probe;
  bool busy = false;
  for (int port : kHttpPorts) {
    busy = false;
    probe = machine.ListenOnLoopback(port, &busy, &error);
    if (probe || !busy) break;
  }
  if (!probe && busy) {
    return "listener port busy: 127.0.0.1:8080 and 127.0.0.1:80 are both taken, and the filter "
           "judges HTTP only on those ports; free one and run it again";
  }
  if (!probe) return "cannot start the loopback listener: " + error;
  out << "  listener: 127.0.0.1:" << probe->Port() << "\n";

  const std::string host =
      "selftest-" + std::to_string(machine.file_steps().ProcessId()) + ".tarvel.invalid";
  ProbeResult result;
  {
    TestHost test_host(*live, host);
    if (!test_host.added()) {
      return RefusedByLock(*live, 0)
                 ? std::string(kNeedsRights)
                 : "the running filter refused the test host " + host + " (is its blacklist full?)";
    }
    out << "  test host: " << host << " (on the blacklist for the test only)\n";
    result = probe->Exchange("GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  }
  if (!result.error.empty()) return "the test connection failed: " + result.error;

  bool in_path = false;
  if (result.have_entry) {
    in_path = Serves(entries, result.entry);
    std::string dll;
    if (!machine.catalog().ProviderPath(kind, result.entry.provider_id, &dll).empty()) dll = "";
    dll = dll.empty() ? (in_path ? module : "") : machine.Expand(dll);
    out << "  socket served by: " << DescribeEntry(result.entry)
        << (dll.empty() ? std::string() : ", " + dll) << "\n";
  } else {
    out << "  socket served by: unknown (the socket did not tell its catalog entry)\n";
  }
  const bool cut = !result.listener_got_request;
  std::string how;
  if (!result.send_error.empty()) how = "send failed: " + result.send_error;
  if (how.empty() && !result.recv_error.empty()) how = "receive failed: " + result.recv_error;
  out << "  request: "
      << (cut ? "cut" + (how.empty() ? std::string() : " (" + how + ")") +
                    ", the listener never received it"
              : "reached the listener")
      << "\n";
  if (!in_path) {
    return "not in the path: this process's sockets are not in a tarvel chain (" +
           (result.have_entry ? DescribeEntry(result.entry) : std::string("entry unknown")) +
           " served the test socket)";
  }
  if (!cut) {
    return "the filter is in the path but let through a request naming its blacklisted test host";
  }
  out << "  result: in the path, and the request was cut\n";
  return "";
}

int SelfTest(Machine& machine, const Invocation& in, Console& console) {
  const std::string own_name = KindName(machine.OwnKind()) + " programs";
  console.out << "Self-test of the filter of " << own_name << ":\n";
  const std::string own = TestOwnFilter(machine, in, console.out);
  if (!own.empty()) console.out << "  result: " << own << "\n";
  std::string other;
  std::string other_name;
  if (ReachesOtherFilter(machine, in)) {
    other_name = KindName(OtherKind(machine)) + " programs";
    const ProgramRun run = RunOtherTool(machine, in, {"selftest"});
    if (run.started) console.out << WithoutCarriageReturns(run.out);
    if (!run.started || run.code != kExitOk) {
      other = FailureOf(run);
      if (!run.started)
        console.out << "Self-test of the filter of " << other_name << ": " << other << "\n";
    }
  }
  if (own.empty() && other.empty()) {
    console.out << "tarvel is in the path of " << own_name
                << (other_name.empty() ? "" : " and " + other_name)
                << " and cut the request naming its test host.\n";
    return kExitOk;
  }
  std::string reason;
  if (!own.empty()) reason = own_name + ": " + own;
  // The other tarvelctl names its kind in its reason already.
  if (!other.empty() && other.compare(0, other_name.size() + 1, other_name + ":") != 0) {
    other = other_name + ": " + other;
  }
  if (!other.empty()) reason += (reason.empty() ? "" : "; ") + other;
  return Fail(console, reason);
}

}  // namespace

CommandSpec SelfTestCommand(Machine& m) {
  const std::string other = OtherModuleOption(m);
  return {"selftest",
          "",
          0,
          0,
          {kOwnOnly},
          {{"--dll", "PATH"}, {other, "PATH"}},
          "prove that the running filter is in the path of this machine's programs",
          "Starts a listener on 127.0.0.1:8080 (or :80, the ports on which the filter\n"
          "judges HTTP), puts a test host (selftest-PID.tarvel.invalid) on the blacklist\n"
          "of the running filter for the test only, then sends an HTTP request naming it\n"
          "from an ordinary socket, made through the normal Winsock calls as any program\n"
          "makes it. Prints tarvel's entries in the catalog, the catalog entry and module\n"
          "that served the socket, and whether the request was cut. The test host is\n"
          "removed again however the test ends. Needs administrator rights.\n"
          "On 64-bit Windows it then runs the same test in the other kind's tarvelctl.exe\n"
          "of the package (its module: the installed one, or " +
              other +
              " PATH); --own-only\n"
              "tests only this tarvelctl's kind.\n"
              "Exits 0 when the filter is in the path and cut the request; 1 with the\n"
              "reason otherwise: not installed, not in the path, lists not ready, locked\n"
              "and not an administrator, listener port busy.\n",
          [&m](const Invocation& in, Console& c) { return SelfTest(m, in, c); }};
}

}  // namespace tarvel::ctl
