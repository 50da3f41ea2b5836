// The messages between the studio and its Settings app (settings_app.hpp), each read and
// written here alone, over the child layer's framing (vyr/child/lines.hpp):
//  - "request" (studio to Settings app): {"id", "op", "body"}, OP "show" (the pane as JSON),
//    "profile" (the settings as `vyr export` writes them), "set", "tap", "respring", "undo" or
//    "reset" (BODY the page's request body);
//  - "reply" (Settings app to studio): {"id" of the request, "status": an HTTP status, "body"}.
// Every reader is total: a message of the wrong shape is refused with a few words saying why,
// never thrown on.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "vyr/base/result.hpp"
#include "vyr/child/lines.hpp"
#include "vyr/studio/server.hpp"

namespace vyr::studio {

struct PaneRequest {
  std::uint64_t id = 0;
  std::string op;
  std::string body;
};

struct PaneReply {
  std::uint64_t id = 0;
  Reply reply;  // only status and json (the body) cross
};

nlohmann::json encodePaneRequest(const PaneRequest& request);
Result<PaneRequest> decodePaneRequest(const child::Message& message);

nlohmann::json encodePaneReply(const PaneReply& reply);
Result<PaneReply> decodePaneReply(const child::Message& message);

}  // namespace vyr::studio
