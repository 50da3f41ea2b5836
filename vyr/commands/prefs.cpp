// vyr prefs: the device's Settings pane of VYR, opened as the Settings app opens it and shown or
// changed from the terminal.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "device/files.hpp"
#include "device/processes.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/settings_app.hpp"
#include "platform/system/libsystem.h"
#include "tweak/elements.hpp"
#include "vyr/attach/process.hpp"
#include "vyr/base/out.hpp"
#include "vyr/base/printable.hpp"
#include "vyr/base/suggest.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/profile/history.hpp"
#include "vyr/profile/profile.hpp"

namespace vyr {
namespace {

using preferences::settings::Change;
using preferences::settings::Choice;
using preferences::settings::Pane;
using preferences::settings::Row;

const char kPrefsHelp[] =
    "usage: vyr prefs                  show the pane: its groups, rows and current values\n"
    "       vyr prefs get KEY          the value the row of KEY shows\n"
    "       vyr prefs set KEY VALUE    change the row of KEY as a tap would: YES/NO (true/false,\n"
    "                                  on/off) for a switch, a choice's name or number for a\n"
    "                                  list, a colour string (#RRGGBB[:alpha] or #RRGGBBAA)\n"
    "                                  for a colour\n"
    "       vyr prefs tap LABEL        tap the button row LABEL\n"
    "       vyr prefs respring         tap the navigation bar's Respring button\n"
    "       vyr prefs reset            put every row's default back, as taps on each row would\n"
    "       vyr prefs undo             put the settings back as they were before the last change\n"
    "                                  made through VYR (prefs set, tap, reset, import, the\n"
    "                                  studio), one change a call; a change made since by\n"
    "                                  anything else is kept, and said\n"
    "A tap that runs the respring prints what each of its steps did (the caches removed, the\n"
    "processes ended and those the device started again) and exits 1 when any step failed.\n";

// How long a respring's report waits for the processes that their front ends start again.
constexpr auto kRestartWait = std::chrono::seconds(5);

constexpr int kColumnWidth = 72;

// The pane of VYR among the device's PreferenceLoader entries.
std::unique_ptr<Pane> openVyrPane() {
  for (const auto& entry : preferences::settings::paneEntries()) {
    if (entry.bundle != "VYR") continue;
    std::string error;
    auto pane = Pane::open(entry, &error);
    if (!pane) vyr::out::print(stderr, "vyr prefs: %s\n", error.c_str());
    return pane;
  }
  vyr::out::print(stderr, "vyr prefs: VYR's settings pane is not installed on this device\n");
  return nullptr;
}

void show(const Pane& pane) {
  std::string header = pane.title();
  if (const auto button = pane.rightButtonTitle()) {
    const std::string right = "[" + *button + "]";
    const std::size_t used = header.size() + right.size();
    header += std::string(used < kColumnWidth ? kColumnWidth - used : 1, ' ') + right;
  }
  printOutputF("%s\n", header.c_str());
  // A group's footer comes after its rows, as the Settings app draws it.
  std::string footer;
  const auto endGroup = [&footer] {
    if (!footer.empty()) printOutputF("  (%s)\n", footer.c_str());
    footer.clear();
  };
  for (const Row& row : pane.rows()) {
    switch (row.kind) {
      case Row::Kind::Group:
        endGroup();
        if (row.label.empty()) {
          printOutputF("\n");
        } else {
          printOutputF("\n%s\n", row.label.c_str());
        }
        footer = row.footer;
        break;
      case Row::Kind::Value:
        printOutputF("  %-30s %-22s %s\n", row.label.c_str(), row.value.c_str(), row.key.c_str());
        break;
      case Row::Kind::Button:
        printOutputF("  [%s]\n", row.label.c_str());
        break;
      case Row::Kind::Other:
        printOutputF("  %s\n", row.label.c_str());
        break;
    }
  }
  endGroup();
}

// The keys of the pane's rows, in the pane's order.
std::vector<std::string> keysOf(const Pane& pane) {
  std::vector<std::string> keys;
  for (const Row& row : pane.rows()) {
    if (!row.key.empty()) keys.push_back(row.key);
  }
  return keys;
}

int noSuchKey(const Pane& pane, const std::string& key) {
  vyr::out::print(
      stderr, "vyr prefs: no such key '%s': no row of the pane has it%s (vyr prefs lists them)\n",
      key.c_str(), printable(didYouMean(key, keysOf(pane))).c_str());
  return 1;
}

// The words a switch takes.
const std::vector<std::string> kSwitchWords = {"YES", "NO", "true", "false", "on", "off"};

std::string lowered(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// VALUE as the row of KEY spells it: the US "gray" for a list's "grey" ("dark gray" picks
// "Dark grey"); anything else as typed.
std::string spelledAsTheRow(const Pane& pane, const std::string& key, const std::string& value) {
  std::string british = lowered(value);
  const std::size_t at = british.find("gray");
  if (at == std::string::npos) return value;
  british.replace(at, 4, "grey");
  for (const Choice& choice : pane.choices(key)) {
    if (lowered(choice.title) == british) return choice.title;
  }
  return value;
}

// What the row of KEY takes, for a value it refused: a list's choices one a line, else a word on
// the kind of row.
void explainValues(const Pane& pane, const std::string& key, const std::string& value) {
  const std::vector<Choice> choices = pane.choices(key);
  std::vector<std::string> words;
  for (const Choice& c : choices) words.push_back(c.title);
  for (const Row& row : pane.rows()) {
    if (row.key == key && row.cell == "PSSwitchTableCell") words = kSwitchWords;
  }
  if (const auto near = nearest(value, words)) {
    vyr::out::print(stderr, "Did you mean '%s'?\n", near->c_str());
  }
  if (!choices.empty()) {
    vyr::out::print(stderr, "The row of '%s' takes one of these names or numbers:\n", key.c_str());
    for (const Choice& c : choices) {
      vyr::out::print(stderr, "  %-4s %s\n", c.value.c_str(), c.title.c_str());
    }
    return;
  }
  for (const Row& row : pane.rows()) {
    if (row.key != key) continue;
    if (row.cell == "PSSwitchTableCell") {
      vyr::out::print(
          stderr, "The row of '%s' is a switch: it takes YES or NO (true or false, on or off).\n",
          key.c_str());
    } else if (row.cell == "PFSimpleLiteColorCell") {
      vyr::out::print(
          stderr,
          "The row of '%s' takes a colour string: #RGB or #RRGGBB, optionally followed by "
          ":ALPHA (0 to 1), or #RRGGBBAA.\n",
          key.c_str());
    }
    return;
  }
}

int get(const Pane& pane, const std::string& key) {
  const auto value = pane.value(key);
  if (!value) return noSuchKey(pane, key);
  printOutputF("%s\n", value->c_str());
  return 0;
}

int set(const Pane& pane, const std::string& key, const std::string& value) {
  switch (pane.set(key, spelledAsTheRow(pane, key, value))) {
    case Change::Done:
      if (!pane.setAside().empty()) {
        vyr::out::print(stderr,
                        "vyr prefs: the settings file was not a property list; it was kept as %s "
                        "and a new one begun\n",
                        pane.setAside().c_str());
      }
      printOutputF("%s\n", pane.value(key).value_or("").c_str());
      return 0;
    case Change::NotWritten:
      vyr::out::print(stderr, "vyr prefs: %s; nothing changed\n", pane.writeProblem().c_str());
      return 1;
    case Change::NoSuchKey:
      return noSuchKey(pane, key);
    case Change::NotEditable:
      vyr::out::print(stderr, "vyr prefs: the row of '%s' takes no value\n", key.c_str());
      return 1;
    case Change::Refused:
      break;
  }
  vyr::out::print(stderr, "vyr prefs: '%s' is not a value of the row of '%s'; nothing changed\n",
                  value.c_str(), key.c_str());
  explainValues(pane, key, value);
  return 1;
}

// What the command line asks of the pane.
struct Request {
  std::string verb;  // empty (show), get, set, tap or respring
  std::vector<std::string> operands;
};

std::string listed(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + printable(n);
  return out.empty() ? "nothing" : out;
}

// Tells what the system calls of a tap did, one step a line, then what the device started again
// once the respring ended its processes; the exit status: 1 when a step failed.
int reportSteps(const std::vector<libsystem::Step>& steps) {
  int failed = 0;
  std::vector<std::string> ended;
  for (const libsystem::Step& step : steps) {
    printOutputF("%s %s: %s\n", step.call.c_str(), step.argument.c_str(), step.outcome.c_str());
    if (step.failed) ++failed;
    ended.insert(ended.end(), step.ended.begin(), step.ended.end());
  }
  std::vector<std::string> started;
  if (!ended.empty()) {
    for (const sim::DeviceProcess& p : sim::startedSinceRespring(kRestartWait)) {
      started.push_back(p.name + " (pid " + std::to_string(p.pid) + ")");
    }
  }
  printOutputF("ended: %s\nstarted again: %s\n", listed(ended).c_str(), listed(started).c_str());
  flushOutput();
  if (failed == 0) return 0;
  vyr::out::print(stderr, "vyr prefs: %d step%s of the respring failed\n", failed,
                  failed == 1 ? "" : "s");
  return 1;
}

// The URLs the device's applications have opened so far (the simulator's log of them).
std::string openedUrls() {
  return sim::readFile(sim::Area::Simulator, "opened-urls.log", 1 << 20).value_or("");
}

// Taps the button LABEL (empty: the navigation bar's right button) and says what came of it: the
// URL an application opened, on standard error, and each step of a respring the tap ran.
int tap(const Pane& pane, const std::string& label) {
  libsystem::takeJournal();
  const std::string before = openedUrls();
  if (label.empty() ? !pane.tapRightButton() : !pane.tap(label)) {
    if (label.empty()) {
      vyr::out::print(stderr, "vyr prefs: the navigation bar has no button to tap\n");
    } else {
      vyr::out::print(stderr, "vyr prefs: the pane has no button '%s'\n", label.c_str());
    }
    return 1;
  }
  const std::vector<libsystem::Step> steps = libsystem::takeJournal();
  const std::string name =
      label.empty() ? std::string("the navigation bar's button") : "'" + label + "'";
  const std::string after = openedUrls();
  std::string opened = after.size() > before.size() && after.starts_with(before)
                           ? after.substr(before.size())
                           : std::string();
  while (!opened.empty() && opened.back() == '\n') opened.pop_back();
  if (!opened.empty()) {
    vyr::out::print(stderr, "vyr prefs: tapped %s: the device opened %s\n", name.c_str(),
                    opened.c_str());
  } else if (steps.empty()) {
    vyr::out::print(stderr, "vyr prefs: tapped %s: no application opened anything\n", name.c_str());
  }
  return steps.empty() ? 0 : reportSteps(steps);
}

int reset(const Pane& pane) {
  const Result<int> done = profile::resetToDefaults(pane);
  if (!done) {
    vyr::out::print(stderr, "vyr prefs: %s; the rows before it have their defaults\n",
                    done.error().c_str());
    return 1;
  }
  printOutputF("reset %d rows to the pane's defaults\n", *done);
  return 0;
}

// Says on standard error why a change just made cannot be undone, when it cannot.
void recordChange(const history::Before& before, const std::string& what) {
  if (const auto problem = history::record(before, what)) {
    vyr::out::print(stderr, "vyr prefs: note: %s\n", problem->c_str());
  }
}

// The value each row of PANE shows, by key.
std::vector<std::pair<std::string, std::string>> valuesOf(const Pane& pane) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const Row& row : pane.rows()) {
    if (row.kind == Row::Kind::Value && !row.key.empty()) values.emplace_back(row.key, row.value);
  }
  return values;
}

// Puts the settings back as they were before the last change made through VYR, and says which
// rows that changed, as the pane shows them (PANE shows the settings before the undo).
int undo(const Pane& pane) {
  const auto shownBefore = valuesOf(pane);
  auto outcome = history::undo();
  if (const auto* refused = std::get_if<history::NotUndone>(&outcome)) {
    vyr::out::print(stderr, "vyr prefs: %s\n", refused->line.c_str());
    return 1;
  }
  const auto& undone = std::get<history::Undone>(outcome);
  printOutputF("undid %s\n", undone.what.c_str());
  // A pane opened now reads the settings put back.
  if (const auto reopened = openVyrPane()) {
    int changed = 0;
    for (const auto& [key, now] : valuesOf(*reopened)) {
      for (const auto& [oldKey, was] : shownBefore) {
        if (oldKey != key || was == now) continue;
        printOutputF("  %-12s %s (was %s)\n", key.c_str(), now.c_str(), was.c_str());
        ++changed;
      }
    }
    if (changed == 0) printOutputF("  (no row of the pane shows a difference)\n");
  }
  printOutputF("%zu more step%s to undo\n", undone.left, undone.left == 1 ? "" : "s");
  if (!undone.settingsBefore) {
    // The library keeps a value whose key goes missing until its process ends.
    vyr::out::print(
        stderr,
        "vyr prefs: there was no settings file before it, so none is there now; running "
        "processes keep the values they read until a respring (vyr prefs respring)\n");
  }
  return 0;
}

// What the command line asked, for the history: "prefs set sig Red".
std::string described(const Request& request) {
  std::string what = "prefs " + request.verb;
  for (const std::string& operand : request.operands) what += " " + operand;
  return what;
}

int prefs(const Request& request) {
  // The Settings app is a process of the device: it joins first (a confined process could not
  // reach the device's supervisor, which alone signals its processes), then confines itself
  // before it loads the pane's bundle from the device.
  if (!sim::registerProcess("Preferences")) {
    const std::string problem = sim::supervisorProblem();
    vyr::out::print(stderr, "vyr prefs: cannot join the device's processes%s%s\n",
                    problem.empty() ? "" : ": ", problem.c_str());
    return 1;
  }
  confineDeviceProcess();
  ns::AutoreleasePool pool;
  const auto pane = openVyrPane();
  if (!pane) return 1;
  if (request.verb != "set" && request.verb != "reset" && request.verb != "undo") {
    if (const auto note = profile::unreadableSettingsNote()) {
      vyr::out::print(stderr, "vyr prefs: %s\n", note->c_str());
    }
  }
  const std::string& verb = request.verb;
  const std::vector<std::string>& op = request.operands;
  if (verb.empty()) {
    show(*pane);
    return 0;
  }
  if (verb == "get") return get(*pane, op[0]);
  if (verb == "undo") return undo(*pane);
  // Every other action may change the settings: it becomes a step of the history. A set or a
  // reset holds the writers' lock from the snapshot to the record (the pane's own writes take it
  // again inside), so that another process's write cannot become part of the step. A tap does
  // not: the Respring button must not hold every writer off while the device restarts.
  std::optional<preferences::WritersLock> lock;
  if (verb == "set" || verb == "reset") lock.emplace(kDomain);
  const history::Before before = history::before();
  const int status = verb == "set"     ? set(*pane, op[0], op[1])
                     : verb == "reset" ? reset(*pane)
                                       : tap(*pane, verb == "tap" ? op[0] : std::string());
  recordChange(before, described(request));
  return status;
}

std::optional<Run> parsePrefs(const std::vector<std::string>& args) {
  Request request;
  if (!args.empty()) {
    request.verb = args[0];
    request.operands.assign(args.begin() + 1, args.end());
  }
  const std::size_t n = request.operands.size();
  const std::string& verb = request.verb;
  const bool known = (args.empty()) || (verb == "get" && n == 1) || (verb == "set" && n == 2) ||
                     (verb == "tap" && n == 1) || (verb == "respring" && n == 0) ||
                     (verb == "reset" && n == 0) || (verb == "undo" && n == 0);
  if (!known) {
    const std::vector<std::string> verbs = {"get", "set", "tap", "respring", "reset", "undo"};
    const bool knownVerb = std::find(verbs.begin(), verbs.end(), verb) != verbs.end();
    const std::string near = knownVerb ? std::string() : didYouMean(verb, verbs);
    if (!near.empty()) {
      vyr::out::print(stderr, "vyr prefs: no action '%s'%s (see vyr prefs --help)\n", verb.c_str(),
                      near.c_str());
      return std::nullopt;
    }
    vyr::out::print(
        stderr,
        "vyr prefs: usage: vyr prefs [get KEY | set KEY VALUE | tap LABEL | respring | reset | "
        "undo] "
        "(see vyr prefs --help)\n");
    return std::nullopt;
  }
  return Run([request](const Invocation& invocation) {
    // The front end holds the terminal; the Settings app runs in its sandbox.
    if (const auto status = handOverToDeviceProcess("prefs", invocation.args, false))
      return *status;
    try {
      return commandDone(prefs(request));
    } catch (const std::exception& e) {
      vyr::out::print(stderr, "vyr prefs: %s\n", e.what());
      return commandDone(1);
    }
  });
}

}  // namespace

const Command prefsCommand{"prefs", nullptr,
                           "  prefs [get|set|tap|respring|reset|undo ...]\n"
                           "                          the device's Settings pane of VYR\n",
                           kPrefsHelp, &parsePrefs};

}  // namespace vyr
