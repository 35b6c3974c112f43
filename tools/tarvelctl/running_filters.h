// How a command finds the running filters it acts on: this program's own
// kind through the tarvel.dll it loads, and on 64-bit Windows the other
// kind's through the other tarvelctl of the package.
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// The tarvel.dll to load: the --dll option made absolute, else the module
// the catalog names for this program's kind, expanded. "" and `error` set
// when neither is there.
std::string FilterModule(Machine& machine, const Invocation& in, std::string* error);

// Active entries of a list in a block.
int ActiveEntries(const FilterState& state, ListKind kind);

// On 64-bit Windows each kind of programs has a running filter of its own,
// reached through the tarvel.dll of that kind, which only a program of the
// same kind can load. So a live command or status of one tarvelctl runs the
// tarvelctl of the other kind, which the package keeps beside it (x64\ and
// x86\), with --own-only: that one then acts on its own filter alone and
// exits 0 (changed), 1 (failed), 2 (usage), kExitNotRunning or kExitNotInList.

inline constexpr char kOwnOnly[] = "--own-only";

// Whether a command reaches the other kind's filter too: on 64-bit Windows,
// unless it was given --own-only.
bool ReachesOtherFilter(Machine& machine, const Invocation& in);
CatalogKind OtherKind(Machine& machine);
// The option naming the other kind's module: "--dll32" or "--dll64".
std::string OtherModuleOption(Machine& machine);
// The other kind's tarvelctl.exe in the package.
std::string OtherTool(Machine& machine);
// Runs OtherTool with `args`, --own-only and, when given, the module of
// OtherModuleOption as its --dll.
ProgramRun RunOtherTool(Machine& machine, const Invocation& in, std::vector<std::string> args);
// A program's output as this program writes it: without carriage returns.
std::string WithoutCarriageReturns(const std::string& text);
// Why a run of the other tarvelctl failed, as one phrase: why it did not
// start, or the first line of its error stream without "tarvelctl: ".
std::string FailureOf(const ProgramRun& run);

}  // namespace tarvel::ctl
