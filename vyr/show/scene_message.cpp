// The front end's reading of the SpringBoard's lines.
#include <nlohmann/json.hpp>

#include "vyr/printable.hpp"
#include "vyr/show/springboard.hpp"

namespace vyr::show {

using nlohmann::json;

namespace {

// Throws json's exceptions on a member of the wrong kind; the caller takes that as no scene.
Answer answerOf(const json& j) {
  Answer a;
  a.hostsOwn = j.at("hostsOwn").get<bool>();
  const json& c = j.at("colour");
  if (!c.is_null()) {
    a.colour = Rgba{c.at(0).get<double>(), c.at(1).get<double>(), c.at(2).get<double>(),
                    c.at(3).get<double>()};
  }
  return a;
}

BarColours barOf(const json& j) {
  return {answerOf(j.at("signal")), answerOf(j.at("foreground")), answerOf(j.at("text")),
          answerOf(j.at("battery")), answerOf(j.at("activity"))};
}

// A string member of a SpringBoard line. The SpringBoard is a device process, in which any
// library of the device may run and write lines of its own: its text is taken with every control
// character spelt out, so that nothing it sends can drive the terminal that shows it.
std::string textOf(const json& j) {
  return printable(j.get<std::string>());
}

}  // namespace

std::string springBoardError(const std::string& line) {
  const json message = json::parse(line, nullptr, false);
  if (!message.is_object() || message.value("type", "") != "error") return {};
  const auto reason = message.find("message");
  return "SpringBoard could not start: " + (reason != message.end() && reason->is_string()
                                                ? textOf(*reason)
                                                : std::string("no reason given"));
}

std::optional<SceneMessage> parseSceneMessage(const std::string& line) {
  const json message = json::parse(line, nullptr, false);
  if (!message.is_object() || message.value("type", "") != "scene") return std::nullopt;
  try {
    SceneMessage out;
    out.reason = textOf(message.at("reason"));
    const json& s = message.at("scene");
    Scene& scene = out.scene;
    scene.state.batteryPercent = s.at("battery").get<int>();
    scene.state.charging = s.at("charging").get<bool>();
    scene.state.homeStyle = s.at("homeStyle").get<long>();
    scene.iosVersion = textOf(message.at("ios"));
    scene.home = barOf(s.at("home"));
    scene.refresh = answerOf(s.at("refresh"));
    scene.lockStyle = s.at("lockStyle").get<long>();
    scene.lockStyleHostsOwn = message.at("lockStyleHostsOwn").get<bool>();
    scene.lock = barOf(s.at("lock"));
    scene.legibility = answerOf(s.at("legibility"));
    if (const auto notes = message.find("notes"); notes != message.end()) {
      for (const json& note : notes->get_ref<const json::array_t&>()) {
        scene.notes.push_back(textOf(note));
      }
    }
    for (const json& r : message.at("rows")) {
      out.rows.push_back({textOf(r.at("screen")), textOf(r.at("item")), textOf(r.at("element")),
                          textOf(r.at("source")), textOf(r.at("value"))});
    }
    return out;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace vyr::show
