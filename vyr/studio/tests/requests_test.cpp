// The studio's gate: which requests reach it, and which bodies it takes.
#include "vyr/studio/requests.hpp"

#include <gtest/gtest.h>

#include "vyr/roles/settings_messages.hpp"

namespace vyr::studio {
namespace {

TEST(StudioRequests, OnlyTheStudiosOwnHostOriginAndTokenPass) {
  const Address a{8642, "00ff00ff00ff00ff"};
  const std::string path = "/00ff00ff00ff00ff/api/set";
  EXPECT_EQ(a.url(), "http://127.0.0.1:8642/00ff00ff00ff00ff/");

  EXPECT_FALSE(refusal(a, "127.0.0.1:8642", std::nullopt, path));
  EXPECT_FALSE(refusal(a, "LocalHost:8642", "http://localhost:8642", path));
  EXPECT_FALSE(refusal(a, "127.0.0.1:8642", "http://127.0.0.1:8642", "/00ff00ff00ff00ff"));

  // DNS rebinding: another name, or the right name on another port.
  for (const char* host : {"evil.example:8642", "127.0.0.1:8643", "127.0.0.1", "", "[::1]:8642",
                           "127.0.0.1:8642.evil.example:8642", "x127.0.0.1:8642"}) {
    EXPECT_TRUE(refusal(a, host, std::nullopt, path)) << host;
  }
  // Cross-site requests, and pages without an origin of their own.
  for (const char* origin : {"http://evil.example", "http://127.0.0.1:8643", "null", "",
                             "https://127.0.0.1:8642", "http://127.0.0.1:8642.evil.example"}) {
    EXPECT_TRUE(refusal(a, "127.0.0.1:8642", origin, path)) << origin;
  }
  // No token, a wrong one, a prefix of it, one with more behind it.
  for (const char* p : {"/", "/api/set", "/00ff00ff00ff00fe/api/set", "/00ff00ff/api/set",
                        "/00ff00ff00ff00ffx/api/set", "/00FF00FF00FF00FF/"}) {
    EXPECT_TRUE(refusal(a, "127.0.0.1:8642", std::nullopt, p)) << p;
  }

  const auto t1 = newToken();
  const auto t2 = newToken();
  ASSERT_TRUE(t1 && t2);
  EXPECT_EQ(t1->size(), 48u);
  EXPECT_NE(*t1, *t2);
}

TEST(StudioRequests, BodiesAreTakenOnlyWhenWellFormed) {
  const auto set = parseSetRow(R"({"key": "sig", "value": "13"})");
  ASSERT_TRUE(set) << set.error();
  EXPECT_EQ(set->key, "sig");
  EXPECT_EQ(set->value, "13");

  for (const char* bad :
       {"", "{", "[]", "\"sig\"", R"({"key": "sig"})", R"({"key": 1, "value": "1"})",
        R"({"key": "sig", "value": 13})", R"({"key": "", "value": "1"})",
        R"({"key": "sig", "value": "1", "extra": 0})", "{\"key\": \"sig\", \"value\": \"a\\nb\"}",
        "{\"key\": \"sig\", \"value\": \"\xff\"}"}) {
    const auto parsed = parseSetRow(bad);
    EXPECT_FALSE(parsed) << bad;
    EXPECT_FALSE(parsed.error().empty()) << bad;
  }
  EXPECT_FALSE(
      parseSetRow(R"({"key": "sig", "value": ")" + std::string(kMaxText + 1, 'a') + "\"}").ok());
  EXPECT_FALSE(parseSetRow(std::string(kMaxBody + 1, ' ') + "{}").ok());

  EXPECT_TRUE(parseTapButton(R"({"label": "Respring"})").ok());
  EXPECT_FALSE(parseTapButton(R"({"label": null})").ok());
  EXPECT_TRUE(parseNoArguments("{}").ok());
  EXPECT_FALSE(parseNoArguments(R"({"now": true})").ok());

  const auto device = parseDeviceChange(R"({"battery": 15, "charging": true, "style": "light"})");
  ASSERT_TRUE(device) << device.error();
  const show::DeviceState s = device->applied({});
  EXPECT_EQ(s.batteryPercent, 15);
  EXPECT_TRUE(s.charging);
  EXPECT_EQ(s.homeStyle, show::kStyleLight);
  EXPECT_EQ(parseDeviceChange(R"({"charging": false})")->applied(s).batteryPercent, 15);
  for (const char* bad : {"{}", R"({"battery": 101})", R"({"battery": -1})", R"({"battery": 1.5})",
                          R"({"battery": "15"})", R"({"charging": 1})", R"({"style": "dark"})",
                          R"({"battery": 18446744073709551615})"}) {
    EXPECT_FALSE(parseDeviceChange(bad).ok()) << bad;
  }
}

// The Settings app's replies are a device process's words: one of the wrong shape is refused
// (and then dropped), never thrown on, and it cannot claim an outcome only the studio's side
// gives (that it could not be reached).
TEST(StudioRequests, PaneRepliesOfTheWrongShapeAreRefused) {
  using Outcome = PaneAnswer::Outcome;
  using Refusal = PaneAnswer::Refusal;
  std::string why;
  const auto decode = [&](const nlohmann::json& j) {
    const auto message = child::parseMessage(j.dump(), &why);
    return message ? decodePaneReply(*message) : Result<PaneReply>(failed(why));
  };
  const auto good = decode(encodePaneReply({7, {Outcome::refused, Refusal::notTaken, "{}"}}));
  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ(good->id, 7u);
  EXPECT_EQ(good->answer.outcome, Outcome::refused);
  EXPECT_EQ(good->answer.refusal, Refusal::notTaken);
  EXPECT_EQ(good->answer.body, "{}");
  const auto sent = decode(encodePaneReply({8, {Outcome::unreachable, Refusal::malformed, "{}"}}));
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->answer.outcome, Outcome::failed);
  for (const char* bad :
       {R"({"type":"reply","outcome":"ok","body":""})", R"({"type":"reply","id":1,"body":""})",
        R"({"type":"reply","id":1,"outcome":200,"body":""})",
        R"({"type":"reply","id":1,"outcome":"unreachable","body":""})",
        R"({"type":"reply","id":1,"outcome":"refused","body":""})",
        R"({"type":"reply","id":1,"outcome":"refused","refusal":"teapot","body":""})",
        R"({"type":"reply","id":1,"outcome":"ok","body":{}})",
        R"({"type":"request","id":1,"op":"show","body":""})"}) {
    const auto message = child::parseMessage(bad, &why);
    EXPECT_FALSE(message && decodePaneReply(*message)) << bad;
  }
  // The Settings app is handed typed values, read from the page's request by the studio.
  const auto page = paneRequestOf("set", R"({"key": "sig", "value": "#ff0000:0.5"})");
  ASSERT_TRUE(page) << page.error();
  PaneRequest asked = *page;
  asked.id = 3;
  const auto request = child::parseMessage(encodePaneRequest(asked).dump(), &why);
  ASSERT_TRUE(request);
  const auto read = decodePaneRequest(*request);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->id, 3u);
  EXPECT_EQ(read->op, "set");
  EXPECT_EQ(read->key, "sig");
  EXPECT_EQ(read->value, "#ff0000:0.5");
  EXPECT_FALSE(paneRequestOf("tap", R"({"key": "sig"})"));
  EXPECT_FALSE(paneRequestOf("undo", R"({"now": 1})"));
  for (const char* bad :
       {R"({"type":"request","op":"show"})", R"({"type":"request","id":1,"op":"set","key":"sig"})",
        R"({"type":"request","id":1,"op":"tap","label":7})"}) {
    const auto message = child::parseMessage(bad, &why);
    ASSERT_TRUE(message) << bad;
    EXPECT_FALSE(decodePaneRequest(*message)) << bad;
  }
}

}  // namespace
}  // namespace vyr::studio
