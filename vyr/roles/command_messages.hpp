// The messages between the front end of `vyr host` or `vyr prefs` and its device process (the
// same command run again in the device's sandbox), each read and written here alone, over the
// child layer's framing (vyr/child/lines.hpp):
//  - "in" (front end to device process): {"line": TEXT}, one line of the command's standard
//    input without its newline, or {"long": true}: a line longer than the command takes, whose
//    bytes are not sent;
//  - "end" (front end to device process): the command's standard input ended;
//  - "out" (device process to front end): {"text": TEXT}, the next piece of the command's own
//    output (its answers, the pane it shows), which the front end alone prints;
//  - "done" (device process to front end): {"status": 0 to 255}, the command finished with that
//    exit status; nothing follows it.
// Whatever a library of the device writes to the process's standard output is none of these: the
// front end shows it only as a diagnostic. Every reader is total: a message of the wrong shape is
// refused with a few words saying why, never thrown on.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "vyr/base/result.hpp"
#include "vyr/child/lines.hpp"

namespace vyr::command {

// One message of the front end's: an input line (LONG: one that was too long, TEXT empty), or
// the end of the input (END).
struct Input {
  std::string line;
  bool isLong = false;
  bool end = false;
};
nlohmann::json encodeInput(const Input& input);
Result<Input> decodeInput(const child::Message& message);

// One message of the device process's: a piece of output, or the command's exit status (DONE).
struct Output {
  std::string text;
  bool done = false;
  int status = 0;
};
nlohmann::json encodeOutput(std::string_view text);
nlohmann::json encodeDone(int status);
Result<Output> decodeOutput(const child::Message& message);

}  // namespace vyr::command
