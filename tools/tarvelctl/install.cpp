#include "tools/tarvelctl/install.h"

#include <algorithm>
#include <set>

#include "filter/ascii.h"

namespace tarvel::ctl {
namespace {

constexpr std::size_t kMaxProtocolName = 255;

bool IsTarget(const ProtocolRecord& r) {
  return r.IsBase() && (r.address_family == kAfInet || r.address_family == kAfInet6);
}

std::string Describe(const ProtocolRecord& r) {
  return std::to_string(r.catalog_id) + " " + AsciiName(r.name);
}

// One catalog as read, with tarvel's part sorted out.
struct View {
  CatalogKind kind = CatalogKind::k64;
  std::vector<ProtocolRecord> records;
  TarvelEntries tarvel;
};

std::string ReadView(Catalog& catalog, CatalogKind kind, View* view) {
  view->kind = kind;
  const std::string error = catalog.Enumerate(kind, &view->records);
  if (!error.empty()) return error;
  view->tarvel = FindTarvel(view->records, [&](const ProtocolRecord& r) {
    if (r.provider_id == kTarvelLayeredGuid) return true;
    std::string path;
    return catalog.ProviderPath(kind, r.provider_id, &path).empty() && IsTarvelModulePath(path);
  });
  return "";
}

std::string ReadViews(Catalog& catalog, std::vector<View>* views) {
  views->clear();
  for (CatalogKind kind : catalog.Kinds()) {
    View view;
    const std::string error = ReadView(catalog, kind, &view);
    if (!error.empty()) return error;
    views->push_back(std::move(view));
  }
  return "";
}

// Whether the catalog still holds an entry of `provider` (or cannot say).
// The system may take entries away along with others.
bool StillThere(Catalog& catalog, CatalogKind kind, const Guid& provider) {
  std::vector<ProtocolRecord> records;
  if (!catalog.Enumerate(kind, &records).empty()) return true;
  return std::any_of(records.begin(), records.end(),
                     [&](const ProtocolRecord& r) { return r.provider_id == provider; });
}

// Deinstalls tarvel's providers from one catalog: the chains' first, so no
// chain ever names a layered entry that is gone.
std::string RemoveEntries(Catalog& catalog, const View& view, int* removed) {
  std::vector<Guid> layered;
  for (const ProtocolRecord& r : view.tarvel.layered) {
    if (std::find(layered.begin(), layered.end(), r.provider_id) == layered.end()) {
      layered.push_back(r.provider_id);
    }
  }
  std::vector<Guid> order;
  for (const ProtocolRecord& r : view.tarvel.chains) {
    const bool known = std::find(order.begin(), order.end(), r.provider_id) != order.end() ||
                       std::find(layered.begin(), layered.end(), r.provider_id) != layered.end();
    if (!known) order.push_back(r.provider_id);
  }
  order.insert(order.end(), layered.begin(), layered.end());
  for (const Guid& provider : order) {
    const std::string error = catalog.Deinstall(view.kind, provider);
    if (!error.empty() && StillThere(catalog, view.kind, provider)) {
      return KindName(view.kind) + " catalog: " + error;
    }
    const auto of_provider = [&](const ProtocolRecord& r) { return r.provider_id == provider; };
    *removed += static_cast<int>(
        std::count_if(view.tarvel.layered.begin(), view.tarvel.layered.end(), of_provider) +
        std::count_if(view.tarvel.chains.begin(), view.tarvel.chains.end(), of_provider));
  }
  return "";
}

// Reads the catalog again and removes whatever tarvel has in it.
std::string RemoveAll(Catalog& catalog, CatalogKind kind) {
  View view;
  std::string error = ReadView(catalog, kind, &view);
  if (!error.empty()) return error;
  int removed = 0;
  return RemoveEntries(catalog, view, &removed);
}

// The lookup values install writes: for every target, its module path.
std::string PlanLookups(Catalog& catalog, const std::vector<View>& views, const ExpandPath& expand,
                        std::map<std::string, std::string>* values) {
  for (const View& view : views) {
    for (const ProtocolRecord& target : view.tarvel.targets) {
      std::string path;
      const std::string error = catalog.ProviderPath(view.kind, target.provider_id, &path);
      const std::string which =
          "base provider " + Describe(target) + " of the " + KindName(view.kind) + " catalog";
      if (!error.empty()) return "cannot read the module of " + which + ": " + error;
      if (path.empty()) return which + " names no module";
      if (path.size() > kMaxLowerPath) {
        return "the module path of " + which + " is longer than " + std::to_string(kMaxLowerPath) +
               " characters: " + path;
      }
      // The module expands the value in every program; this program's
      // environment is the best guess of theirs.
      const std::string expanded = expand(path);
      if (expanded.size() > kMaxExpandedLowerPath) {
        return "the module path of " + which + " is " + std::to_string(expanded.size()) +
               " characters long once expanded, more than the " +
               std::to_string(kMaxExpandedLowerPath) + " tarvel.dll loads: " + expanded;
      }
      const std::string name = std::to_string(target.catalog_id);
      const auto [it, inserted] = values->emplace(name, path);
      if (!inserted && it->second != path) {
        return "catalog entry " + name + " names two different modules in the two catalogs (" +
               it->second + ", " + path + "); one lookup value cannot serve both";
      }
    }
  }
  return "";
}

// Steps to take back, newest last. Lookup values are the oldest steps; when
// a catalog step fails, chains may remain, so their values stay as well.
class UndoLog {
 public:
  void Add(std::function<std::string()> step) { steps_.push_back({std::move(step), false}); }
  void AddValueStep(std::function<std::string()> step) {
    steps_.push_back({std::move(step), true});
  }

  // Runs the steps newest first; returns the failures.
  std::string Run() {
    std::string failures;
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      if (it->value_step && !failures.empty()) continue;
      const std::string error = it->run();
      if (!error.empty()) failures += (failures.empty() ? "" : "; ") + error;
    }
    steps_.clear();
    return failures;
  }

 private:
  struct Step {
    std::function<std::string()> run;
    bool value_step;
  };
  std::vector<Step> steps_;
};

std::string WriteLookups(LowerPaths& lower, const std::vector<CatalogKind>& kinds,
                         const std::map<std::string, std::string>& values, UndoLog* undo) {
  for (CatalogKind view : kinds) {
    std::map<std::string, std::string> before;
    std::string error = lower.Read(view, &before);
    if (!error.empty()) return error;
    if (before.empty()) undo->AddValueStep([&lower, view] { return lower.DeleteKeyIfEmpty(view); });
    for (const auto& [name, data] : values) {
      const auto old = before.find(name);
      if (old != before.end() && old->second == data) continue;
      error = lower.Write(view, name, data);
      if (!error.empty()) return error;
      if (old == before.end()) {
        undo->AddValueStep([&lower, view, name = name] { return lower.Delete(view, name); });
      } else {
        undo->AddValueStep([&lower, view, name = name, data = old->second] {
          return lower.Write(view, name, data);
        });
      }
    }
  }
  return "";
}

std::string FindLayeredId(Catalog& catalog, CatalogKind kind, std::uint32_t* id) {
  View view;
  const std::string error = ReadView(catalog, kind, &view);
  if (!error.empty()) return error;
  for (const ProtocolRecord& r : view.tarvel.layered) {
    if (r.provider_id == kTarvelLayeredGuid) {
      *id = r.catalog_id;
      return "";
    }
  }
  return "the " + KindName(kind) + " catalog did not take tarvel's layered entry";
}

// The separate installation into one catalog: layered entry, chains, order.
std::string InstallSeparately(Catalog& catalog, const View& before, const std::string& path,
                              UndoLog* undo) {
  const CatalogKind kind = before.kind;
  undo->Add([&catalog, kind] { return RemoveAll(catalog, kind); });
  const std::vector<ProtocolRecord>& targets = before.tarvel.targets;
  std::string error = catalog.Install(kind, kTarvelLayeredGuid, path, {LayeredRecord(targets[0])});
  if (!error.empty()) return KindName(kind) + " catalog: " + error;
  std::uint32_t layered_id = 0;
  error = FindLayeredId(catalog, kind, &layered_id);
  if (!error.empty()) return error;

  std::vector<ProtocolRecord> chains;
  for (const ProtocolRecord& target : targets) chains.push_back(ChainRecord(target, layered_id));
  error = catalog.Install(kind, kTarvelChainGuid, path, chains);
  if (!error.empty()) return KindName(kind) + " catalog: " + error;

  View after;
  error = ReadView(catalog, kind, &after);
  if (!error.empty()) return error;
  std::vector<std::uint32_t> chain_ids;
  for (const ProtocolRecord& target : targets) {
    const auto chain = std::find_if(
        after.tarvel.chains.begin(), after.tarvel.chains.end(), [&](const ProtocolRecord& r) {
          return r.provider_id == kTarvelChainGuid && r.chain[0] == layered_id &&
                 r.LowerId() == target.catalog_id;
        });
    if (chain == after.tarvel.chains.end()) {
      return "the " + KindName(kind) + " catalog did not take the chain over " + Describe(target);
    }
    chain_ids.push_back(chain->catalog_id);
  }
  error = catalog.WriteOrder(kind, OrderWithChainsFirst(after.records, chain_ids));
  if (!error.empty()) return KindName(kind) + " catalog: " + error;
  return "";
}

std::string SetCategories(Catalog& catalog, const std::vector<CatalogKind>& kinds) {
  for (CatalogKind kind : kinds) {
    View view;
    std::string error = ReadView(catalog, kind, &view);
    if (!error.empty()) return error;
    std::vector<Guid> done;
    std::vector<ProtocolRecord> entries = view.tarvel.layered;
    entries.insert(entries.end(), view.tarvel.chains.begin(), view.tarvel.chains.end());
    for (const ProtocolRecord& r : entries) {
      if (std::find(done.begin(), done.end(), r.provider_id) != done.end()) continue;
      done.push_back(r.provider_id);
      error = catalog.SetCategories(kind, r.provider_id, kTarvelCategories);
      if (!error.empty()) return KindName(kind) + " catalog: " + error;
    }
  }
  return "";
}

// Every target has a tarvel chain ahead of it, and every tarvel chain a value.
std::string Verify(const View& view, const std::map<std::string, std::string>& values) {
  const std::string where = "the " + KindName(view.kind) + " catalog";
  if (view.tarvel.layered.empty()) return where + " holds no tarvel layered entry";
  if (!view.tarvel.uncovered.empty()) {
    return where + " holds no tarvel chain over " + Describe(view.tarvel.uncovered.front());
  }
  const auto position = [&](std::uint32_t id) {
    return std::find_if(view.records.begin(), view.records.end(),
                        [&](const ProtocolRecord& r) { return r.catalog_id == id; }) -
           view.records.begin();
  };
  for (const ProtocolRecord& chain : view.tarvel.chains) {
    if (values.count(std::to_string(chain.LowerId())) == 0) {
      return where + " holds chain " + Describe(chain) + ", but entry " +
             std::to_string(chain.LowerId()) + " has no lookup value";
    }
    if (position(chain.catalog_id) > position(chain.LowerId())) {
      return where + " orders chain " + Describe(chain) + " behind its base provider";
    }
  }
  return "";
}

void ReportInstalled(const View& view, std::vector<std::string>* report) {
  std::string line = KindName(view.kind) + " catalog: tarvel layered entry";
  for (const ProtocolRecord& r : view.tarvel.layered) line += " " + std::to_string(r.catalog_id);
  report->push_back(line + ", and chains ahead of the base providers:");
  for (const ProtocolRecord& chain : view.tarvel.chains) {
    report->push_back("  " + std::to_string(chain.catalog_id) + " over " +
                      std::to_string(chain.LowerId()) + " " + AsciiName(chain.name));
  }
}

// Other providers' chains over the same bases: ordered behind tarvel's now.
void ReportShadowed(const View& before, std::vector<std::string>* report) {
  std::set<std::uint32_t> targets;
  for (const ProtocolRecord& t : before.tarvel.targets) targets.insert(t.catalog_id);
  for (const ProtocolRecord& r : before.records) {
    if (r.IsChain() && targets.count(r.LowerId()) != 0) {
      report->push_back("note: chain " + Describe(r) +
                        " of another layered provider now stands "
                        "behind tarvel's chain, so new sockets of its protocol pass tarvel only");
    }
  }
}

}  // namespace

TarvelEntries FindTarvel(const std::vector<ProtocolRecord>& records,
                         const std::function<bool(const ProtocolRecord&)>& is_tarvel) {
  TarvelEntries t;
  std::set<std::uint32_t> layered_ids;
  for (const ProtocolRecord& r : records) {
    if (r.IsLayered() && is_tarvel(r)) {
      t.layered.push_back(r);
      layered_ids.insert(r.catalog_id);
    }
  }
  std::set<std::uint32_t> covered;
  for (const ProtocolRecord& r : records) {
    if (IsTarget(r)) t.targets.push_back(r);
    if (!r.IsChain()) continue;
    const int length = std::min(r.chain_length, kMaxChainLength);
    const bool ours = layered_ids.count(r.chain[0]) != 0 || r.provider_id == kTarvelChainGuid;
    const bool inside = std::any_of(r.chain.begin() + 1, r.chain.begin() + length - 1,
                                    [&](std::uint32_t id) { return layered_ids.count(id) != 0; });
    if (ours) {
      t.chains.push_back(r);
      covered.insert(r.LowerId());
    } else if (inside) {
      t.foreign_over.push_back(r);
    }
  }
  for (const ProtocolRecord& r : t.targets) {
    if (covered.count(r.catalog_id) == 0) t.uncovered.push_back(r);
  }
  return t;
}

bool IsTarvelModulePath(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::string file = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::string_view name = "tarvel.dll";
  if (file.size() != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (ToLowerAscii(file[i]) != name[i]) return false;
  }
  return true;
}

ProtocolRecord LayeredRecord(const ProtocolRecord& first_target) {
  ProtocolRecord r = first_target;
  r.provider_id = kTarvelLayeredGuid;
  r.catalog_id = 0;
  r.chain_length = 0;
  r.chain = {};
  r.provider_flags = kPflHidden;
  r.name = kTarvelLayeredName;
  return r;
}

ProtocolRecord ChainRecord(const ProtocolRecord& base, std::uint32_t layered_id) {
  // Everything else stays the base's: a chain answers for the same protocol
  // with the same properties, and tarvel hands the base's socket handles on
  // unchanged.
  ProtocolRecord r = base;
  r.provider_id = kTarvelChainGuid;
  r.catalog_id = 0;
  r.chain_length = 2;
  r.chain = {};
  r.chain[0] = layered_id;
  r.chain[1] = base.catalog_id;
  r.name = (u"Tarvel over " + base.name).substr(0, kMaxProtocolName);
  return r;
}

std::vector<std::uint32_t> OrderWithChainsFirst(const std::vector<ProtocolRecord>& records,
                                                const std::vector<std::uint32_t>& chains) {
  std::vector<std::uint32_t> order = chains;
  for (const ProtocolRecord& r : records) {
    if (std::find(chains.begin(), chains.end(), r.catalog_id) == chains.end()) {
      order.push_back(r.catalog_id);
    }
  }
  return order;
}

namespace {

// What an install is about to do, worked out before anything changes.
struct InstallPlan {
  std::vector<CatalogKind> kinds;
  std::vector<View> views;                    // the catalogs as they stand
  bool together = false;                      // one call installs every catalog
  std::map<std::string, std::string> values;  // lookup values to write
};

// Reads the catalogs and refuses what cannot be installed: tarvel already
// there, no base provider, no module for a catalog, no way to install, a
// base module path that would not load once expanded.
std::string PrepareInstall(Catalog& catalog, const ProviderPaths& paths, const ExpandPath& expand,
                           InstallPlan* plan) {
  plan->kinds = catalog.Kinds();
  std::string error = ReadViews(catalog, &plan->views);
  if (!error.empty()) return error;
  for (const View& view : plan->views) {
    if (view.tarvel.Installed()) {
      return "tarvel is already in the " + KindName(view.kind) +
             " catalog; run \"tarvelctl uninstall\" first";
    }
    if (view.tarvel.targets.empty()) {
      return "the " + KindName(view.kind) + " catalog holds no IPv4 or IPv6 base provider";
    }
    if (paths.For(view.kind).empty()) {
      return "no tarvel.dll for the " + KindName(view.kind) + " catalog";
    }
  }
  plan->together = catalog.HasInstallWithChains();
  for (CatalogKind kind : plan->kinds) {
    if (!plan->together && !catalog.CanInstallInto(kind)) {
      return "this Windows has neither WSCInstallProviderAndChains nor a way to install into the " +
             KindName(kind) + " catalog alone";
    }
  }
  return PlanLookups(catalog, plan->views, expand, &plan->values);
}

// Writes the lookup values, then the catalog entries and categories, and
// reads the catalogs back into `after` to check them. Every step done is
// in `undo`; the caller runs it on failure.
std::string ApplyInstall(Catalog& catalog, LowerPaths& lower, const ProviderPaths& paths,
                         const InstallPlan& plan, UndoLog* undo, std::vector<View>* after) {
  std::string error = WriteLookups(lower, plan.kinds, plan.values, undo);
  if (error.empty() && plan.together) {
    const std::vector<CatalogKind> kinds = plan.kinds;
    undo->Add([&catalog, kinds] {
      std::string failures;
      for (CatalogKind kind : kinds) {
        const std::string e = RemoveAll(catalog, kind);
        if (!e.empty()) failures += (failures.empty() ? "" : "; ") + e;
      }
      return failures;
    });
    error = catalog.InstallWithChains(kTarvelLayeredGuid, paths, kTarvelLayeredName, kXp1IfsHandles,
                                      plan.views[0].tarvel.targets);
  }
  for (std::size_t i = 0; error.empty() && !plan.together && i < plan.views.size(); ++i) {
    error = InstallSeparately(catalog, plan.views[i], paths.For(plan.views[i].kind), undo);
  }
  if (error.empty() && catalog.HasCategories()) error = SetCategories(catalog, plan.kinds);
  if (error.empty()) error = ReadViews(catalog, after);
  for (std::size_t i = 0; error.empty() && i < after->size(); ++i) {
    error = Verify((*after)[i], plan.values);
  }
  return error;
}

void ReportInstall(const InstallPlan& plan, const std::vector<View>& after,
                   std::vector<std::string>* report) {
  for (const View& view : after) ReportInstalled(view, report);
  report->push_back("lookup values: " + std::to_string(plan.values.size()) + " under HKLM\\" +
                    kLowerPathsKey);
  for (const View& view : plan.views) ReportShadowed(view, report);
}

}  // namespace

std::string InstallTarvel(Catalog& catalog, LowerPaths& lower, const ProviderPaths& paths,
                          const ExpandPath& expand, std::vector<std::string>* report) {
  InstallPlan plan;
  std::string error = PrepareInstall(catalog, paths, expand, &plan);
  if (!error.empty()) return error;
  UndoLog undo;
  std::vector<View> after;
  error = ApplyInstall(catalog, lower, paths, plan, &undo, &after);
  if (!error.empty()) {
    const std::string failures = undo.Run();
    if (failures.empty()) return error + "; nothing was changed";
    return error + "; undoing it failed too (" + failures +
           "), so run \"tarvelctl uninstall\" to clean up";
  }
  ReportInstall(plan, after, report);
  return "";
}

std::string UninstallTarvel(Catalog& catalog, LowerPaths& lower, std::vector<std::string>* report) {
  std::vector<View> views;
  std::string error = ReadViews(catalog, &views);
  if (!error.empty()) return error;
  bool installed = false;
  for (const View& view : views) {
    if (!view.tarvel.foreign_over.empty()) {
      return "chain " + Describe(view.tarvel.foreign_over.front()) + " of the " +
             KindName(view.kind) +
             " catalog belongs to another provider layered over tarvel; uninstall that provider "
             "first";
    }
    installed = installed || view.tarvel.Installed();
  }
  if (!installed) report->push_back("tarvel is in no catalog");
  std::string failures;
  for (const View& view : views) {
    if (!view.tarvel.Installed()) continue;
    int removed = 0;
    error = RemoveEntries(catalog, view, &removed);
    report->push_back(KindName(view.kind) + " catalog: removed " + std::to_string(removed) +
                      (removed == 1 ? " entry" : " entries"));
    if (!error.empty()) failures += (failures.empty() ? "" : "; ") + error;
  }

  // Values stay for any chain that is still there.
  std::set<std::string> needed;
  error = ReadViews(catalog, &views);
  if (!error.empty()) return failures.empty() ? error : failures + "; " + error;
  for (const View& view : views) {
    for (const ProtocolRecord& chain : view.tarvel.chains)
      needed.insert(std::to_string(chain.LowerId()));
  }
  std::set<std::string> deleted;
  for (CatalogKind view : catalog.Kinds()) {
    std::map<std::string, std::string> values;
    error = lower.Read(view, &values);
    for (auto it = values.begin(); error.empty() && it != values.end(); ++it) {
      if (needed.count(it->first) != 0) continue;
      error = lower.Delete(view, it->first);
      if (error.empty()) deleted.insert(it->first);
    }
    if (error.empty() && needed.empty()) error = lower.DeleteKeyIfEmpty(view);
    if (!error.empty()) failures += (failures.empty() ? "" : "; ") + error;
  }
  if (!deleted.empty()) {
    report->push_back("lookup values: removed " + std::to_string(deleted.size()));
  }
  if (!needed.empty()) {
    report->push_back("lookup values: kept " + std::to_string(needed.size()) +
                      " for the chains still in the catalog");
  }
  return failures;
}

}  // namespace tarvel::ctl

namespace tarvel::ctl {
namespace {

std::vector<ProtocolRecord> EntriesOf(const std::vector<ProtocolRecord>& records,
                                      const Guid& provider) {
  std::vector<ProtocolRecord> entries;
  for (const ProtocolRecord& r : records) {
    if (r.provider_id == provider) entries.push_back(r);
  }
  return entries;
}

// The providers of tarvel's entries in one catalog, each once, the layered
// entries' first.
std::vector<Guid> TarvelProviders(const View& view) {
  std::vector<Guid> providers;
  for (const auto* group : {&view.tarvel.layered, &view.tarvel.chains}) {
    for (const ProtocolRecord& r : *group) {
      if (std::find(providers.begin(), providers.end(), r.provider_id) == providers.end()) {
        providers.push_back(r.provider_id);
      }
    }
  }
  return providers;
}

std::string Entries(std::size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// Points tarvel's entries in one catalog at `path`; each change is in `undo`.
std::string RepointView(Catalog& catalog, const View& view, const std::string& path, UndoLog* undo,
                        std::vector<std::string>* lines) {
  const CatalogKind kind = view.kind;
  const std::string where = KindName(kind) + " catalog: ";
  std::size_t changed = 0;
  std::size_t total = 0;
  std::string before;
  for (const Guid& provider : TarvelProviders(view)) {
    const std::vector<ProtocolRecord> entries = EntriesOf(view.records, provider);
    total += entries.size();
    std::string old;
    std::string error = catalog.ProviderPath(kind, provider, &old);
    if (!error.empty()) return where + error;
    if (old == path) continue;
    error = catalog.Update(kind, provider, path, entries);
    if (!error.empty()) return where + error;
    undo->Add([&catalog, kind, provider, old, entries, where] {
      const std::string e = catalog.Update(kind, provider, old, entries);
      return e.empty() ? e : where + e;
    });
    if (before.empty()) before = old;
    changed += entries.size();
  }
  if (changed == 0) {
    lines->push_back(where + "tarvel's " + Entries(total) + " name " + path + " already");
  } else {
    lines->push_back(where + "tarvel's " + Entries(changed) + " now name " + path +
                     " (before: " + before + ")");
  }
  return "";
}

// Whether every tarvel provider of each catalog names its module in `paths`.
std::string CheckRepointed(Catalog& catalog, const ProviderPaths& paths) {
  std::vector<ModulePath> modules;
  const std::string error = TarvelModules(catalog, &modules);
  if (!error.empty()) return error;
  for (const ModulePath& m : modules) {
    if (m.path != paths.For(m.kind)) {
      return "the " + KindName(m.kind) + " catalog still names " + m.path + " for provider " +
             m.provider.ToString();
    }
  }
  return "";
}

}  // namespace

std::string TarvelModules(Catalog& catalog, std::vector<ModulePath>* modules) {
  modules->clear();
  std::vector<View> views;
  std::string error = ReadViews(catalog, &views);
  if (!error.empty()) return error;
  for (const View& view : views) {
    for (const Guid& provider : TarvelProviders(view)) {
      std::string path;
      error = catalog.ProviderPath(view.kind, provider, &path);
      if (!error.empty()) return KindName(view.kind) + " catalog: " + error;
      modules->push_back({view.kind, provider, path});
    }
  }
  return "";
}

std::string ReplaceTarvel(Catalog& catalog, LowerPaths& lower, const ProviderPaths& paths,
                          const ExpandPath& expand, std::vector<std::string>* report) {
  std::vector<View> views;
  std::string error = ReadViews(catalog, &views);
  if (!error.empty()) return error;
  for (const View& view : views) {
    const std::string which = "the " + KindName(view.kind) + " catalog";
    if (!view.tarvel.Installed()) {
      return "tarvel is not in " + which + ", so its entries cannot be pointed at the new " +
             "module there; run \"tarvelctl uninstall\" first";
    }
    if (paths.For(view.kind).empty()) return "no tarvel.dll for " + which;
    if (!catalog.CanUpdate(view.kind)) {
      return "this Windows cannot point the entries of " + which +
             " at another module (it has no WSCUpdateProvider); run \"tarvelctl uninstall\" first";
    }
  }
  // The lookup values of the base providers that tarvel's chains lie over.
  std::vector<View> covered = views;
  for (View& view : covered) {
    std::erase_if(view.tarvel.targets, [&](const ProtocolRecord& t) {
      return std::any_of(view.tarvel.uncovered.begin(), view.tarvel.uncovered.end(),
                         [&](const ProtocolRecord& u) { return u.catalog_id == t.catalog_id; });
    });
  }
  std::map<std::string, std::string> values;
  error = PlanLookups(catalog, covered, expand, &values);
  if (!error.empty()) return error;

  UndoLog undo;
  std::vector<std::string> lines;
  error = WriteLookups(lower, catalog.Kinds(), values, &undo);
  for (std::size_t i = 0; error.empty() && i < views.size(); ++i) {
    error = RepointView(catalog, views[i], paths.For(views[i].kind), &undo, &lines);
  }
  if (error.empty()) error = CheckRepointed(catalog, paths);
  if (!error.empty()) {
    const std::string failures = undo.Run();
    if (failures.empty()) return error + "; nothing was changed";
    return error + "; undoing it failed too (" + failures + ")";
  }
  report->insert(report->end(), lines.begin(), lines.end());
  report->push_back("lookup values: " + std::to_string(values.size()) + " under HKLM\\" +
                    kLowerPathsKey);
  for (const View& view : views) {
    for (const ProtocolRecord& base : view.tarvel.uncovered) {
      report->push_back("note: base provider " + Describe(base) + " of the " + KindName(view.kind) +
                        " catalog has no tarvel chain; \"tarvelctl uninstall\" and \"tarvelctl "
                        "install\" layer tarvel over it");
    }
  }
  return "";
}

std::string PointTarvelModules(Catalog& catalog, const std::vector<ModulePath>& modules,
                               std::vector<std::string>* report) {
  std::string failures;
  const auto fail = [&](const std::string& e) { failures += (failures.empty() ? "" : "; ") + e; };
  for (CatalogKind kind : catalog.Kinds()) {
    const std::string where = KindName(kind) + " catalog: ";
    std::vector<ProtocolRecord> records;
    bool read = false;
    for (const ModulePath& m : modules) {
      if (m.kind != kind) continue;
      if (!read) {
        const std::string error = catalog.Enumerate(kind, &records);
        if (!error.empty()) {
          fail(where + error);
          break;
        }
        read = true;
      }
      const std::vector<ProtocolRecord> entries = EntriesOf(records, m.provider);
      const std::string named = where + "provider " + m.provider.ToString() + ": ";
      if (entries.empty()) {
        report->push_back(named + "no entry left to point at " + m.path);
        continue;
      }
      std::string now;
      std::string error = catalog.ProviderPath(kind, m.provider, &now);
      if (error.empty() && now == m.path) {
        report->push_back(named + Entries(entries.size()) + " name " + m.path + " already");
        continue;
      }
      error = catalog.Update(kind, m.provider, m.path, entries);
      if (!error.empty()) {
        fail(named + error);
        continue;
      }
      report->push_back(named + Entries(entries.size()) + " name " + m.path + " again");
    }
  }
  return failures;
}

}  // namespace tarvel::ctl
