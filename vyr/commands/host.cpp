// `vyr host`: one UI process of the simulated device, driven line by line on standard input.
//
// The process starts as a UI process of the device does: it joins the device's process table, the
// substrate loader injects the libraries whose filters match it (VYRSignals among them, whose
// initialisers run right there), and then its main run loop serves two sources: Darwin
// notifications from any process of the device, and the commands on standard input, each answered
// with exactly one line of JSON on standard output. In its sandbox, both come through its front
// end (vyr/attach/process.hpp), which alone holds the terminal.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <csignal>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "device/device.hpp"
#include "device/files.hpp"
#include "device/processes.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"
#include "tweak/elements.hpp"
#include "tweak/hooks.hpp"
#include "vyr/attach/install.hpp"
#include "vyr/attach/process.hpp"
#include "vyr/base/json.hpp"
#include "vyr/base/out.hpp"
#include "vyr/commands/commands.hpp"
#include "vyr/commands/values.hpp"

namespace vyr {
namespace {

const char kHostHelp[] =
    "usage: vyr host [--process NAME]\n"
    "Starts the device's UI process NAME (default SpringBoard; any other name has the UIKit\n"
    "classes only) with VYRSignals injected. It answers commands on standard input, one a\n"
    "line (at most 64 KiB), with one line of JSON each on standard output:\n"
    "  send CLASS SELECTOR [ARG ...]  sends SELECTOR to a new instance of CLASS; ARGs are a\n"
    "                                 colour #rrggbb, #rrggbbaa or #RRGGBB:ALPHA, nil, an\n"
    "                                 integer, a decimal number, YES or NO; a colour result\n"
    "                                 also comes as \"colour\": \"#RRGGBB:ALPHA\"\n"
    "  notify NAME                    posts the Darwin notification NAME on the device\n"
    "  hooks                          each row of the hook table: whether VYRSignals answers\n"
    "                                 it, and if not why (no class, no such method, other\n"
    "                                 argument types)\n"
    "  quit                           ends the process\n"
    "A respring of the device (vyr prefs respring) ends the process as it ends the device's\n"
    "user interface: one line on standard error says so, and the exit status is 3. Nothing\n"
    "starts it again: a process driven by hand is started by hand.\n";

// The exit status of a process that the device's respring ended.
constexpr int kResprung = 3;

std::string errorJson(const std::string& message) {
  return json::line(json::Value::object({{"error", message}}));
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

// Every row of the hook table: whether VYRSignals answers it in this process, and if not, why
// the library installed nothing there.
std::string hooksJson() {
  json::Value out = json::Value::array();
  const HookEntry* table = hookTable();
  for (int i = 0; i < kHookCount; ++i) {
    const HookEntry& row = table[i];
    Class cls = objc::getClass(row.className);
    const InstallCheck check = checkInstall(row, cls);
    const bool replaced = check == InstallCheck::install &&
                          replacedByInjectedLibrary(cls, sel_registerName(row.selector));
    json::Value entry = {
        {"class", row.className}, {"selector", row.selector}, {"replaced", replaced}};
    if (!replaced) {
      entry["why"] =
          check == InstallCheck::install ? "VYRSignals is not loaded here" : describe(check);
    }
    out.push_back(std::move(entry));
  }
  return json::line(out);
}

// Whether SELECTOR names a method of FAMILY in Cocoa's naming rules: the family's word, then
// the end or anything but a lower-case letter ("copy", "copyWithZone:", not "copyright").
bool inFamily(const std::string& selector, const std::string& family) {
  return selector.rfind(family, 0) == 0 &&
         (selector.size() == family.size() ||
          !std::islower(static_cast<unsigned char>(selector[family.size()])));
}

// The command owns the instance it makes and the process owns its autorelease pools: a message
// that ends or keeps the instance, or that makes or drains a pool, would leave the command
// releasing freed memory, leaking, or popping a pool that is not its own.
std::string refusedMessage(Class cls, const std::string& selector) {
  const Class pool = objc::getClass("NSAutoreleasePool");
  for (Class c = cls; c != nullptr; c = class_getSuperclass(c)) {
    if (c == pool) return "the process's autorelease pools are not the command's to make";
  }
  for (const char* memory : {"retain", "release", "autorelease", "dealloc", "drain"}) {
    if (selector == memory) {
      return selector + " manages the instance's memory, which the command itself owns";
    }
  }
  return {};
}

std::string sendJson(const std::vector<std::string>& words) {
  if (words.size() < 3) return errorJson("usage: send CLASS SELECTOR [ARG ...]");
  Class cls = objc::getClass(words[1].c_str());
  if (cls == nullptr) return errorJson("this process has no class " + words[1]);
  const std::string& selector = words[2];
  if (const std::string why = refusedMessage(cls, selector); !why.empty()) {
    return errorJson("cannot send " + selector + " to " + words[1] + ": " + why);
  }
  SEL cmd = sel_registerName(selector.c_str());
  Method method = class_getInstanceMethod(cls, cmd);
  if (method == nullptr) return errorJson(words[1] + " does not answer " + selector);

  // Before the arguments are read: colour arguments are autoreleased into this pool.
  ns::AutoreleasePool pool;
  const std::vector<std::string> args(words.begin() + 3, words.end());
  const Result<MethodCall> call = MethodCall::prepare(method, args);
  if (!call) return errorJson(call.error());

  const bool initialiser = inFamily(selector, "init");
  objc::id receiver = objc::send<"alloc">(cls);
  if (!initialiser) receiver = objc::send<"init">(receiver);

  uikitsim::beginRecording();
  const Value result = call->invoke(receiver, cmd);
  const std::vector<uikitsim::HostCall> hostCalls = uikitsim::takeCalls();

  const uikitsim::HostCall* own = nullptr;
  for (const auto& c : hostCalls) {
    if (c.selector == selector) own = &c;
  }
  // The instance lives for this command only; so does a result the method handed over to the
  // caller (an initialiser's, which is the instance itself, or a copy's or a new one's).
  const ns::Owned<ns::Object> instance(ns::Object(initialiser ? result.object : receiver));
  const bool ownedResult = inFamily(selector, "copy") || inFamily(selector, "mutableCopy") ||
                           inFamily(selector, "new") || inFamily(selector, "alloc");
  const ns::Owned<ns::Object> handedOver(ns::Object(
      !initialiser && ownedResult && result.kind == Value::Kind::object ? result.object : nullptr));
  json::Value answer{
      {"result", result.toJson()},
      {"host", own == nullptr ? json::Value() : json::Value{{"args", hostArgsJson(*own)}}}};
  // Beside the components, the colour string that a profile or `vyr prefs set` takes back.
  if (const std::optional<std::string> text = result.colourString()) answer["colour"] = *text;
  return json::line(answer);
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
  return json::line({{"notified", words[1]}, {"delivered", delivered}});
}

void answer(const std::string& line) {
  printOutput(line + "\n");
  flushOutput();
}

// Answers the command LINE; false for quit, after its answer.
bool serve(const std::string& line) {
  const std::vector<std::string> words = splitWords(line);
  if (words.empty()) return true;
  if (words[0] == "quit") {
    answer(json::line({{"quit", true}}));
    return false;
  }
  if (words[0] == "send") {
    answer(sendJson(words));
  } else if (words[0] == "notify") {
    answer(notifyJson(words));
  } else if (words[0] == "hooks") {
    answer(hooksJson());
  } else {
    answer(errorJson("unknown command " + words[0] + " (send, notify, hooks, quit)"));
  }
  return true;
}

// Whether the device's supervisor told this process that it is ending it; then says so once.
bool resprung() {
  const std::optional<sim::EndNotice> notice = sim::takeEndNotice();
  if (!notice) return false;
  vyr::out::print(stderr, "vyr host: resprung: %s on the device ended this process\n",
                  notice->reason.c_str());
  return true;
}

int runHost(const std::string& processName) {
  // SIGTERM is taken as an event, so that a respring (told first, then signalled) ends the
  // process with its own line and status; any other SIGTERM ends it as SIGTERM does.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &term, nullptr);
  const sim::Fd terminate(::signalfd(-1, &term, SFD_CLOEXEC | SFD_NONBLOCK));
  const auto terminated = [&term] {
    if (resprung()) return kResprung;
    ::sigprocmask(SIG_UNBLOCK, &term, nullptr);
    std::signal(SIGTERM, SIG_DFL);
    ::raise(SIGTERM);
    return 1;
  };
  if (const Result<> started = startUiProcess(processName); !started) {
    vyr::out::print(stderr, "vyr host: %s\n", started.error().c_str());
    return 1;
  }

  // Every byte read is looked at once, so a long line costs linear time. A line that outgrows
  // the limit is answered once and its remaining bytes skipped.
  CommandInput input;
  int supervisor = sim::supervisorDescriptor();
  for (;;) {
    // Negative descriptors are passed over by poll.
    std::array<pollfd, 4> fds{{{input.descriptor(), POLLIN, 0},
                               {terminate.get(), POLLIN, 0},
                               {supervisor, POLLIN, 0},
                               {cfsim::notificationDescriptor(), POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if ((fds[1].revents & POLLIN) != 0) return terminated();
    if ((fds[2].revents & POLLIN) != 0 && resprung()) return kResprung;
    // A supervisor that went away tells nothing more; the process goes on.
    if ((fds[2].revents & (POLLHUP | POLLERR)) != 0) supervisor = -1;
    if ((fds[3].revents & POLLIN) != 0) cfsim::deliverPendingNotifications();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

    bool ended = false;
    for (const child::Line& line : input.read(&ended)) {
      if (line.oversized) {
        answer(errorJson("line longer than " + std::to_string(kLongestInput) + " bytes; skipped"));
      } else if (!serve(line.text)) {
        return 0;
      }
    }
    if (ended) return 0;  // the input ended: the process ends like quit
  }
}

std::optional<Run> parseHost(const std::vector<std::string>& args) {
  std::string processName = "SpringBoard";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--process" && i + 1 < args.size() && !args[i + 1].empty()) {
      processName = args[++i];
    } else {
      vyr::out::print(stderr, "vyr host: unknown option %s (see vyr host --help)\n",
                      args[i].c_str());
      return std::nullopt;
    }
  }
  return Run([processName](const Invocation& invocation) {
    // The front end holds the terminal; the UI process runs in its sandbox and talks through it.
    if (const auto status = handOverToDeviceProcess("host", invocation.args, true)) return *status;
    return commandDone(runHost(processName));
  });
}

}  // namespace

const Command hostCommand{
    "host", nullptr,
    "  host [--process NAME]   start a UI process of the device with VYRSignals injected;\n"
    "                          it answers commands on standard input (send, notify, hooks, quit)\n",
    kHostHelp, &parseHost};

}  // namespace vyr
