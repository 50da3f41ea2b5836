// What the fuzz targets found, replayed: each file under tests/hostile/found-by-fuzzing/<target>/
// once made its target crash or fail a check, and runs through the very round of that target here,
// as a test of its own (in a process of its own). The seed corpus of each target runs as well, so
// that the normal build notices a round that breaks on an input the fuzzers start from.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/rounds/host_round.hpp"
#include "fuzz/rounds/pane_round.hpp"

namespace vyrtest {
namespace {

namespace fs = std::filesystem;

struct Input {
  std::string target;  // the fuzz target's corpus name: colour_string, prefs_file, pane
  fs::path file;
};

// How a test's name shows its input.
void PrintTo(const Input& input, std::ostream* out) {
  *out << input.target << "/" << input.file.filename().string();
}

std::vector<Input> inputsUnder(const fs::path& folder) {
  std::vector<Input> inputs;
  std::error_code ec;
  for (const auto& target : fs::directory_iterator(folder, ec)) {
    if (!target.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(target.path())) {
      if (file.is_regular_file() && file.path().filename() != "README.md") {
        inputs.push_back({target.path().filename().string(), file.path()});
      }
    }
  }
  std::sort(inputs.begin(), inputs.end(),
            [](const Input& a, const Input& b) { return a.file < b.file; });
  return inputs;
}

std::string bytesOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs INPUT through the round of its target; false for a folder that names no target.
bool replay(const Input& input) {
  const std::string bytes = bytesOf(input.file);
  if (input.target == "colour_string") {
    vyrfuzz::colourStringRound(bytes);
  } else if (input.target == "prefs_file") {
    vyrfuzz::prefsFileRound(bytes);
  } else if (input.target == "pane") {
    vyrfuzz::paneRound(bytes);
  } else {
    return false;
  }
  return true;
}

class Regression : public ::testing::TestWithParam<Input> {};

TEST_P(Regression, RunsThroughItsRound) {
  EXPECT_TRUE(replay(GetParam())) << "no fuzz target named " << GetParam().target;
}

std::string testName(const ::testing::TestParamInfo<Input>& info) {
  std::string name = info.param.target + "_" + info.param.file.filename().string();
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Found, Regression,
                         ::testing::ValuesIn(inputsUnder(VYR_HOSTILE_DATA "/found-by-fuzzing")),
                         testName);

TEST(SeedCorpus, EverySeedRunsThroughItsRound) {
  const std::vector<Input> seeds = inputsUnder(VYR_SOURCE_DIR "/fuzz/corpus");
  ASSERT_FALSE(seeds.empty());
  for (const Input& seed : seeds) {
    SCOPED_TRACE(seed.file.string());
    EXPECT_TRUE(replay(seed));
  }
}

}  // namespace
}  // namespace vyrtest
