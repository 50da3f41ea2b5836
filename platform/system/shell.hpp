// The device's shell as far as the system uses it: the two commands it runs, parsed strictly.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace libsystem::shell {

struct Refused {};  // not a command this shell runs: status 127
struct RemoveTree {
  std::string devicePath;
};
struct KillAll {
  int signalNumber = 0;  // -1 when the signal was not understood
  std::string name;
};
using Command = std::variant<Refused, RemoveTree, KillAll>;

// The command COMMAND stands for; see libsystem::system for the accepted forms.
Command parse(std::string_view command);

// The signal number of TEXT as killall takes it after the '-': "9", "KILL", "SIGKILL"; -1 when
// it is none.
int signalNumber(std::string_view text);

// What a command did, in words, and what a killall ended.
struct Outcome {
  std::string words;
  std::vector<std::string> ended;
};

// Runs COMMAND and returns its exit status (not yet shifted); OUTCOME, when given, says what it
// did.
int run(const Command& command, Outcome* outcome = nullptr);

}  // namespace libsystem::shell
