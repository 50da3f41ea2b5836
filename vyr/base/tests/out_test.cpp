#include "vyr/base/out.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using vyr::out::format;

// Device text handed to any %s is spelt out; the format's own characters, numbers and the
// flags, widths and precisions of each conversion are printf's.
TEST(OutSink, EscapesEveryStringArgumentAndFormatsTheRestLikePrintf) {
  EXPECT_EQ(format("%s\n", "\x1b]0;owned\x07\r\n\xc2\x9b"), "\\e]0;owned\\x07\\r\\n\\u009b\n");
  // Width and precision count the escaped text, so columns line up as they are shown.
  EXPECT_EQ(format("[%-6s|%4s|%.3s]", "a\x1b", "\t", "\x1b[2J"), "[a\\e   |  \\t|\\e[]");
  EXPECT_EQ(format("%*s|%-*.*s|", 5, "ab", 4, 1, "xyz"), "   ab|x   |");
  EXPECT_EQ(format("%d %5.2f %lu %zu %lld %x %c %c %%", -3, 2.5, 7ul, std::size_t{8}, -9ll, 255u,
                   'k', '\x1b'),
            "-3  2.50 7 8 -9 ff k \\e %");
  // Escaping twice changes nothing: text escaped by a caller is not escaped again.
  EXPECT_EQ(format("%s", format("%s", "\x1b\\e").c_str()), "\\e\\e");
  // Longer than any buffer of a conversion.
  const std::string longText(1000, 'x');
  EXPECT_EQ(format("%s!", (longText + "\n").c_str()), longText + "\\n!");
}

// `vyr host` answers are JSON lines printed through %s: the C1 controls that a JSON dump leaves
// raw come out as JSON escapes, and the line still reads back as what was sent.
TEST(OutSink, JsonThroughTheSinkStaysJsonWithItsC1ControlsEscaped) {
  const nlohmann::json answer = {{"value", "a\xc2\x9b[2Jb\x1b"}, {"n", 1}};
  const std::string line = format("%s", answer.dump().c_str());
  EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << line;
  EXPECT_EQ(nlohmann::json::parse(line), answer);
}

// Lines the program built keep their newlines; a control character inside a line does not.
TEST(OutSink, LinesKeepTheirNewlinesOnly) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(vyr::out::lines(file, "usage: vyr\n\n  a\rb\x1b[2J\nlast"));
  std::rewind(file);
  char read[128] = {};
  const std::size_t n = std::fread(read, 1, sizeof read - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(read, n), "usage: vyr\n\n  a\\rb\\e[2J\nlast");
}

}  // namespace
