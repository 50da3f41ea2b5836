#include "platform/system/shell.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <vector>

#include "device/files.hpp"
#include "device/launchd_protocol.hpp"
#include "device/processes.hpp"

namespace libsystem::shell {
namespace {

bool isMetaCharacter(unsigned char c) {
  static constexpr std::string_view kMeta = "|&;<>()$`\\\"'*?[]{}~#!";
  return (c < 0x20 && c != '\t') || c == 0x7f ||
         kMeta.find(static_cast<char>(c)) != std::string_view::npos;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

int signalNumber(std::string_view text) {
  if (text.empty()) return -1;
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (text.size() > 2) return -1;
    int n = 0;
    for (char c : text) n = n * 10 + (c - '0');
    return n <= SIGRTMAX ? n : -1;
  }
  std::string name = upper(text);
  if (name.rfind("SIG", 0) == 0) name.erase(0, 3);
  static constexpr struct {
    const char* name;
    int number;
  } kSignals[] = {
      {"HUP", SIGHUP},   {"INT", SIGINT},       {"QUIT", SIGQUIT}, {"ILL", SIGILL},
      {"TRAP", SIGTRAP}, {"ABRT", SIGABRT},     {"IOT", SIGABRT},  {"BUS", SIGBUS},
      {"FPE", SIGFPE},   {"KILL", SIGKILL},     {"USR1", SIGUSR1}, {"SEGV", SIGSEGV},
      {"USR2", SIGUSR2}, {"PIPE", SIGPIPE},     {"ALRM", SIGALRM}, {"TERM", SIGTERM},
      {"CHLD", SIGCHLD}, {"CONT", SIGCONT},     {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},
      {"TTIN", SIGTTIN}, {"TTOU", SIGTTOU},     {"URG", SIGURG},   {"XCPU", SIGXCPU},
      {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"WINCH", SIGWINCH},
      {"IO", SIGIO},     {"SYS", SIGSYS},
  };
  for (const auto& s : kSignals) {
    if (name == s.name) return s.number;
  }
  return -1;
}

Command parse(std::string_view command) {
  if (std::any_of(command.begin(), command.end(),
                  [](char c) { return isMetaCharacter(static_cast<unsigned char>(c)); })) {
    return Refused{};
  }
  const std::vector<std::string_view> w = words(command);
  if (w.size() == 3 && w[0] == "rm" &&
      (w[1] == "-rf" || w[1] == "-fr" || w[1] == "-Rf" || w[1] == "-fR") && w[2][0] == '/') {
    return RemoveTree{std::string(w[2])};
  }
  if ((w.size() == 2 || w.size() == 3) && w[0] == "killall" && w.back()[0] != '-') {
    KillAll k;
    k.name = std::string(w.back());
    k.signalNumber = SIGTERM;
    if (w.size() == 3) {
      if (w[1].size() < 2 || w[1][0] != '-') return Refused{};
      k.signalNumber = signalNumber(w[1].substr(1));
    }
    return k;
  }
  return Refused{};
}

int run(const Command& command, Outcome* outcome) {
  Outcome ignored;
  Outcome& out = outcome != nullptr ? *outcome : ignored;
  if (const auto* rm = std::get_if<RemoveTree>(&command)) {
    // What was removed is told, not whether the path resolved: a link out of the device, or to
    // nothing, resolves nowhere yet is removed.
    bool removed = false;
    const int error = sim::removeTree(sim::Area::Device, rm->devicePath, &removed);
    out.words = error != 0 ? "not removed: " + sim::describe(error)
                : removed  ? "removed"
                           : "not there";
    return error == 0 ? 0 : 1;
  }
  if (const auto* killall = std::get_if<KillAll>(&command)) {
    if (killall->signalNumber < 0) {
      out.words = "not a signal killall knows";
      return 1;
    }
    const sim::Killed killed = sim::killallReport(killall->name, killall->signalNumber);
    // The virtual daemons are counted without a machine process to list.
    if (sim::launchd::isSystemDaemon(killall->name)) {
      if (killed.count > 0) out.ended.push_back(killall->name);
    }
    for (const sim::DeviceProcess& p : killed.signalled) {
      out.ended.push_back(p.name + " (pid " + std::to_string(p.pid) + ")");
    }
    if (killed.count == 0) {
      out.words = "no process named " + killall->name;
    } else {
      out.words = killall->signalNumber == 0 ? "found " : "signalled ";
      for (std::size_t i = 0; i < out.ended.size(); ++i) {
        out.words += (i > 0 ? ", " : "") + out.ended[i];
      }
    }
    return killed.count > 0 ? 0 : 1;
  }
  out.words = "refused: not a command the device's shell runs";
  return 127;
}

}  // namespace libsystem::shell
