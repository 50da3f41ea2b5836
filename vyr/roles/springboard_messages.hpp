// The messages between a front end and its SpringBoard (springboard.hpp), each read and written
// here alone, over the child layer's framing (vyr/child/lines.hpp):
//  - "state" (front end to SpringBoard): {"battery": 0 to 100, "charging": bool, "style":
//    "default" or "light"}: the device state to draw for;
//  - "scene" (SpringBoard to front end): what it shows, after each state and each change of the
//    settings (SceneMessage);
//  - "error" (SpringBoard to front end): {"message"}: why it could not start; it ends after it.
// Every reader is total: a message of the wrong shape is refused with a few words saying why,
// never thrown on. Text read from the SpringBoard (a device process, where any planted library
// may write) comes back with its control characters spelt out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vyr/base/result.hpp"
#include "vyr/child/lines.hpp"
#include "vyr/render/report.hpp"
#include "vyr/render/scene.hpp"

namespace vyr::show {

// {"type": "scene", "reason": "state" or "settings", "pid", "ios", "state": {"battery",
// "charging", "style"}, "lockStyle", "lockStyleHostsOwn", "settingsFile" ("ok", "missing",
// "unreadable", "unreachable"), "notes", "rows": [{"screen", "item", "element", "source",
// "value"}], "scene": every colour of the scene}.
struct SceneMessage {
  Scene scene;
  std::vector<Row> rows;
  std::string reason;        // "state" or "settings"
  std::string settingsFile;  // one of the four above; empty when the message did not say
};

nlohmann::json encodeState(const DeviceState& state);
Result<DeviceState> decodeState(const child::Message& message);

nlohmann::json encodeScene(const SceneMessage& scene);
Result<SceneMessage> decodeScene(const child::Message& message);

nlohmann::json encodeStartError(const std::string& why);
// "SpringBoard could not start: WHY".
Result<std::string> decodeStartError(const child::Message& message);

// What the studio's page is told of a scene (its "phone" event, before the picture is added):
// the scene message's own members, less the colours; each row whose value is a colour string
// has it read as "reads" (pageColour).
nlohmann::json pageScene(const SceneMessage& scene);

// How the library reads colour string TEXT (colour::readColourString: the hex part through
// colorFromHex, then the alpha suffix), for the page to draw without reading the string itself:
// {"red", "green", "blue"} as bytes 0 to 255 and "alpha" from 0 to 1; null when the reading is a
// random colour, another on every reading. Reading a string with invalid hex digits writes the
// library's log lines, as it does on the device.
nlohmann::json pageColour(const std::string& text);

// The scene one line carries, or nothing (another type, or malformed).
std::optional<SceneMessage> parseSceneMessage(const std::string& line);
// What an error line says ("SpringBoard could not start: ..."); empty for any other line.
std::string springBoardError(const std::string& line);

}  // namespace vyr::show
