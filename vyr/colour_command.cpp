// `vyr colour`: the colours that the colour helpers make of colour strings.
//
//   vyr colour STRING ...                  one line per string: {"input": S, "colour": [r, g, b,
//   a]} vyr colour --key KEY [--fallback S]    one line: {"domain": ..., "key": KEY, "fallback": S,
//                                          "colour": [r, g, b, a]}
//
// Strings are read exactly as colorFromDefaultsWithKey reads a stored value (hex part through
// colorFromHex, alpha suffix applied); --key asks colorFromDefaultsWithKey itself, for the
// domain com.belvorin.VYR of the device, so it reads the device's preferences file. Components
// are printed to 17 significant digits; the log lines of rejected hex characters go to standard
// error through NSLog.
#include <cstdio>
#include <string>

#include "colour/colour.hpp"
#include "colour/colour_string.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "vyr/commands.hpp"
#include "vyr/json.hpp"

namespace vyr {
namespace {

constexpr const char* kDomain = "com.belvorin.VYR";
constexpr const char* kDefaultFallback = "#a1a1a1:1.0";

int usage() {
  std::fputs(
      "usage: vyr colour STRING ...\n"
      "       vyr colour --key KEY [--fallback STRING]   (default fallback \"#a1a1a1:1.0\")\n"
      "A STRING that begins with \"--\" follows a lone \"--\".\n",
      stderr);
  return 2;
}

// Prints LINE and flushes, so that each answer is out before the log lines of the next.
void emit(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int colourOfKey(const std::string& key, const std::string& fallback) {
  ns::AutoreleasePool pool;
  const ui::Color colour(colorFromDefaultsWithKey(ns::String::withUTF8(kDomain).get(),
                                                  ns::String::withUTF8(key.c_str()).get(),
                                                  ns::String::withUTF8(fallback.c_str()).get()));
  emit("{\"domain\": " + json::quote(kDomain) + ", \"key\": " + json::quote(key) +
       ", \"fallback\": " + json::quote(fallback) +
       ", \"colour\": " + json::colour(colour.components()) + "}");
  return 0;
}

int coloursOfStrings(const std::vector<std::string>& strings) {
  for (const std::string& text : strings) {
    // One pool per string: each colour is printed and dropped before the next is made.
    ns::AutoreleasePool pool;
    const ui::Color colour(colour::readColourString(ns::String::withUTF8(text.c_str()).get()));
    emit("{\"input\": " + json::quote(text) + ", \"colour\": " + json::colour(colour.components()) +
         "}");
  }
  return 0;
}

}  // namespace

int runColour(const Invocation& inv) {
  const std::vector<std::string>& args = inv.args;
  if (args.empty()) return usage();
  if (args[0] == "--") {
    if (args.size() == 1) return usage();
    return coloursOfStrings({args.begin() + 1, args.end()});
  }
  if (args[0].rfind("--", 0) != 0) return coloursOfStrings(args);

  std::string key;
  std::string fallback = kDefaultFallback;
  bool haveKey = false;
  bool haveFallback = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool isKey = args[i] == "--key";
    const bool isFallback = args[i] == "--fallback";
    if ((!isKey && !isFallback) || i + 1 >= args.size() || (isKey && haveKey) ||
        (isFallback && haveFallback)) {
      return usage();
    }
    (isKey ? key : fallback) = args[++i];
    (isKey ? haveKey : haveFallback) = true;
  }
  if (!haveKey) return usage();
  return colourOfKey(key, fallback);
}

}  // namespace vyr
