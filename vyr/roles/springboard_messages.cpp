#include "vyr/roles/springboard_messages.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "colour/colour_string.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "vyr/base/printable.hpp"

namespace vyr::show {

using nlohmann::json;

namespace {

// A member of the wrong kind or value.
struct Wrong : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Readers of one member each; they throw json's exceptions on a member that is missing or of the
// wrong kind, which the codec's reader turns into a refusal.
const json& member(const json& j, const char* name) {
  if (!j.is_object()) throw Wrong("not an object");
  return j.at(name);
}

bool boolOf(const json& j) {
  if (!j.is_boolean()) throw Wrong("not true or false");
  return j.get<bool>();
}

long wholeOf(const json& j, long low, long high) {
  if (!j.is_number_integer()) throw Wrong("not a whole number");
  const long long value = j.is_number_unsigned()
                              ? static_cast<long long>(std::min<std::uint64_t>(
                                    j.get<std::uint64_t>(), std::uint64_t{1} << 62))
                              : j.get<long long>();
  if (value < low || value > high) throw Wrong("out of range");
  return static_cast<long>(value);
}

double unitOf(const json& j) {
  if (!j.is_number()) throw Wrong("not a number");
  const double value = j.get<double>();
  if (!(value >= 0 && value <= 1)) throw Wrong("not 0 to 1");
  return value;
}

// A string member, with every control character spelt out so that nothing the SpringBoard sends
// can drive the terminal or page that shows it.
std::string textOf(const json& j) {
  if (!j.is_string()) throw Wrong("not a string");
  return printable(j.get_ref<const std::string&>());
}

json answerJson(const Answer& a) {
  json colour = nullptr;
  if (a.colour) colour = {a.colour->red, a.colour->green, a.colour->blue, a.colour->alpha};
  return {{"colour", colour}, {"hostsOwn", a.hostsOwn}};
}

json barJson(const BarColours& b) {
  return {{"signal", answerJson(b.signal)},
          {"foreground", answerJson(b.foreground)},
          {"text", answerJson(b.text)},
          {"battery", answerJson(b.battery)},
          {"activity", answerJson(b.activity)}};
}

Answer answerOf(const json& j) {
  Answer a;
  a.hostsOwn = boolOf(member(j, "hostsOwn"));
  const json& c = member(j, "colour");
  if (!c.is_null()) {
    if (!c.is_array() || c.size() != 4) throw Wrong("not a colour");
    a.colour = Rgba{unitOf(c[0]), unitOf(c[1]), unitOf(c[2]), unitOf(c[3])};
  }
  return a;
}

BarColours barOf(const json& j) {
  return {answerOf(member(j, "signal")), answerOf(member(j, "foreground")),
          answerOf(member(j, "text")), answerOf(member(j, "battery")),
          answerOf(member(j, "activity"))};
}

constexpr long kStyleLimit = 1L << 30;

bool settingsFileName(const std::string& name) {
  return name == "ok" || name == "missing" || name == "unreadable" || name == "unreachable";
}

// The reader of one message type: TYPE checked, then READ, whose exceptions become the refusal.
template <typename T, typename Read>
Result<T> decode(const child::Message& message, const char* type, Read read) {
  if (message.type != type) return failed("not a " + std::string(type) + " message");
  try {
    return read(message.object);
  } catch (const std::exception& e) {
    return failed("a " + std::string(type) + " message of the wrong shape (" + e.what() + ")");
  }
}

}  // namespace

json encodeState(const DeviceState& state) {
  return {{"type", "state"},
          {"battery", state.batteryPercent},
          {"charging", state.charging},
          {"style", styleName(state.homeStyle)}};
}

Result<DeviceState> decodeState(const child::Message& message) {
  return decode<DeviceState>(message, "state", [](const json& j) -> Result<DeviceState> {
    DeviceState state;
    state.batteryPercent = static_cast<int>(wholeOf(member(j, "battery"), 0, 100));
    state.charging = boolOf(member(j, "charging"));
    const std::string style = textOf(member(j, "style"));
    if (style != "default" && style != "light") return failed("no such style: " + style);
    state.homeStyle = style == "default" ? kStyleDefault : kStyleLight;
    return state;
  });
}

json encodeScene(const SceneMessage& m) {
  const Scene& scene = m.scene;
  json rows = json::array();
  for (const Row& row : m.rows) {
    rows.push_back({{"screen", row.screen},
                    {"item", row.item},
                    {"element", row.element},
                    {"source", row.source},
                    {"value", row.value}});
  }
  return {{"type", "scene"},
          {"reason", m.reason},
          {"pid", ::getpid()},
          {"ios", scene.iosVersion},
          {"state",
           {{"battery", scene.state.batteryPercent},
            {"charging", scene.state.charging},
            {"style", styleName(scene.state.homeStyle)}}},
          {"lockStyle", styleName(scene.lockStyle)},
          {"lockStyleHostsOwn", scene.lockStyleHostsOwn},
          {"settingsFile", m.settingsFile},
          {"notes", scene.notes},
          {"rows", rows},
          {"scene",
           {{"battery", scene.state.batteryPercent},
            {"charging", scene.state.charging},
            {"homeStyle", scene.state.homeStyle},
            {"home", barJson(scene.home)},
            {"refresh", answerJson(scene.refresh)},
            {"lockStyle", scene.lockStyle},
            {"lock", barJson(scene.lock)},
            {"legibility", answerJson(scene.legibility)}}}};
}

Result<SceneMessage> decodeScene(const child::Message& message) {
  return decode<SceneMessage>(message, "scene", [](const json& j) -> Result<SceneMessage> {
    SceneMessage out;
    out.reason = textOf(member(j, "reason"));
    if (out.reason != "state" && out.reason != "settings") return failed("no such reason");
    if (const auto file = j.find("settingsFile"); file != j.end()) {
      out.settingsFile = textOf(*file);
      if (!settingsFileName(out.settingsFile)) return failed("no such settings file state");
    }
    const json& s = member(j, "scene");
    Scene& scene = out.scene;
    scene.state.batteryPercent = static_cast<int>(wholeOf(member(s, "battery"), 0, 100));
    scene.state.charging = boolOf(member(s, "charging"));
    scene.state.homeStyle = wholeOf(member(s, "homeStyle"), -kStyleLimit, kStyleLimit);
    scene.iosVersion = textOf(member(j, "ios"));
    scene.home = barOf(member(s, "home"));
    scene.refresh = answerOf(member(s, "refresh"));
    scene.lockStyle = wholeOf(member(s, "lockStyle"), -kStyleLimit, kStyleLimit);
    scene.lockStyleHostsOwn = boolOf(member(j, "lockStyleHostsOwn"));
    scene.lock = barOf(member(s, "lock"));
    scene.legibility = answerOf(member(s, "legibility"));
    if (const auto notes = j.find("notes"); notes != j.end()) {
      if (!notes->is_array()) return failed("notes that are no list");
      for (const json& note : *notes) scene.notes.push_back(textOf(note));
    }
    const json& rows = member(j, "rows");
    if (!rows.is_array()) return failed("rows that are no list");
    for (const json& r : rows) {
      out.rows.push_back({textOf(member(r, "screen")), textOf(member(r, "item")),
                          textOf(member(r, "element")), textOf(member(r, "source")),
                          textOf(member(r, "value"))});
    }
    return out;
  });
}

json encodeStartError(const std::string& why) {
  return {{"type", "error"}, {"message", why}};
}

Result<std::string> decodeStartError(const child::Message& message) {
  return decode<std::string>(message, "error", [](const json& j) -> Result<std::string> {
    const auto reason = j.find("message");
    return "SpringBoard could not start: " + (reason != j.end() && reason->is_string()
                                                  ? textOf(*reason)
                                                  : std::string("no reason given"));
  });
}

json pageColour(const std::string& text) {
  ns::AutoreleasePool pool;
  const ns::String string = ns::String::withUTF8(text.c_str());
  if (colour::readsRandomly(string.get())) return nullptr;
  const auto [red, green, blue, alpha] =
      ui::Color(colour::readColourString(string.get())).components();
  const auto unit = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
  const auto byte = [&](double v) { return std::lround(unit(v) * 255); };
  return {{"red", byte(red)}, {"green", byte(green)}, {"blue", byte(blue)}, {"alpha", unit(alpha)}};
}

json pageScene(const SceneMessage& m) {
  json page = encodeScene(m);
  page.erase("scene");
  page.erase("pid");
  // The table's colours are written as colourString writes them, a form that starts with "#" and
  // reads back as itself; its other values ("none", a style) are no colour strings.
  for (json& row : page["rows"]) {
    const std::string& value = row["value"].get_ref<const std::string&>();
    if (value.rfind('#', 0) == 0) row["reads"] = pageColour(value);
  }
  return page;
}

std::optional<SceneMessage> parseSceneMessage(const std::string& line) {
  std::string why;
  const auto message = child::parseMessage(line, &why);
  if (!message) return std::nullopt;
  Result<SceneMessage> scene = decodeScene(*message);
  if (!scene) return std::nullopt;
  return *std::move(scene);
}

std::string springBoardError(const std::string& line) {
  std::string why;
  const auto message = child::parseMessage(line, &why);
  if (!message) return {};
  const Result<std::string> error = decodeStartError(*message);
  return error ? *error : std::string();
}

}  // namespace vyr::show
