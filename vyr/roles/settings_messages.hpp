// The messages between the studio and its Settings app (settings_app.hpp), each read and
// written here alone, over the child layer's framing (vyr/child/lines.hpp):
//  - "request" (studio to Settings app): {"id", "op"}, OP "show" (the pane as JSON), "profile"
//    (the settings as `vyr export` writes them), "set" (with "key" and "value"), "tap" (with
//    "label"), "respring", "undo" or "reset". The studio reads the page's request; the Settings
//    app is handed only what it asks for, typed;
//  - "reply" (Settings app to studio): {"id" of the request, "outcome": "ok", "refused" or
//    "failed", "refusal" (a refused one's reason: "malformed", "no such", "not now", "not
//    taken"), "body"}. The Settings app says what became of a request; how that is said over
//    HTTP is the studio's to decide.
// Every reader is total: a message of the wrong shape is refused with a few words saying why,
// never thrown on.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "vyr/base/result.hpp"
#include "vyr/child/lines.hpp"

namespace vyr::studio {

struct PaneRequest {
  std::uint64_t id = 0;
  std::string op;
  std::string key;    // "set": the row's key
  std::string value;  // "set": the text typed into it
  std::string label;  // "tap": the button row's label

  // A request of OP that takes no arguments.
  static PaneRequest of(std::string op) {
    PaneRequest request;
    request.op = std::move(op);
    return request;
  }
};

// What became of a request to the Settings app.
struct PaneAnswer {
  enum class Outcome {
    ok,
    refused,      // the request was not carried out, for the refusal's reason; nothing changed
    failed,       // carrying it out failed
    unreachable,  // the studio's own: the Settings app could not be asked or did not answer
  };
  enum class Refusal {
    malformed,  // the body is not a request of its kind
    noSuch,     // what it names is not there (a key, a button)
    notNow,     // it cannot be done in this state (the pane not open, nothing to undo)
    notTaken,   // the row does not take the value
  };
  Outcome outcome = Outcome::ok;
  Refusal refusal = Refusal::malformed;  // when refused
  // JSON: an ok one's result, else {"error": ...}; the profile's property list for "profile".
  std::string body;
};

struct PaneReply {
  std::uint64_t id = 0;
  PaneAnswer answer;
};

nlohmann::json encodePaneRequest(const PaneRequest& request);
Result<PaneRequest> decodePaneRequest(const child::Message& message);

// An unreachable answer is not the Settings app's to give: it is refused on both sides.
nlohmann::json encodePaneReply(const PaneReply& reply);
Result<PaneReply> decodePaneReply(const child::Message& message);

}  // namespace vyr::studio
