#include "vyr/roles/command_messages.hpp"

namespace vyr::command {

using nlohmann::json;

json encodeInput(const Input& input) {
  if (input.end) return {{"type", "end"}};
  if (input.isLong) return {{"type", "in"}, {"long", true}};
  return {{"type", "in"}, {"line", input.line}};
}

Result<Input> decodeInput(const child::Message& message) {
  const json& j = message.object;
  Input input;
  if (message.type == "end") {
    input.end = true;
    return input;
  }
  if (message.type != "in") return failed("not an input message");
  if (const auto line = j.find("line"); line != j.end() && line->is_string()) {
    input.line = line->get<std::string>();
    return input;
  }
  if (const auto isLong = j.find("long"); isLong != j.end() && *isLong == true) {
    input.isLong = true;
    return input;
  }
  return failed("an input message with neither a string \"line\" nor \"long\"");
}

json encodeOutput(std::string_view text) {
  return {{"type", "out"}, {"text", std::string(text)}};
}

json encodeDone(int status) {
  return {{"type", "done"}, {"status", status}};
}

Result<Output> decodeOutput(const child::Message& message) {
  const json& j = message.object;
  Output output;
  if (message.type == "out") {
    const auto text = j.find("text");
    if (text == j.end() || !text->is_string()) return failed("an out message with no string text");
    output.text = text->get<std::string>();
    return output;
  }
  if (message.type == "done") {
    const auto status = j.find("status");
    if (status == j.end() || !status->is_number_unsigned() || status->get<std::uint64_t>() > 255) {
      return failed("a done message with no status from 0 to 255");
    }
    output.done = true;
    output.status = static_cast<int>(status->get<std::uint64_t>());
    return output;
  }
  return failed("not an output message");
}

}  // namespace vyr::command
