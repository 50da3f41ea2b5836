// Where `vyr show` draws each thing: the one source of coordinates for the picture and for the
// tests that read the picture back.
//
// Coordinates are in points, as on the device. The picture holds two screens of 320 x 568 points
// side by side (the home screen with an app open, and the lock screen); everything on a screen is
// given relative to that screen's top-left corner. A PNG has kPixelsPerPoint pixels per point.
// Each element has a probe: a point that lies well inside a solid part of what the element draws
// (never on an anti-aliased edge), for every battery level, so its pixel has exactly the element's
// colour composited over the scenery named beside it.
#pragma once

#include <cmath>

namespace vyr::show::layout {

struct Point {
  double x;
  double y;
};

struct Rect {
  double x;
  double y;
  double width;
  double height;
  constexpr double right() const { return x + width; }
  constexpr double bottom() const { return y + height; }
};

// Scenery colours, as 0xRRGGBB.
using Hex = unsigned;

inline constexpr double kPixelsPerPoint = 2;

// The picture and its two screens.
inline constexpr Rect kCanvas{0, 0, 700, 632};
inline constexpr Rect kHomeScreen{20, 44, 320, 568};
inline constexpr Rect kLockScreen{360, 44, 320, 568};
inline constexpr double kScreenCornerRadius = 18;
inline constexpr double kCaptionBaseline = 30;  // canvas y of the captions above the screens
inline constexpr Hex kCanvasColour = 0xe4e7ec;
inline constexpr Hex kCaptionColour = 0x3a3a3c;

// The status bar, drawn the same way on both screens.
inline constexpr double kBarHeight = 20;
inline constexpr double kBarBaseline = 14.5;  // of the carrier, time and percentage text
inline constexpr double kBarFontSize = 12;
inline constexpr int kSignalDots = 5;
inline constexpr int kSignalBars = 4;  // the device has four bars of five
inline constexpr Point kSignalFirstDot{6.5, 10};
inline constexpr double kSignalDotStep = 6.5;
inline constexpr double kSignalDotRadius = 2.75;
inline constexpr double kCarrierX = 40;
inline constexpr Rect kCarrierBox{39, 4, 32, 12};  // "VYR"
// The Wi-Fi fan: three bands around its apex, from straight up-left to straight up-right.
inline constexpr Point kWifiApex{84, 15.5};
inline constexpr double kWifiBands[3][2] = {{0, 3}, {4.5, 7.5}, {9, 12}};
inline constexpr Point kActivityCentre{104, 10};
inline constexpr double kActivityInner = 2.5;
inline constexpr double kActivityOuter = 6;
inline constexpr double kActivitySpokeWidth = 1.6;
inline constexpr Rect kTimeBox{130, 4, 60, 12};  // "9:41 AM", centred on the bar
inline constexpr double kPercentRight = 282;     // the percentage ends here
inline constexpr Rect kPercentBox{250, 4, 33, 12};
// The battery: a one-point ring, the charge inside it, the terminal on the right.
inline constexpr Rect kBatteryOuter{286, 5, 25, 11};
inline constexpr Rect kBatteryInner{287, 6, 23, 9};
inline constexpr Rect kBatteryCharge{288, 7, 21, 7};  // at 100 %; narrower in proportion
inline constexpr Rect kBatteryTerminal{311, 8.5, 1.5, 4};
// The charging mark, a bolt in the battery's colour left of the percentage, while charging.
inline constexpr Point kChargingBolt[] = {{245.5, 4.5}, {241.5, 11},  {244, 11}, {243, 16.5},
                                          {247, 9.5},   {244.5, 9.5}, {246, 4.5}};
// The padlock in the middle of the lock screen's bar, in the text colour.
inline constexpr Rect kPadlockBody{155, 9, 10, 7};
inline constexpr Point kPadlockShackleCentre{160, 9};
inline constexpr double kPadlockShackleRadius = 3.2;

// Probes of the status-bar elements (over the bar's background).
inline constexpr Point kSignalProbe = kSignalFirstDot;
inline constexpr Point kWifiProbe{84, 9.5};         // middle band, straight above the apex
inline constexpr Point kActivityProbe{104, 5.75};   // the leading spoke, straight up, full alpha
inline constexpr Point kBatteryProbe{286.5, 10.5};  // the left side of the ring
inline constexpr Point kPadlockProbe{160, 12.5};
inline constexpr Point kChargingProbe{244.25, 10.25};  // the bolt's middle

// The home screen: an app (a mail box) with its navigation bar and its list, being refreshed.
inline constexpr double kChromeHeight = 64;      // status bar and navigation bar, one background
inline constexpr Hex kChromeDefault = 0xf7f7f7;  // behind dark content (style default)
inline constexpr Hex kChromeLight = 0x1f3a68;    // behind light content (style light)
inline constexpr double kTitleBaseline = 48;
inline constexpr Hex kListBackground = 0xefeff4;
inline constexpr Point kRefreshCentre{160, 96};
inline constexpr double kRefreshInner = 6;
inline constexpr double kRefreshOuter = 13;
inline constexpr double kRefreshSpokeWidth = 3;
inline constexpr Point kRefreshProbe{160, 86.5};  // the leading spoke, over the list background
inline constexpr double kRowsTop = 128;
inline constexpr double kRowHeight = 72;
inline constexpr Hex kRowBackground = 0xffffff;

// The lock screen: its wallpaper, the bar's strip in the default style, the clock and the date.
inline constexpr Hex kWallpaperTop = 0x1e3050;
inline constexpr Hex kWallpaperBottom = 0x5a3d6e;
inline constexpr double kDefaultStyleStripAlpha = 0.35;  // white over the wallpaper
inline constexpr double kClockBaseline = 122;
inline constexpr double kClockFontSize = 80;
inline constexpr Rect kClockBox{50, 52, 220, 74};
inline constexpr double kDateBaseline = 152;
inline constexpr double kDateFontSize = 18;
inline constexpr Rect kDateBox{50, 134, 220, 24};
inline constexpr double kUnlockBaseline = 530;

// A point of SCREEN in canvas points.
constexpr Point onScreen(const Rect& screen, Point p) {
  return {screen.x + p.x, screen.y + p.y};
}
constexpr Rect onScreen(const Rect& screen, Rect r) {
  return {screen.x + r.x, screen.y + r.y, r.width, r.height};
}

// The pixel of a PNG that holds canvas point P.
struct Pixel {
  int x;
  int y;
};
inline Pixel pixelOf(Point p) {
  return {static_cast<int>(std::floor(p.x * kPixelsPerPoint)),
          static_cast<int>(std::floor(p.y * kPixelsPerPoint))};
}

}  // namespace vyr::show::layout
