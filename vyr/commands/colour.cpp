// `vyr colour`: the colours that the colour helpers make of colour strings.
//
//   vyr colour STRING ...
//       one line per string: {"input": S, "colour": [r, g, b, a]}
//   vyr colour --key KEY [--fallback S]
//       one line: {"domain": ..., "key": KEY, "fallback": S, "colour": [r, g, b, a]}
//
// Strings are read exactly as colorFromDefaultsWithKey reads a stored value (hex part through
// colorFromHex, alpha suffix applied); --key asks colorFromDefaultsWithKey itself, for the
// domain com.belvorin.VYR of the device, so it reads the device's preferences file. Components
// are printed to 17 significant digits; the log lines of rejected hex characters go to standard
// error through NSLog.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "colour/colour.hpp"
#include "colour/colour_string.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tweak/elements.hpp"
#include "vyr/base/json.hpp"
#include "vyr/base/out.hpp"
#include "vyr/commands/commands.hpp"

namespace vyr {
namespace {

constexpr const char* kDefaultFallback = kCustomColourFallback;

const char kColourHelp[] =
    "usage: vyr colour STRING ...\n"
    "       vyr colour --key KEY [--fallback STRING]   (default fallback \"#a1a1a1:1.0\")\n"
    "The first form prints, for each colour string, the colour the library reads from such a\n"
    "stored value; the second the colour the library reads for KEY from the device's settings.\n"
    "One line of JSON each; components to 17 significant digits. A STRING that begins with\n"
    "\"--\" follows a lone \"--\".\n";

std::optional<Run> usage() {
  vyr::out::print(stderr,
                  "vyr colour: usage: vyr colour STRING ... | --key KEY [--fallback STRING] (see "
                  "vyr colour --help)\n");
  return std::nullopt;
}

// Prints LINE and flushes, so that each answer is out before the log lines of the next.
void emit(const std::string& line) {
  vyr::out::print(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

int colourOfKey(const std::string& key, const std::string& fallback) {
  ns::AutoreleasePool pool;
  const ui::Color colour(colorFromDefaultsWithKey(ns::String::withUTF8(kDomain).get(),
                                                  ns::String::withUTF8(key.c_str()).get(),
                                                  ns::String::withUTF8(fallback.c_str()).get()));
  emit(json::line({{"domain", kDomain},
                   {"key", key},
                   {"fallback", fallback},
                   {"colour", json::colour(colour.components())}}));
  return 0;
}

int coloursOfStrings(const std::vector<std::string>& strings) {
  for (const std::string& text : strings) {
    // One pool per string: each colour is printed and dropped before the next is made.
    ns::AutoreleasePool pool;
    const ui::Color colour(colour::readColourString(ns::String::withUTF8(text.c_str()).get()));
    emit(json::line({{"input", text}, {"colour", json::colour(colour.components())}}));
  }
  return 0;
}

std::optional<Run> parseColour(const std::vector<std::string>& args) {
  if (args.empty()) return usage();
  if (args[0] == "--") {
    if (args.size() == 1) return usage();
    const std::vector<std::string> strings(args.begin() + 1, args.end());
    return Run([strings](const Invocation&) { return coloursOfStrings(strings); });
  }
  if (args[0].rfind("--", 0) != 0) {
    return Run([args](const Invocation&) { return coloursOfStrings(args); });
  }

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
  return Run([key, fallback](const Invocation&) { return colourOfKey(key, fallback); });
}

}  // namespace

const Command colourCommand{
    "colour", "color",
    "  colour STRING ...       the colour of each colour string, as the library reads it\n"
    "  colour --key KEY [--fallback STRING]\n"
    "                          the colour the library reads for KEY from the device's settings\n",
    kColourHelp, &parseColour};

}  // namespace vyr
