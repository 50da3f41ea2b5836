#include "vyr/roles/settings_messages.hpp"

#include <algorithm>

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
  return {{"type", "request"}, {"id", request.id}, {"op", request.op}, {"body", request.body}};
}

Result<PaneRequest> decodePaneRequest(const child::Message& message) {
  if (message.type != "request") return failed("not a request");
  if (!message.id) return failed("a request without an id");
  const std::string* op = stringMember(message.object, "op");
  const std::string* body = stringMember(message.object, "body");
  if (op == nullptr || body == nullptr) return failed("a request without a string op and body");
  return PaneRequest{*message.id, *op, *body};
}

json encodePaneReply(const PaneReply& reply) {
  return {{"type", "reply"},
          {"id", reply.id},
          {"status", reply.reply.status},
          {"body", reply.reply.json}};
}

Result<PaneReply> decodePaneReply(const child::Message& message) {
  if (message.type != "reply") return failed("not a reply");
  if (!message.id) return failed("a reply without an id");
  const auto status = message.object.find("status");
  if (status == message.object.end() || !status->is_number_integer()) {
    return failed("a reply without a whole status");
  }
  const long long code =
      status->is_number_unsigned()
          ? static_cast<long long>(std::min<std::uint64_t>(status->get<std::uint64_t>(), 1000))
          : status->get<long long>();
  if (code < 100 || code > 599) return failed("a reply whose status is no HTTP status");
  const std::string* body = stringMember(message.object, "body");
  if (body == nullptr) return failed("a reply without a string body");
  PaneReply out;
  out.id = *message.id;
  out.reply.status = static_cast<int>(code);
  out.reply.json = *body;
  return out;
}

}  // namespace vyr::studio
