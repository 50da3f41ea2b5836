// What SpringBoard's screens look like right now, as this process's hooked classes answer.
//
// askSpringBoard plays the part of the device's UIKit laying out the status bar, an app's
// pull-to-refresh control and the lock screen: it sends exactly the messages that UIKit sends
// (the ones VYRSignals replaces), with the colours UIKit itself would use, and records what comes
// back. Each answer also says whether the host's own implementation produced the colour, which the
// UIKit stand-in's record of host calls tells (a hook that replaces a colour never lets the host
// see the host's colour).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tweak/elements.hpp"

namespace vyr::show {

// A colour's components, each 0 to 1.
struct Rgba {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  friend bool operator==(const Rgba&, const Rgba&) = default;
};

// One colour as the process answered it.
struct Answer {
  std::optional<Rgba> colour;  // nothing: no colour at all (the element is not drawn)
  bool hostsOwn = false;       // the host's implementation chose it, not VYRSignals
};

// The status bar's styles (UIStatusBarStyle).
inline constexpr long kStyleDefault = 0;  // dark content
inline constexpr long kStyleLight = 1;    // light content

// The state the host asks its colours for.
struct DeviceState {
  int batteryPercent = 80;  // 0 to 100
  bool charging = false;
  long homeStyle = kStyleDefault;
};

// One status bar's colours.
struct BarColours {
  Answer signal;      // sig: UIStatusBarNewUIStyleAttributes' foreground
  Answer foreground;  // sbsig: UIStatusBar's own foreground (the Wi-Fi fan)
  Answer text;        // txt: carrier, time, percentage (and the lock screen's padlock)
  Answer battery;     // bat
  Answer activity;    // lod: the network activity indicator
};

struct Scene {
  DeviceState state;
  std::string iosVersion;          // of the device, as "8.1"
  BarColours home;                 // in state.homeStyle
  Answer refresh;                  // lod: the pull-to-refresh spinner of the app on the home screen
  long lockStyle = kStyleDefault;  // what SBLockScreenViewController answered
  bool lockStyleHostsOwn = false;
  BarColours lock;    // in lockStyle
  Answer legibility;  // rec: the lock screen's clock and date
  // What this process shows that a new one would not, in words, one sentence each (see
  // liveSwitchNotes in sources.hpp); empty when a respring would show the same.
  std::vector<std::string> notes;
};

// Asks this process for every colour of the scene in STATE. The process must be the device's
// SpringBoard with VYRSignals injected (startUiProcess). Call on the main thread; it sends each
// hooked message once per bar and leaves nothing allocated behind. Never throws.
Scene askSpringBoard(const DeviceState& state);

}  // namespace vyr::show
