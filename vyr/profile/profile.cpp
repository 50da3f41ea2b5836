#include "vyr/profile/profile.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "device/files.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/facade.hpp"
#include "tweak/elements.hpp"

namespace vyr::profile {
namespace {

using preferences::settings::Change;
using preferences::settings::Pane;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A plain decimal from 0 to 1, as the colour cells write the alpha.
bool plainAlpha(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  double value = -1;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  return err == std::errc() && end == text.data() + text.size() && value >= 0 && value <= 1;
}

std::string keyOf(ps::Specifier specifier) {
  ns::Object key(specifier.propertyForKey(ns::String::literal<"key">()));
  return key.isKindOfClass(ns::String::cls()) ? ns::String(key.get()).str() : std::string();
}

bool isNumber(ns::Object value, const char* types) {
  return value.isKindOfClass(ns::Number::cls()) &&
         std::string(types).find(ns::Number(value.get()).objCType()) != std::string::npos &&
         !ns::Number(value.get()).objCType().empty();
}
bool isBoolean(ns::Object value) {
  return isNumber(value, "c");
}
bool isInteger(ns::Object value) {
  return isNumber(value, "qQ");
}

std::string kindName(Kind kind) {
  switch (kind) {
    case Kind::boolean:
      return "a Boolean (<true/> or <false/>)";
    case Kind::preset:
      return "a preset number (<integer>)";
    case Kind::colour:
      return "a colour string (<string>#RRGGBB:ALPHA</string>)";
  }
  return "";
}

// Why VALUE is not what SETTING stores; nothing when it is.
std::optional<std::string> valueProblem(ns::Object value, const Setting& setting) {
  switch (setting.kind) {
    case Kind::boolean:
      if (isBoolean(value)) return std::nullopt;
      break;
    case Kind::preset:
      if (!isInteger(value)) break;
      if (const long long n = ns::Number(value.get()).longLongValue();
          std::find(setting.presets.begin(), setting.presets.end(), n) == setting.presets.end()) {
        return "preset " + std::to_string(n) + " is not offered by its row (" +
               (setting.presets.empty() ? std::string("none is")
                                        : std::to_string(setting.presets.front()) + " to " +
                                              std::to_string(setting.presets.back()) + " are") +
               ")";
      }
      return std::nullopt;
    case Kind::colour:
      if (!value.isKindOfClass(ns::String::cls())) break;
      if (auto why = colourStringProblem(ns::String(value.get()).str())) return why;
      return std::nullopt;
  }
  return "holds another kind of value than its row stores: it takes " + kindName(setting.kind);
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

// VALUE, which passed the check for SETTING (or is the pane's default), as a property-list value.
std::string xmlValue(ns::Object value, Kind kind) {
  if (kind == Kind::boolean) return value.boolValue() ? "<true/>" : "<false/>";
  if (kind == Kind::preset) {
    return "<integer>" + std::to_string(ns::Number(value.get()).longLongValue()) + "</integer>";
  }
  return "<string>" + xmlEscaped(ns::String(value.get()).str()) + "</string>";
}

// The text a user types into a row to pick VALUE.
std::string typedText(ns::Object value) {
  if (isBoolean(value)) return value.boolValue() ? "YES" : "NO";
  if (value.isKindOfClass(ns::Number::cls())) {
    return std::to_string(ns::Number(value.get()).longLongValue());
  }
  if (value.isKindOfClass(ns::String::cls())) return ns::String(value.get()).str();
  return {};
}

}  // namespace

std::optional<std::string> colourStringProblem(const std::string& text) {
  const std::size_t colon = text.find(':');
  std::string hex = text.substr(0, colon);
  if (!hex.empty() && hex[0] == '#') hex.erase(0, 1);
  const bool digitsOnly =
      std::all_of(hex.begin(), hex.end(), [](char c) { return hexDigit(c) >= 0; });
  if (hex.empty()) return "'" + text + "' has no hex digits: the library makes a random colour";
  if (hex.size() != 3 && hex.size() != 6) {
    // The library reads any other length from its first three bytes, each doubled.
    std::string read = "#";
    for (std::size_t i = 0; i < 3 && i < hex.size(); ++i) read += std::string(2, hex[i]);
    std::string line = "'" + text + "' has " + std::to_string(hex.size()) +
                       " hex digits; the library reads it from its first three, as " + read;
    if (hex.size() == 8 && digitsOnly && colon == std::string::npos) {
      char form[32];
      std::snprintf(form, sizeof form, "#%c%c%c%c%c%c:%.6f", std::toupper(hex[0]),
                    std::toupper(hex[1]), std::toupper(hex[2]), std::toupper(hex[3]),
                    std::toupper(hex[4]), std::toupper(hex[5]),
                    (hexDigit(hex[6]) * 16 + hexDigit(hex[7])) / 255.0);
      line += std::string(" (#RRGGBBAA is written #RRGGBB:ALPHA: ") + form + ")";
    }
    return line;
  }
  if (!digitsOnly) {
    return "'" + text + "' holds a character that is no hex digit, which the library reads as 0";
  }
  if (colon == std::string::npos) return std::nullopt;
  const std::string alpha = text.substr(colon + 1);
  if (alpha.find(':') != std::string::npos) {
    return "'" + text + "' has more than one ':'; the library ignores what follows the second";
  }
  if (!plainAlpha(alpha)) {
    return "'" + text + "': the alpha '" + alpha + "' is no number from 0 to 1";
  }
  return std::nullopt;
}

std::vector<Setting> settingsOf(const Pane* pane) {
  std::vector<Setting> out;
  if (pane == nullptr) {
    for (const ElementNames& e : kElements) {
      std::vector<long long> presets;
      for (int i = 1; i <= kPaletteSize; ++i) presets.push_back(i);
      out.push_back({e.enableKey, Kind::boolean, {}, {}});
      out.push_back({e.presetKey, Kind::preset, presets, {}});
      out.push_back({e.customSwitchKey, Kind::boolean, {}, {}});
      out.push_back({e.customColourKey, Kind::colour, {}, {}});
    }
    out.push_back({kLockScreenSameKey, Kind::boolean, {}, {}});
    return out;
  }
  const ps::ListController list(pane->controller());
  const ns::Array specifiers = list.specifiers();
  for (unsigned long i = 0, n = specifiers.count(); i < n; ++i) {
    const ps::Specifier specifier(specifiers.objectAtIndex(i));
    if (specifier.cellType() == ps::CellType::Group) continue;
    Setting setting;
    setting.key = keyOf(specifier);
    if (setting.key.empty()) continue;
    const ns::Object cell(list.cachedCellForSpecifier(specifier));
    const std::string cellClass = cell ? objc::className(cell.get()) : "";
    const ns::Array values = specifier.values();
    if (values.count() > 0) {
      setting.kind = Kind::preset;
      for (unsigned long v = 0, count = values.count(); v < count; ++v) {
        const ns::Object value(values.objectAtIndex(v));
        if (isInteger(value)) setting.presets.push_back(ns::Number(value.get()).longLongValue());
      }
      std::sort(setting.presets.begin(), setting.presets.end());
    } else if (cellClass == "PSSwitchTableCell") {
      setting.kind = Kind::boolean;
    } else if (cellClass == "PFSimpleLiteColorCell") {
      setting.kind = Kind::colour;
    } else {
      continue;  // a cell VYR's pane does not have
    }
    setting.defaultValue = ns::Object(specifier.propertyForKey(ns::String::literal<"default">()));
    if (setting.defaultValue && valueProblem(setting.defaultValue, setting))
      setting.defaultValue = {};
    out.push_back(std::move(setting));
  }
  return out;
}

std::vector<std::string> check(ns::Dictionary profile, const std::vector<Setting>& settings) {
  std::vector<std::string> problems;
  const ns::Array keys(objc::send<"allKeys", objc::id>(profile.get()));
  std::vector<std::string> names;
  for (unsigned long i = 0, n = keys.count(); i < n; ++i) {
    const ns::Object key(keys.objectAtIndex(i));
    names.push_back(key.isKindOfClass(ns::String::cls()) ? ns::String(key.get()).str() : "");
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const auto setting = std::find_if(settings.begin(), settings.end(),
                                      [&](const Setting& s) { return s.key == name; });
    if (setting == settings.end()) {
      problems.push_back(name +
                         ": no row of the pane has this key, and the library reads no such key");
      continue;
    }
    const ns::Object value(profile.objectForKey(ns::String::withUTF8(name.c_str()).get()));
    if (auto why = valueProblem(value, *setting)) problems.push_back(name + ": " + *why);
  }
  return problems;
}

Result<std::string> exportProfile(const std::vector<Setting>& settings,
                                  std::vector<std::string>* leftOut) {
  ns::AutoreleasePool pool;
  const ns::Owned<ns::Dictionary> file =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(kPreferencesPath));
  if (!file && sim::exists(sim::Area::Device, kPreferencesPath)) {
    return failed(std::string("the settings file ") + kPreferencesPath +
                  " cannot be read as a property list with a dictionary at its root");
  }
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  std::vector<std::string> seen;
  for (const Setting& setting : settings) {
    if (std::find(seen.begin(), seen.end(), setting.key) != seen.end()) continue;
    seen.push_back(setting.key);
    ns::Object value;
    if (file)
      value = ns::Object(file->objectForKey(ns::String::withUTF8(setting.key.c_str()).get()));
    if (value) {
      if (auto why = valueProblem(value, setting)) {
        if (leftOut != nullptr) {
          leftOut->push_back(setting.key + ": " + *why + "; the pane's default is written instead");
        }
        value = {};
      }
    }
    if (!value) value = setting.defaultValue;
    if (!value) continue;
    out +=
        "\t<key>" + xmlEscaped(setting.key) + "</key>\n\t" + xmlValue(value, setting.kind) + "\n";
  }
  out += "</dict>\n</plist>\n";
  if (file && leftOut != nullptr) {
    for (const std::string& problem : check(file.get(), settings)) {
      if (problem.find(": no row of the pane") != std::string::npos) {
        leftOut->push_back(problem + "; left out");
      }
    }
  }
  return out;
}

std::optional<std::string> unreadableSettingsNote() {
  ns::AutoreleasePool pool;
  if (!sim::exists(sim::Area::Device, kPreferencesPath)) return std::nullopt;
  const ns::Owned<ns::Dictionary> file =
      ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(kPreferencesPath));
  if (file) return std::nullopt;
  std::string note = std::string("the settings file ") + kPreferencesPath +
                     " cannot be read as a property list with a dictionary at its root: a running "
                     "process keeps what it read last, a new one and the pane show the defaults, "
                     "and the pane's next change keeps the file aside and starts a new one";
  if (const auto kept = preferences::newestUnreadableCopy(kDomain)) {
    note += "; an unreadable file was kept earlier as " + *kept;
  }
  return note;
}

Result<int> resetToDefaults(const Pane& pane) {
  ns::AutoreleasePool pool;
  int done = 0;
  for (const Setting& setting : settingsOf(&pane)) {
    if (!setting.defaultValue) continue;
    switch (pane.set(setting.key, typedText(setting.defaultValue))) {
      case Change::Done:
        ++done;
        break;
      case Change::NotWritten:
        return failed(pane.writeProblem());
      case Change::Refused:
        return failed("the row of '" + setting.key + "' refused its own default");
      case Change::NoSuchKey:
      case Change::NotEditable:
        break;
    }
  }
  return done;
}

}  // namespace vyr::profile
