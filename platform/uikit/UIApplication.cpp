// UIApplication: the process's one application object, and the URLs it can open.
//
// The simulated device has one URL handler: the package manager, which handles "cydia:" URLs
// when it is installed (the device path /Applications/Cydia.app exists). Opening such a URL
// appends it, one per line, to <simulator folder>/opened-urls.log, which is what tests and the
// `vyr` command look at. Every other URL is refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace uikit {
namespace {

// The text of URL (an NSURL; an NSString is taken as it is).
std::string urlText(id url) {
  if (objc::respondsTo(url, objc::sel<"absoluteString">())) {
    return ns::URL(url).absoluteString().str();
  }
  return ns::String(url).str();
}

bool isPackageManagerURL(const std::string& text) {
  constexpr std::string_view kScheme = "cydia:";
  return text.size() >= kScheme.size() &&
         std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

bool packageManagerInstalled() {
  return sim::exists(sim::Area::Device, "/Applications/Cydia.app");
}

// One write with O_APPEND, so that lines from several processes never interleave.
bool appendToLog(const std::string& line) {
  if (sim::makeFolders(sim::Area::Simulator, ".") != 0) return false;
  const sim::Fd log =
      sim::openOrCreate(sim::Area::Simulator, "opened-urls.log", O_WRONLY | O_APPEND);
  if (!log) return false;
  const std::string data = line + "\n";
  return ::write(log.get(), data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

bool canOpen(id url) {
  return url != nullptr && isPackageManagerURL(urlText(url)) && packageManagerInstalled();
}

id appShared(id cls, SEL) {
  static const id shared = [cls] {
    id app = objc::send<"init">(foundation::allocInstance(objc::asClass(cls)));
    foundation::makeImmortal(app);
    return app;
  }();
  return shared;
}

BOOL appCanOpenURL(id, SEL, id url) {
  return canOpen(url) ? objc::yes : objc::no;
}

BOOL appOpenURL(id, SEL, id url) {
  if (!canOpen(url)) return objc::no;
  return appendToLog(urlText(url)) ? objc::yes : objc::no;
}

// Delivers a control's action, as a tap does: ACTION is sent to TARGET with SENDER as its one
// argument (action methods without an argument ignore it). NO when there is no target or it does
// not answer ACTION; this stand-in has no responder chain to search.
BOOL appSendAction(id, SEL, SEL action, id target, id sender, id /*event*/) {
  if (action == nullptr || !objc::respondsTo(target, action)) return objc::no;
  objc::send<void>(target, action, sender);
  return objc::yes;
}

}  // namespace

void registerApplication() {
  objc::ClassBuilder app("UIApplication", objc::getClass("UIResponder"));
  app.classMethod("sharedApplication", &appShared)
      .method("openURL:", &appOpenURL)
      .method("canOpenURL:", &appCanOpenURL)
      .method("sendAction:to:from:forEvent:", &appSendAction);
  app.finish();
}

}  // namespace uikit
