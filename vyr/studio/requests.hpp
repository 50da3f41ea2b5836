// What the studio's server accepts: which requests may reach it at all, and the bodies of the
// requests that change something, read into typed values. Pure functions of their inputs, so
// that every refusal can be tested without a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vyr/base/result.hpp"
#include "vyr/render/scene.hpp"
#include "vyr/roles/settings_messages.hpp"

namespace vyr::studio {

// The studio as a browser reaches it: http://127.0.0.1:PORT/TOKEN/.
struct Address {
  int port = 0;
  std::string token;
  std::string url() const;     // "http://127.0.0.1:PORT/TOKEN/"
  std::string prefix() const;  // "/TOKEN"
};

// A random token for the studio's URL: 48 hexadecimal digits from the kernel's random source.
// Nothing when that source fails.
std::optional<std::string> newToken();

// Why a request must be refused, or nothing when it may go on. HOST is its Host header; ORIGIN
// its Origin header when it has one; PATH its path without the query. Only the studio's own host
// names (127.0.0.1 and localhost, with the studio's port) and its own origin pass, so that a page
// of another site can neither reach it under another name (DNS rebinding) nor send it requests
// (cross-site); the path must begin with the token (compared in constant time).
std::optional<std::string> refusal(const Address& address, std::string_view host,
                                   std::optional<std::string_view> origin, std::string_view path);

// Whether PATH begins with the studio's token (ADDRESS.prefix(), then the path's end or "/"),
// compared in constant time. A query after the path is no part of it.
bool carriesToken(const Address& address, std::string_view path);

// Each parse below gives the request body read into its type, or the one-line reason it was
// refused. Every body is a JSON object of at most kMaxBody bytes with exactly the named members
// (unknown members are refused); strings are valid UTF-8 of at most kMaxText bytes without
// control characters.

inline constexpr std::size_t kMaxBody = 4096;
inline constexpr std::size_t kMaxText = 256;
// A profile to preview comes as the file's own bytes: settings files are a few hundred bytes,
// and one of many keys with long colour strings still fits.
inline constexpr std::size_t kMaxProfileBody = 64 * 1024;

// The largest body the studio reads for PATH (the path after the token): kMaxProfileBody for
// api/preview, kMaxBody for every other path.
std::size_t maxBody(std::string_view path);

// The name a previewed profile is called by in the preview's messages and the command that
// imports it: the last component of NAME (as the page names the chosen file), without control
// characters, at most kMaxText bytes of valid UTF-8; "profile.plist" when nothing usable is
// left.
std::string profileName(std::string_view name);

// {"key": "sig", "value": "13"}: types VALUE into the pane's row of KEY.
struct SetRow {
  std::string key;
  std::string value;
};
Result<SetRow> parseSetRow(std::string_view body);

// {"label": "Respring"}: taps the pane's button row LABEL.
struct TapButton {
  std::string label;
};
Result<TapButton> parseTapButton(std::string_view body);

// {}: a request that takes no arguments (the navigation bar's button, starting SpringBoard).
struct NoArguments {};
Result<NoArguments> parseNoArguments(std::string_view body);

// {"battery": 15, "charging": true, "style": "light"}: the state SpringBoard draws for; each
// member optional, at least one present. The battery is a whole number from 0 to 100, the style
// "default" or "light".
struct DeviceChange {
  std::optional<int> battery;
  std::optional<bool> charging;
  std::optional<long> style;
  // STATE with the members present applied.
  show::DeviceState applied(show::DeviceState state) const;
};
Result<DeviceChange> parseDeviceChange(std::string_view body);

// The page's request BODY for the Settings app's OP read into the request the Settings app is
// handed: "set" takes a SetRow, "tap" a TapButton, every other op no arguments.
Result<PaneRequest> paneRequestOf(const std::string& op, std::string_view body);

}  // namespace vyr::studio
