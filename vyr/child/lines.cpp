#include "vyr/child/lines.hpp"

#include "vyr/base/printable.hpp"

namespace vyr::child {

using nlohmann::json;

void LineReader::feed(std::string_view data, std::vector<Line>& out) {
  while (!data.empty()) {
    const std::size_t nl = data.find('\n');
    const std::string_view part = data.substr(0, nl);
    if (skipping_) {
      // Dropped already; its bytes are not kept.
    } else if (pending_.size() + part.size() > max_) {
      pending_.clear();
      pending_.shrink_to_fit();
      skipping_ = true;
      out.push_back({{}, true});
    } else {
      pending_.append(part);
    }
    if (nl == std::string_view::npos) return;
    if (!skipping_) out.push_back({std::move(pending_), false});
    pending_.clear();
    skipping_ = false;
    data.remove_prefix(nl + 1);
  }
}

std::optional<Message> parseMessage(std::string_view line, std::string* why) {
  json object = json::parse(line, nullptr, false);
  if (object.is_discarded()) {
    *why = "not JSON";
    return std::nullopt;
  }
  if (!object.is_object()) {
    *why = "not an object";
    return std::nullopt;
  }
  const auto type = object.find("type");
  if (type == object.end() || !type->is_string()) {
    *why = "no string \"type\"";
    return std::nullopt;
  }
  Message message;
  message.type = type->get<std::string>();
  if (const auto id = object.find("id"); id != object.end()) {
    if (!id->is_number_unsigned()) {
      *why = "an \"id\" that is no whole number";
      return std::nullopt;
    }
    message.id = id->get<std::uint64_t>();
  }
  message.object = std::move(object);
  return message;
}

std::string encodeMessage(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string droppedLine(std::string_view name, std::string_view why) {
  return printable(std::string(name) + " sent a message that is dropped: " + std::string(why));
}

bool BadMessages::add(Clock::time_point now) {
  times_.push_back(now);
  while (now - times_.front() > window_) times_.pop_front();
  if (static_cast<int>(times_.size()) < limit_) return false;
  times_.clear();
  return true;
}

}  // namespace vyr::child
