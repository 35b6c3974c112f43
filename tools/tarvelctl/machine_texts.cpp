#include "tools/tarvelctl/machine_texts.h"

#include "state/categories.h"
#include "tools/tarvelctl/list_commands.h"

namespace tarvel::ctl {
namespace {

std::string Flag(SettingsStore& store, const char* name) {
  std::int32_t value = 0;
  if (store.ReadFlag(name, &value) != 1) return "not set (counts as off)";
  return value == 1 ? "on" : "off";
}

std::string ListPath(SettingsStore& store, const char* name, bool* loads) {
  char path[settings::kTextBytes] = {};
  if (store.ReadPath(name, path, sizeof path) != 1) {
    *loads = false;
    return "not set, so the list does not load";
  }
  return std::string(path) + " (" + DescribeListFileLoad(path, loads) + ")";
}

std::string Text(SettingsStore& store, const char* name, const std::string& unset) {
  char text[settings::kTextBytes] = {};
  if (store.ReadPath(name, text, sizeof text) != 1 || text[0] == '\0') return unset;
  return text;
}

}  // namespace

std::string NeedsAdministrator(const std::string& command) {
  return command +
         " needs administrator rights: run tarvelctl from an elevated command prompt (Run as "
         "administrator)";
}

std::string NeedsNativeTool(const std::string& command) {
  return "this is the 32-bit tarvelctl on 64-bit Windows, which reaches only the 32-bit catalog; "
         "run " +
         command + " with x64\\tarvelctl.exe";
}

std::string ProgramsOf(Machine& machine, CatalogKind kind) {
  if (machine.catalog().Kinds().size() < 2 && !machine.IsWow64()) return "all programs";
  return KindName(kind) + " programs";
}

std::vector<std::string> DescribeSettings(Machine& machine, bool* lists_load) {
  std::vector<std::string> lines;
  const std::vector<CatalogKind> views = machine.SettingsViews();
  std::vector<std::string> first;
  *lists_load = true;
  for (CatalogKind view : views) {
    SettingsStore& store = machine.Settings(view);
    bool white = false;
    bool black = false;
    std::vector<std::string> values = {
        "  iswhi     " + Flag(store, settings::kWhiteOnly) + " (white-only mode)",
        "  issma     " + Flag(store, settings::kSmartFilter) + " (smart filter)",
        "  issni     " + Flag(store, settings::kHttpsFilter) + " (HTTPS filter)",
        "  islck     " + Flag(store, settings::kLocked) + " (changes by administrators only)",
        "  whitelib  " + ListPath(store, settings::kWhiteListPath, &white),
        "  blacklib  " + ListPath(store, settings::kBlackListPath, &black),
        "  catdir    " + Text(store, settings::kCategoryFolder,
                              std::string("not set (") + kDefaultCategoryFolder + ")"),
        "  cats      " + Text(store, settings::kCategories, "not set (no category at start)"),
    };
    *lists_load = *lists_load && white && black;
    std::string title = "HKLM\\Software\\Tarvel";
    if (views.size() > 1) title += " (" + KindName(view) + " programs)";
    if (view != views.front() && values == first) {
      lines.push_back(title + ": the same");
      continue;
    }
    lines.push_back(title + ":");
    lines.insert(lines.end(), values.begin(), values.end());
    if (first.empty()) first = values;
  }
  if (!*lists_load) {
    lines.push_back("note: the host test stays off while either list file does not load");
  }
  return lines;
}

}  // namespace tarvel::ctl
