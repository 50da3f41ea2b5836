// vyr prefs: the device's Settings pane of VYR, opened as the Settings app opens it and shown or
// changed from the terminal.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/preferences/settings_app.hpp"
#include "vyr/commands.hpp"

namespace vyr {
namespace {

using preferences::settings::Change;
using preferences::settings::Pane;
using preferences::settings::Row;

const char kPrefsUsage[] =
    "usage: vyr prefs                  show the pane: its groups, rows and current values\n"
    "       vyr prefs get KEY          the value the row of KEY shows\n"
    "       vyr prefs set KEY VALUE    change the row of KEY as a tap would: YES/NO (true/false,\n"
    "                                  on/off) for a switch, a choice's name or number for a\n"
    "                                  list, a colour string (#RRGGBB[:alpha]) for a colour\n"
    "       vyr prefs tap LABEL        tap the button row LABEL\n"
    "       vyr prefs respring         tap the navigation bar's Respring button\n";

constexpr int kColumnWidth = 72;

// The pane of VYR among the device's PreferenceLoader entries.
std::unique_ptr<Pane> openVyrPane() {
  for (const auto& entry : preferences::settings::paneEntries()) {
    if (entry.bundle != "VYR") continue;
    std::string error;
    auto pane = Pane::open(entry, &error);
    if (!pane) std::fprintf(stderr, "vyr prefs: %s\n", error.c_str());
    return pane;
  }
  std::fprintf(stderr, "vyr prefs: VYR's settings pane is not installed on this device\n");
  return nullptr;
}

void show(const Pane& pane) {
  std::string header = pane.title();
  if (const auto button = pane.rightButtonTitle()) {
    const std::string right = "[" + *button + "]";
    const std::size_t used = header.size() + right.size();
    header += std::string(used < kColumnWidth ? kColumnWidth - used : 1, ' ') + right;
  }
  std::printf("%s\n", header.c_str());
  // A group's footer comes after its rows, as the Settings app draws it.
  std::string footer;
  const auto endGroup = [&footer] {
    if (!footer.empty()) std::printf("  (%s)\n", footer.c_str());
    footer.clear();
  };
  for (const Row& row : pane.rows()) {
    switch (row.kind) {
      case Row::Kind::Group:
        endGroup();
        std::printf("\n%s", row.label.empty() ? "" : (row.label + "\n").c_str());
        footer = row.footer;
        break;
      case Row::Kind::Value:
        std::printf("  %-30s %-22s %s\n", row.label.c_str(), row.value.c_str(), row.key.c_str());
        break;
      case Row::Kind::Button:
        std::printf("  [%s]\n", row.label.c_str());
        break;
      case Row::Kind::Other:
        std::printf("  %s\n", row.label.c_str());
        break;
    }
  }
  endGroup();
}

int get(const Pane& pane, const std::string& key) {
  const auto value = pane.value(key);
  if (!value) {
    std::fprintf(stderr, "vyr prefs: no row of the pane has the key '%s'\n", key.c_str());
    return 1;
  }
  std::printf("%s\n", value->c_str());
  return 0;
}

int set(const Pane& pane, const std::string& key, const std::string& value) {
  switch (pane.set(key, value)) {
    case Change::Done:
      std::printf("%s\n", pane.value(key).value_or("").c_str());
      return 0;
    case Change::NoSuchKey:
      std::fprintf(stderr, "vyr prefs: no row of the pane has the key '%s'\n", key.c_str());
      return 1;
    case Change::NotEditable:
      std::fprintf(stderr, "vyr prefs: the row of '%s' takes no value\n", key.c_str());
      return 1;
    case Change::Refused:
      break;
  }
  std::fprintf(stderr, "vyr prefs: '%s' is not a value of the row of '%s'; nothing changed\n",
               value.c_str(), key.c_str());
  return 1;
}

int prefs(const std::vector<std::string>& args) {
  const std::string verb = args.empty() ? std::string() : args[0];
  const bool known = (verb.empty() && args.empty()) || (verb == "get" && args.size() == 2) ||
                     (verb == "set" && args.size() == 3) || (verb == "tap" && args.size() == 2) ||
                     (verb == "respring" && args.size() == 1);
  if (!known) {
    std::fputs(kPrefsUsage, stderr);
    return 2;
  }

  ns::AutoreleasePool pool;
  const auto pane = openVyrPane();
  if (!pane) return 1;
  if (verb.empty()) {
    show(*pane);
    return 0;
  }
  if (verb == "get") return get(*pane, args[1]);
  if (verb == "set") return set(*pane, args[1], args[2]);
  if (verb == "tap") {
    if (pane->tap(args[1])) return 0;
    std::fprintf(stderr, "vyr prefs: the pane has no button '%s'\n", args[1].c_str());
    return 1;
  }
  if (pane->tapRightButton()) return 0;
  std::fprintf(stderr, "vyr prefs: the navigation bar has no button to tap\n");
  return 1;
}

}  // namespace

int runPrefs(const Invocation& inv) {
  try {
    return prefs(inv.args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vyr prefs: %s\n", e.what());
    return 1;
  }
}

}  // namespace vyr
