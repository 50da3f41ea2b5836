#include "vyr/roles/settings_messages.hpp"

#include <cstddef>
#include <optional>

namespace vyr::studio {

using nlohmann::json;

namespace {

// The string member NAME of OBJECT, or nothing.
const std::string* stringMember(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

}  // namespace

json encodePaneRequest(const PaneRequest& request) {
  json out = {{"type", "request"}, {"id", request.id}, {"op", request.op}};
  if (request.op == "set") {
    out["key"] = request.key;
    out["value"] = request.value;
  } else if (request.op == "tap") {
    out["label"] = request.label;
  }
  return out;
}

Result<PaneRequest> decodePaneRequest(const child::Message& message) {
  if (message.type != "request") return failed("not a request");
  if (!message.id) return failed("a request without an id");
  const std::string* op = stringMember(message.object, "op");
  if (op == nullptr) return failed("a request without a string op");
  PaneRequest out{*message.id, *op, {}, {}, {}};
  if (*op == "set") {
    const std::string* key = stringMember(message.object, "key");
    const std::string* value = stringMember(message.object, "value");
    if (key == nullptr || value == nullptr) return failed("a set without a string key and value");
    out.key = *key;
    out.value = *value;
  } else if (*op == "tap") {
    const std::string* label = stringMember(message.object, "label");
    if (label == nullptr) return failed("a tap without a string label");
    out.label = *label;
  }
  return out;
}

namespace {

constexpr const char* kOutcomes[] = {"ok", "refused", "failed"};
constexpr const char* kRefusals[] = {"malformed", "no such", "not now", "not taken"};

// The index of NAME in NAMES, or nothing.
template <std::size_t N>
std::optional<std::size_t> indexOf(const char* const (&names)[N], const std::string& name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == names[i]) return i;
  }
  return std::nullopt;
}

}  // namespace

json encodePaneReply(const PaneReply& reply) {
  const PaneAnswer& answer = reply.answer;
  // Never sent: the Settings app that would say it is the one that could not be reached.
  const PaneAnswer::Outcome outcome = answer.outcome == PaneAnswer::Outcome::unreachable
                                          ? PaneAnswer::Outcome::failed
                                          : answer.outcome;
  json out = {{"type", "reply"},
              {"id", reply.id},
              {"outcome", kOutcomes[static_cast<std::size_t>(outcome)]},
              {"body", answer.body}};
  if (outcome == PaneAnswer::Outcome::refused) {
    out["refusal"] = kRefusals[static_cast<std::size_t>(answer.refusal)];
  }
  return out;
}

Result<PaneReply> decodePaneReply(const child::Message& message) {
  if (message.type != "reply") return failed("not a reply");
  if (!message.id) return failed("a reply without an id");
  const std::string* outcome = stringMember(message.object, "outcome");
  const auto known = outcome != nullptr ? indexOf(kOutcomes, *outcome) : std::nullopt;
  if (!known) return failed("a reply whose outcome is not ok, refused or failed");
  PaneReply out;
  out.id = *message.id;
  out.answer.outcome = static_cast<PaneAnswer::Outcome>(*known);
  if (out.answer.outcome == PaneAnswer::Outcome::refused) {
    const std::string* refusal = stringMember(message.object, "refusal");
    const auto reason = refusal != nullptr ? indexOf(kRefusals, *refusal) : std::nullopt;
    if (!reason) return failed("a refused reply without a known reason");
    out.answer.refusal = static_cast<PaneAnswer::Refusal>(*reason);
  }
  const std::string* body = stringMember(message.object, "body");
  if (body == nullptr) return failed("a reply without a string body");
  out.answer.body = *body;
  return out;
}

}  // namespace vyr::studio
