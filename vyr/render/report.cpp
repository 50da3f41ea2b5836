#include "vyr/render/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace vyr::show {
namespace {

int byteOf(double component) {
  if (!std::isfinite(component)) return 0;
  return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
}

void addBar(std::vector<Row>& rows, const char* screen, const BarColours& bar, const char* textItem,
            const Describe& describe) {
  const std::array<std::tuple<const char*, ElementId, const Answer*>, 5> items{{
      {"signal", ElementId::sig, &bar.signal},
      {"Wi-Fi", ElementId::sbsig, &bar.foreground},
      {textItem, ElementId::txt, &bar.text},
      {"battery", ElementId::bat, &bar.battery},
      {"network activity", ElementId::lod, &bar.activity},
  }};
  for (const auto& [item, element, answer] : items) {
    rows.push_back({screen, item, namesOf(element).name, describe(element, *answer),
                    colourString(answer->colour)});
  }
}

}  // namespace

std::string hexOf(const std::optional<Rgba>& colour) {
  if (!colour) return "none";
  char text[10];
  std::snprintf(text, sizeof text, "#%02x%02x%02x%02x", byteOf(colour->red), byteOf(colour->green),
                byteOf(colour->blue), byteOf(colour->alpha));
  return text;
}

std::string colourString(const std::optional<Rgba>& colour) {
  if (!colour) return "none";
  const double alpha = std::isfinite(colour->alpha) ? std::clamp(colour->alpha, 0.0, 1.0) : 0.0;
  char text[24];
  std::snprintf(text, sizeof text, "#%02X%02X%02X:%.6f", byteOf(colour->red), byteOf(colour->green),
                byteOf(colour->blue), alpha);
  return text;
}

std::vector<std::string> changedItems(const std::vector<Row>& before,
                                      const std::vector<Row>& after) {
  std::vector<std::string> changed;
  for (const Row& row : after) {
    const auto same = std::find_if(before.begin(), before.end(), [&](const Row& old) {
      return old.screen == row.screen && old.item == row.item && old.source == row.source &&
             old.value == row.value;
    });
    if (same == before.end()) changed.push_back(row.screen + " " + row.item);
  }
  return changed;
}

std::string styleName(long style) {
  if (style == kStyleDefault) return "default";
  if (style == kStyleLight) return "light";
  return std::to_string(style);
}

std::vector<Row> tableRows(const Scene& scene, const Describe& describe) {
  std::vector<Row> rows;
  addBar(rows, "home", scene.home, "carrier and time", describe);
  rows.push_back({"home", "pull to refresh", namesOf(ElementId::lod).name,
                  describe(ElementId::lod, scene.refresh), colourString(scene.refresh.colour)});
  rows.push_back(
      {"lock", "status-bar style", "-",
       scene.lockStyleHostsOwn ? "host's own" : std::string("VYR (") + kLockScreenSameKey + ")",
       std::to_string(scene.lockStyle) + " " + styleName(scene.lockStyle)});
  addBar(rows, "lock", scene.lock, "carrier and padlock", describe);
  rows.push_back({"lock", "clock and date", namesOf(ElementId::rec).name,
                  describe(ElementId::rec, scene.legibility),
                  colourString(scene.legibility.colour)});
  return rows;
}

std::string formatTable(const Scene& scene, const std::vector<Row>& rows) {
  const DeviceState& s = scene.state;
  std::string out = "SpringBoard on iOS " + scene.iosVersion + ": battery " +
                    std::to_string(s.batteryPercent) + "%" + (s.charging ? ", charging" : "") +
                    ", home screen in style " + styleName(s.homeStyle) + "\n";
  const Row header{"screen", "item", "element", "source", "colour"};
  std::array<std::size_t, 4> width{};
  auto widen = [&](const Row& row) {
    width[0] = std::max(width[0], row.screen.size());
    width[1] = std::max(width[1], row.item.size());
    width[2] = std::max(width[2], row.element.size());
    width[3] = std::max(width[3], row.source.size());
  };
  widen(header);
  for (const Row& row : rows) widen(row);
  auto line = [&](const Row& row) {
    auto cell = [](const std::string& text, std::size_t w) {
      return text + std::string(w - text.size() + 2, ' ');
    };
    out += cell(row.screen, width[0]) + cell(row.item, width[1]) + cell(row.element, width[2]) +
           cell(row.source, width[3]) + row.value + "\n";
  };
  for (const std::string& note : scene.notes) out += "note: " + note + "\n";
  line(header);
  for (const Row& row : rows) line(row);
  return out;
}

}  // namespace vyr::show
