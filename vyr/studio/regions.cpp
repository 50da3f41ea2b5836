#include "vyr/studio/regions.hpp"

#include <nlohmann/json.hpp>
#include <vector>

#include "tweak/elements.hpp"
#include "vyr/render/layout.hpp"

namespace vyr::studio {
namespace {

using nlohmann::json;
namespace L = show::layout;

json rect(const L::Rect& r) {
  return {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
}

// A box around a circle of RADIUS at CENTRE.
constexpr L::Rect around(L::Point centre, double radius) {
  return {centre.x - radius, centre.y - radius, 2 * radius, 2 * radius};
}

// The boxes of element E on SCREEN, in the screen's points.
std::vector<L::Rect> boxesOf(ElementId e, bool home) {
  constexpr double dotsRight =
      L::kSignalFirstDot.x + (L::kSignalDots - 1) * L::kSignalDotStep + L::kSignalDotRadius;
  constexpr double wifiRadius = L::kWifiBands[2][1];
  switch (e) {
    case ElementId::sig:
      return {{L::kSignalFirstDot.x - L::kSignalDotRadius,
               L::kSignalFirstDot.y - L::kSignalDotRadius,
               dotsRight - L::kSignalFirstDot.x + L::kSignalDotRadius, 2 * L::kSignalDotRadius}};
    case ElementId::sbsig:
      return {
          {L::kWifiApex.x - wifiRadius, L::kWifiApex.y - wifiRadius, 2 * wifiRadius, wifiRadius}};
    case ElementId::txt:
      if (home) return {L::kCarrierBox, L::kTimeBox, L::kPercentBox};
      return {L::kCarrierBox,
              {L::kPadlockBody.x, L::kPadlockShackleCentre.y - L::kPadlockShackleRadius,
               L::kPadlockBody.width,
               L::kPadlockBody.bottom() - L::kPadlockShackleCentre.y + L::kPadlockShackleRadius},
              L::kPercentBox};
    case ElementId::bat:
      return {{L::kBatteryOuter.x, L::kBatteryOuter.y,
               L::kBatteryTerminal.right() - L::kBatteryOuter.x, L::kBatteryOuter.height}};
    case ElementId::lod:
      if (home)
        return {around(L::kActivityCentre, L::kActivityOuter),
                around(L::kRefreshCentre, L::kRefreshOuter)};
      return {around(L::kActivityCentre, L::kActivityOuter)};
    case ElementId::rec:
      if (home) return {};
      return {L::kClockBox, L::kDateBox};
  }
  return {};
}

}  // namespace

std::string elementRegionsJson() {
  json elements = json::array();
  for (const ElementNames& names : kElements) {
    json regions = json::array();
    for (const bool home : {true, false}) {
      const L::Rect& screen = home ? L::kHomeScreen : L::kLockScreen;
      for (const L::Rect& box : boxesOf(names.id, home)) {
        json r = rect(L::onScreen(screen, box));
        r["screen"] = home ? "home" : "lock";
        regions.push_back(r);
      }
    }
    elements.push_back(
        {{"name", names.name},
         {"keys", {names.enableKey, names.presetKey, names.customSwitchKey, names.customColourKey}},
         {"regions", regions}});
  }
  const auto bar = [](const L::Rect& screen) {
    return rect(L::onScreen(screen, L::Rect{0, 0, screen.width, L::kBarHeight}));
  };
  return json{{"canvas", rect(L::kCanvas)},
              {"bar", {{"home", bar(L::kHomeScreen)}, {"lock", bar(L::kLockScreen)}}},
              {"elements", elements}}
      .dump();
}

}  // namespace vyr::studio
