// tarvelctl browsers: the machine policies of Chrome, Edge and Firefox that
// keep their traffic where tarvel can judge it. Chrome and Edge open their
// connections in a network-service process that, sandboxed, loads no
// layered provider; HTTP/3, Encrypted Client Hello and the browsers' own
// DNS over HTTPS send what tarvel cannot judge; SafeSearch is asked of the
// search engines by policy.
//
// tarvelctl records the values it wrote (the value "browsers" under
// HKLM\Software\Tarvel, one "KEY|NAME" a line) and removes only those;
// a policy the administrator set by other means is left as it is.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

enum class SafeLevel { kOff, kModerate, kStrict };

// One policy value of one browser.
struct BrowserPolicy {
  std::string browser;  // "Chrome", "Edge", "Firefox"
  std::string key;      // under HKEY_LOCAL_MACHINE
  std::string name;
  RegValue value;
};

// The values `browsers apply` sets for these SafeSearch levels.
std::vector<BrowserPolicy> PlannedPolicies(SafeLevel search, SafeLevel youtube);

// The hosts file's SafeSearch lines for every other program (and Firefox):
// each host and the SafeSearch host its vendor answers it with.
std::vector<std::pair<std::string, std::string>> SafeSearchHosts(SafeLevel search,
                                                                 SafeLevel youtube);

// `hosts` with tarvelctl's block (between its marker lines) replaced by one
// holding `lines`, or taken out when `lines` is empty; every other byte is
// kept, and taking the block out gives back the bytes it was added to. The
// block's lines end as the file's do (CR LF in a file that has none).
std::string HostsWithBlock(const std::string& hosts, const std::vector<std::string>& lines);

// One line for status: whether the policies are applied, and a warning for
// each installed browser (its App Paths entry) whose network service stays
// sandboxed.
std::vector<std::string> BrowserStatusLines(Machine& machine);

std::vector<CommandSpec> BrowserCommands(Machine& machine);

// "browsers apply" (its options in `in`) and "browsers remove", for install
// and uninstall.
int ApplyBrowserPolicies(Machine& machine, const Invocation& in, Console& console);
int RemoveBrowserPolicies(Machine& machine, const Invocation& in, Console& console);
// Whether policies that tarvelctl set are in place (its record names any).
bool BrowserPoliciesApplied(Machine& machine);

}  // namespace tarvel::ctl
