// `vyr host`: one UI process of the simulated device, driven line by line on standard input.
//
// The process starts as a UI process of the device does: it joins the device's process table, the
// substrate loader injects the libraries whose filters match it (VYRSignals among them, whose
// initialisers run right there), and then its main run loop serves two sources: Darwin
// notifications from any process of the device, and the commands on standard input, each answered
// with exactly one line of JSON on standard output.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "device/files.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"
#include "vyr/commands.hpp"
#include "vyr/install.hpp"
#include "vyr/json.hpp"
#include "vyr/process.hpp"
#include "vyr/values.hpp"

namespace vyr {
namespace {

// The methods VYRSignals replaces, as the simulator knows them: the contract between the library
// and the classes of the device.
constexpr std::array<std::pair<const char*, const char*>, 11> kHookedMethods{{
    {"UIStatusBarNewUIStyleAttributes", "initWithRequest:backgroundColor:foregroundColor:"},
    {"UIStatusBar", "setForegroundColor:"},
    {"UIStatusBarNewUIForegroundStyleAttributes", "textColorForStyle:"},
    {"UIStatusBarNewUIForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:charging:"},
    {"UIStatusBarForegroundStyleAttributes", "textColorForStyle:"},
    {"UIStatusBarForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:charging:"},
    {"UIStatusBarForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:style:"},
    {"UIActivityIndicatorView", "setColor:"},
    {"_UIRefreshControlModernContentView", "setTintColor:"},
    {"_UILegibilitySettings", "setPrimaryColor:"},
    {"SBLockScreenViewController", "statusBarStyle"},
}};

std::string errorJson(const std::string& message) {
  return "{\"error\": " + json::quote(message) + "}";
}

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Whether the implementation answering SEL on CLS now lives in the injected library.
bool replacedByInjectedLibrary(Class cls, SEL cmd) {
  IMP imp = class_getMethodImplementation(cls, cmd);
  const std::optional<std::string> image = sim::libraryPath(reinterpret_cast<void*>(imp));
  return image && image->find("VYRSignals") != std::string::npos;
}

std::string hooksJson() {
  std::string out = "[";
  bool first = true;
  for (const auto& [className, selector] : kHookedMethods) {
    Class cls = objc::getClass(className);
    SEL cmd = sel_registerName(selector);
    if (cls == nullptr || class_respondsToSelector(cls, cmd) == 0) continue;
    if (!first) out += ", ";
    first = false;
    out += "{\"class\": " + json::quote(className) + ", \"selector\": " + json::quote(selector) +
           ", \"replaced\": " + (replacedByInjectedLibrary(cls, cmd) ? "true" : "false") + "}";
  }
  return out + "]";
}

std::string sendJson(const std::vector<std::string>& words) {
  if (words.size() < 3) return errorJson("usage: send CLASS SELECTOR [ARG ...]");
  Class cls = objc::getClass(words[1].c_str());
  if (cls == nullptr) return errorJson("this process has no class " + words[1]);
  SEL cmd = sel_registerName(words[2].c_str());
  Method method = class_getInstanceMethod(cls, cmd);
  if (method == nullptr) return errorJson(words[1] + " does not answer " + words[2]);

  const std::vector<std::string> args(words.begin() + 3, words.end());
  std::string problem;
  MethodCall call = MethodCall::prepare(method, args, problem);
  if (!problem.empty()) return errorJson(problem);

  ns::AutoreleasePool pool;
  const bool initialiser = words[2].rfind("init", 0) == 0;
  objc::id receiver = objc::send<"alloc">(cls);
  if (!initialiser) receiver = objc::send<"init">(receiver);

  uikitsim::beginRecording();
  const Value result = call.invoke(receiver, cmd);
  const std::vector<uikitsim::HostCall> hostCalls = uikitsim::takeCalls();

  std::string out = "{\"result\": " + result.json() + ", \"host\": ";
  const uikitsim::HostCall* own = nullptr;
  for (const auto& c : hostCalls) {
    if (c.selector == words[2]) own = &c;
  }
  out += own == nullptr ? "null" : "{\"args\": " + hostArgsJson(*own) + "}";
  out += "}";
  // The instance lives for this command only.
  ns::Object(initialiser ? result.object : receiver).release();
  return out;
}

std::string notifyJson(const std::vector<std::string>& words) {
  if (words.size() != 2) return errorJson("usage: notify NAME");
  ns::AutoreleasePool pool;
  ns::String name = ns::String::withUTF8(words[1].c_str());
  CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                       reinterpret_cast<CFStringRef>(name.get()), nullptr, nullptr,
                                       1);
  // The post is queued for every observer of the device once it returns: deliver ours now.
  const int delivered = cfsim::deliverPendingNotifications();
  return "{\"notified\": " + json::quote(words[1]) +
         ", \"delivered\": " + std::to_string(delivered) + "}";
}

}  // namespace

int runHost(const Invocation& inv) {
  std::string processName = "SpringBoard";
  for (std::size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--process" && i + 1 < inv.args.size()) {
      processName = inv.args[++i];
    } else {
      std::fprintf(stderr, "vyr host: unknown option %s\n", inv.args[i].c_str());
      return 2;
    }
  }

  if (const std::string err = startUiProcess(processName); !err.empty()) {
    std::fprintf(stderr, "vyr host: %s\n", err.c_str());
    return 1;
  }

  std::string pending;
  for (;;) {
    std::array<pollfd, 2> fds{
        {{STDIN_FILENO, POLLIN, 0}, {cfsim::notificationDescriptor(), POLLIN, 0}}};
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    if (poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) cfsim::deliverPendingNotifications();
    if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) continue;

    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) return 0;  // standard input closed: the process ends like quit
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      const std::vector<std::string> words = splitWords(line);
      if (words.empty()) continue;
      std::string answer;
      if (words[0] == "quit") {
        std::fputs("{\"quit\": true}\n", stdout);
        std::fflush(stdout);
        return 0;
      } else if (words[0] == "send") {
        answer = sendJson(words);
      } else if (words[0] == "notify") {
        answer = notifyJson(words);
      } else if (words[0] == "hooks") {
        answer = hooksJson();
      } else {
        answer = errorJson("unknown command " + words[0] + " (send, notify, hooks, quit)");
      }
      std::fputs((answer + "\n").c_str(), stdout);
      std::fflush(stdout);
    }
  }
}

}  // namespace vyr
