#include "device/launchd_protocol.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>

namespace sim::launchd {

bool isSystemDaemon(std::string_view name) {
  return name == kLaunchServicesDaemon || name == kRespringDaemon;
}

bool validProcessName(std::string_view name) {
  if (name.empty() || name.size() > 255 || isSystemDaemon(name)) return false;
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The sequence's length, and the least code point it may stand for (no overlong forms).
    const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    if (length == 0 || c > 0xf4 || i + length > name.size()) return false;
    std::uint32_t point = c & (0xff >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) ||
        point <= 0x9f) {
      return false;  // overlong, beyond Unicode, a surrogate, or a C1 control (U+0080..U+009F)
    }
    i += length;
  }
  return true;
}

bool endsProcess(int signalNumber) {
  switch (signalNumber) {
    case 0:
    case SIGCHLD:
    case SIGCONT:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

bool isRandomName(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Request parseRequest(std::string_view message) {
  Request out;
  const std::size_t space = message.find(' ');
  const std::string_view verb = message.substr(0, space);
  const std::string rest(space == std::string_view::npos ? std::string_view()
                                                         : message.substr(space + 1));
  const std::size_t tab = rest.find('\t');
  if (verb == "join") {
    out.verb = Request::Verb::Join;
    out.name = rest.substr(0, tab);
    out.kept = tab != std::string::npos && rest.substr(tab + 1) == "kept";
  } else if (verb == "control") {
    out.verb = Request::Verb::Control;
  } else if (verb == "list") {
    out.verb = Request::Verb::List;
  } else if (verb == "killall") {
    out.verb = Request::Verb::Killall;
    if (tab == std::string::npos) return out;
    char* end = nullptr;
    const long number = std::strtol(rest.c_str(), &end, 10);
    if (end != rest.c_str() + tab || number < 0 || number > SIGRTMAX) return out;
    out.signalNumber = static_cast<int>(number);
    out.name = rest.substr(tab + 1);
  } else if (verb == "started") {
    out.verb = Request::Verb::Started;
    out.waitMs = std::clamp(std::strtol(rest.c_str(), nullptr, 10), 0L, 60000L);
  }
  return out;
}

KillallPlan planKillall(std::string_view name, int signalNumber) {
  KillallPlan plan;
  plan.respring = name == kRespringDaemon;
  plan.ending = endsProcess(signalNumber);
  plan.daemonOnly = name == kLaunchServicesDaemon || (plan.respring && !plan.ending);
  return plan;
}

std::string processLine(pid_t pid, std::string_view name) {
  return std::to_string(pid) + "\t" + std::string(name);
}

std::vector<ListedProcess> listedProcesses(std::string_view answer) {
  std::vector<ListedProcess> out;
  std::size_t at = answer.find('\n');
  while (at != std::string_view::npos) {
    const std::size_t next = answer.find('\n', at + 1);
    const std::string line(
        answer.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) {
      ListedProcess p;
      p.pid = static_cast<pid_t>(std::atol(line.substr(0, tab).c_str()));
      p.name = line.substr(tab + 1);
      out.push_back(std::move(p));
    }
    at = next;
  }
  return out;
}

}  // namespace sim::launchd
