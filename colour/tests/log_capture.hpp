// Captures the log lines (NSLog writes them to standard error) of a piece of code.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace colourtest {

template <class F>
std::vector<std::string> logLinesOf(F&& run) {
  testing::internal::CaptureStderr();
  run();
  std::istringstream text(testing::internal::GetCapturedStderr());
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

// The line logged for a rejected byte of code CODE.
inline std::string invalid(int code) {
  return "Error, invalid char '" + std::to_string(code) + "' in hex number";
}

}  // namespace colourtest
