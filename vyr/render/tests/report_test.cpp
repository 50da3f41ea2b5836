// How colours print in the table, the terminal drawing of a scene made up here, and what of a
// SpringBoard line reaches the terminal.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "vyr/render/report.hpp"
#include "vyr/render/terminal.hpp"
#include "vyr/roles/springboard.hpp"
#include "vyr/roles/springboard_messages.hpp"

namespace vyrtest {
namespace {

using vyr::show::Rgba;
using vyr::show::Scene;

TEST(Report, ColoursPrintAsRoundedBytesWithAlpha) {
  using vyr::show::hexOf;
  EXPECT_EQ(hexOf(Rgba{2.0 / 3, 2.0 / 3, 2.0 / 3, 1}), "#aaaaaaff");
  EXPECT_EQ(hexOf(Rgba{1, 59 / 255.0, 48 / 255.0, 0.5}), "#ff3b3080");
  EXPECT_EQ(hexOf(Rgba{0, 0, 0, 0}), "#00000000");
  // Components out of range or not numbers never print more than two digits.
  EXPECT_EQ(hexOf(Rgba{-1, 2, std::nan(""), 1e300}), "#00ff00ff");
  EXPECT_EQ(hexOf(std::nullopt), "none");
  // The table's form is the colour cells' own, which the library reads back as the same colour.
  using vyr::show::colourString;
  EXPECT_EQ(colourString(Rgba{76 / 255.0, 217 / 255.0, 100 / 255.0, 1}), "#4CD964:1.000000");
  EXPECT_EQ(colourString(Rgba{0, 1, 0, 128 / 255.0}), "#00FF00:0.501961");
  EXPECT_EQ(colourString(Rgba{-1, 2, std::nan(""), std::nan("")}), "#00FF00:0.000000");
  EXPECT_EQ(colourString(Rgba{1, 1, 1, 7}), "#FFFFFF:1.000000");
  EXPECT_EQ(colourString(std::nullopt), "none");
  // What the studio's page draws is the library's reading, the forms the cells never store
  // included: eight digits are the short form of their first three, an invalid digit reads 0.
  using vyr::show::pageColour;
  const auto page = [](int r, int g, int b, double a) {
    return nlohmann::json{{"red", r}, {"green", g}, {"blue", b}, {"alpha", a}};
  };
  EXPECT_EQ(pageColour("#a1a1a1a1"), page(170, 17, 170, 1));
  EXPECT_EQ(pageColour("#zzzzzz:0.5"), page(0, 0, 0, 0.5));
  EXPECT_EQ(pageColour("12AB34:7"), page(18, 171, 52, 1));
  EXPECT_EQ(pageColour(colourString(Rgba{0, 1, 0, 128 / 255.0})), page(0, 255, 0, 0.501961f));
  // A random colour has no one colour to draw; a lone "#" is black.
  for (const char* random : {"", ":0.5", ":"}) EXPECT_TRUE(pageColour(random).is_null());
  EXPECT_EQ(pageColour("#:0.25"), page(0, 0, 0, 0.25));
}

TEST(Terminal, ElementsShowInTheirColourOverTheirBackground) {
  Scene scene;
  scene.home.signal = {Rgba{1, 0, 0, 1}, false};
  scene.home.text = {Rgba{0, 0, 0, 0.5}, false};  // over the light bar: half grey
  scene.legibility = {Rgba{0, 0.5, 1, 1}, false};
  const std::string text = vyr::show::renderTerminal(scene);
  EXPECT_NE(text.find("\x1b[38;2;255;0;0m\xE2\x97\x8F"), std::string::npos);
  EXPECT_NE(text.find("\x1b[38;2;124;124;124m"), std::string::npos);  // 0xf7 / 2, rounded
  EXPECT_NE(text.find("\x1b[38;2;0;128;255m"), std::string::npos);
  // Elements without a colour are left out: no battery, no spinners.
  EXPECT_EQ(text.find("\xE2\x96\x8C"), std::string::npos);
  EXPECT_EQ(text.find("\xE2\x9C\xBB"), std::string::npos);
  // Fifteen rows of two screens under a caption, each row reset at its end.
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("\x1b[0m\n", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 15u);
}

// The SpringBoard is a device process, where a planted library may write lines of its own: what
// its lines say reaches the table and the error message with its control characters spelt out.
TEST(Report, TextFromTheSpringBoardCannotDriveTheTerminal) {
  using nlohmann::json;
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J\xc2\x9b";
  const std::string escaped = "\\e]0;owned\\x07\\e[2J\\u009b";
  const json none = {{"colour", nullptr}, {"hostsOwn", true}};
  const json bar = {{"signal", none},
                    {"foreground", none},
                    {"text", none},
                    {"battery", none},
                    {"activity", none}};
  const json line = {{"type", "scene"},
                     {"reason", "state"},
                     {"ios", hostile},
                     {"lockStyleHostsOwn", false},
                     {"notes", {hostile}},
                     {"rows",
                      {{{"screen", hostile},
                        {"item", "i"},
                        {"element", "e"},
                        {"source", "s"},
                        {"value", hostile}}}},
                     {"scene",
                      {{"battery", 50},
                       {"charging", false},
                       {"homeStyle", 0},
                       {"home", bar},
                       {"refresh", none},
                       {"lockStyle", 0},
                       {"lock", bar},
                       {"legibility", none}}}};
  const auto message = vyr::show::parseSceneMessage(line.dump());
  ASSERT_TRUE(message);
  const std::string table = vyr::show::formatTable(message->scene, message->rows);
  EXPECT_NE(table.find(escaped), std::string::npos) << table;
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_EQ(vyr::show::springBoardError(json{{"type", "error"}, {"message", hostile}}.dump()),
            "SpringBoard could not start: " + escaped);
}

// Every member of a SpringBoard message is read by its kind: one of the wrong kind or value drops
// the message with a reason, where an unchecked read threw out of the front end or took a number
// out of range.
TEST(Report, SpringBoardMessagesOfTheWrongShapeAreDroppedNotThrownOn) {
  using nlohmann::json;
  vyr::show::SceneMessage sent;
  sent.reason = "settings";
  sent.settingsFile = "ok";
  sent.scene.home.text.colour = Rgba{1, 0, 0, 1};
  sent.rows.push_back({"home", "text", "txt", "VYR", "#ff0000ff"});
  const json good = vyr::show::encodeScene(sent);
  const auto decode = [](const json& j) {
    std::string why;
    const auto message = vyr::child::parseMessage(j.dump(), &why);
    return message ? vyr::show::decodeScene(*message)
                   : vyr::Result<vyr::show::SceneMessage>(vyr::failed(why));
  };
  const auto back = decode(good);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back->scene.home.text.colour, (Rgba{1, 0, 0, 1}));
  EXPECT_EQ(back->rows.size(), 1u);
  EXPECT_EQ(vyr::show::pageScene(*back).value("lockStyle", ""), "default");

  const std::vector<std::pair<json::json_pointer, json>> wrong{
      {json::json_pointer("/type"), 7},
      {json::json_pointer("/reason"), 5},
      {json::json_pointer("/reason"), "anything"},
      {json::json_pointer("/settingsFile"), "/etc/passwd"},
      {json::json_pointer("/scene/battery"), "80"},
      {json::json_pointer("/scene/battery"), 1e300},
      {json::json_pointer("/scene/battery"), 101},
      {json::json_pointer("/scene/charging"), 1},
      {json::json_pointer("/scene/homeStyle"), 18446744073709551615u},
      {json::json_pointer("/scene/home/text/colour"), json::array({1, 0, 0})},
      {json::json_pointer("/scene/home/text/colour"), json::array({1, 0, "0", 1})},
      {json::json_pointer("/scene/home/text/colour"), json::array({2, 0, 0, 1})},
      {json::json_pointer("/scene/lock"), json::array()},
      {json::json_pointer("/rows"), json::object()},
      {json::json_pointer("/rows/0/value"), json::array()},
      {json::json_pointer("/notes"), "a note"},
      {json::json_pointer("/lockStyleHostsOwn"), nullptr},
  };
  for (const auto& [where, value] : wrong) {
    json bad = good;
    bad[where] = value;
    const auto result = decode(bad);
    EXPECT_FALSE(result) << where.to_string();
  }
  json missing = good;
  missing["scene"].erase("legibility");
  EXPECT_FALSE(decode(missing));

  // The state the front end sends, read as strictly on the other side.
  std::string why;
  for (const char* line : {R"({"type":"state","battery":80,"charging":false,"style":"light"})",
                           R"({"type":"state","battery":-1,"charging":false,"style":"light"})",
                           R"({"type":"state","battery":80,"charging":"no","style":"light"})",
                           R"({"type":"state","battery":80,"charging":false,"style":"dim"})"}) {
    const auto message = vyr::child::parseMessage(line, &why);
    ASSERT_TRUE(message) << line;
    EXPECT_EQ(
        static_cast<bool>(vyr::show::decodeState(*message)),
        line == std::string(R"({"type":"state","battery":80,"charging":false,"style":"light"})"))
        << line;
  }
}

}  // namespace
}  // namespace vyrtest
