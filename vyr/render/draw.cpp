#include "vyr/render/draw.hpp"

#include <cairo-svg.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <numbers>
#include <string_view>

#include "vyr/render/layout.hpp"
#include "vyr/render/report.hpp"

namespace vyr::show {
namespace {

using layout::Hex;
using layout::Point;
using layout::Rect;

constexpr char kFont[] = "DejaVu Sans";
constexpr double kDegree = std::numbers::pi / 180;

void setHex(cairo_t* cr, Hex hex, double alpha = 1) {
  cairo_set_source_rgba(cr, ((hex >> 16) & 0xff) / 255.0, ((hex >> 8) & 0xff) / 255.0,
                        (hex & 0xff) / 255.0, alpha);
}

void setColour(cairo_t* cr, const Rgba& c) {
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

void rect(cairo_t* cr, const Rect& r) {
  cairo_rectangle(cr, r.x, r.y, r.width, r.height);
}

void roundedRect(cairo_t* cr, const Rect& r, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, r.right() - radius, r.y + radius, radius, -90 * kDegree, 0);
  cairo_arc(cr, r.right() - radius, r.bottom() - radius, radius, 0, 90 * kDegree);
  cairo_arc(cr, r.x + radius, r.bottom() - radius, radius, 90 * kDegree, 180 * kDegree);
  cairo_arc(cr, r.x + radius, r.y + radius, radius, 180 * kDegree, 270 * kDegree);
  cairo_close_path(cr);
}

enum class Align { left, centre, right };

// TEXT with its baseline at Y; X is its left edge, centre or right edge as ALIGN says. The
// current source colours it.
void text(cairo_t* cr, const char* s, double x, double y, double size, bool bold,
          Align align = Align::left) {
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, s, &extents);
  if (align == Align::centre) x -= extents.x_advance / 2;
  if (align == Align::right) x -= extents.x_advance;
  // Filled as outlines, not shown as glyphs: an SVG writer turns each glyph into a reference to
  // a symbol, which a browser lays out one by one; outlines are one path per run of text.
  cairo_new_path(cr);
  cairo_move_to(cr, x, y);
  cairo_text_path(cr, s);
  cairo_fill(cr);
}

// The caption above SCREEN, made smaller when it would be wider than the screen, so that two
// captions side by side never run into each other.
void caption(cairo_t* cr, const std::string& s, const Rect& screen) {
  constexpr double kSize = 13;
  constexpr double kInset = 4;
  const double room = screen.width - 2 * kInset;
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kSize);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, s.c_str(), &extents);
  const double size = extents.x_advance > room ? kSize * room / extents.x_advance : kSize;
  text(cr, s.c_str(), screen.x + kInset, layout::kCaptionBaseline, size, false);
}

// A spinner of twelve spokes caught mid-turn: the leading spoke points straight up in the full
// colour, the ones behind it fade.
void spinner(cairo_t* cr, Point centre, double inner, double outer, double width,
             const Rgba& colour) {
  constexpr int kSpokes = 12;
  cairo_save(cr);
  cairo_set_line_width(cr, width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  for (int i = 0; i < kSpokes; ++i) {
    const double angle = (-90.0 - 30.0 * i) * kDegree;
    Rgba faded = colour;
    faded.alpha *= 1.0 - 0.07 * i;
    setColour(cr, faded);
    cairo_move_to(cr, centre.x + inner * std::cos(angle), centre.y + inner * std::sin(angle));
    cairo_line_to(cr, centre.x + outer * std::cos(angle), centre.y + outer * std::sin(angle));
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

void signal(cairo_t* cr, const Rgba& colour) {
  setColour(cr, colour);
  for (int i = 0; i < layout::kSignalDots; ++i) {
    const double x = layout::kSignalFirstDot.x + layout::kSignalDotStep * i;
    if (i < layout::kSignalBars) {
      cairo_arc(cr, x, layout::kSignalFirstDot.y, layout::kSignalDotRadius, 0, 360 * kDegree);
      cairo_fill(cr);
    } else {
      cairo_set_line_width(cr, 1);
      cairo_arc(cr, x, layout::kSignalFirstDot.y, layout::kSignalDotRadius - 0.5, 0, 360 * kDegree);
      cairo_stroke(cr);
    }
  }
}

void wifi(cairo_t* cr, const Rgba& colour) {
  setColour(cr, colour);
  const Point apex = layout::kWifiApex;
  for (const auto& band : layout::kWifiBands) {
    cairo_new_path(cr);
    cairo_arc(cr, apex.x, apex.y, band[1], -135 * kDegree, -45 * kDegree);
    if (band[0] > 0) {
      cairo_arc_negative(cr, apex.x, apex.y, band[0], -45 * kDegree, -135 * kDegree);
    } else {
      cairo_line_to(cr, apex.x, apex.y);
    }
    cairo_close_path(cr);
    cairo_fill(cr);
  }
}

void battery(cairo_t* cr, const Rgba& colour, int percent) {
  setColour(cr, colour);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  rect(cr, layout::kBatteryOuter);
  rect(cr, layout::kBatteryInner);
  cairo_fill(cr);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  Rect charge = layout::kBatteryCharge;
  charge.width *= std::clamp(percent, 0, 100) / 100.0;
  rect(cr, charge);
  rect(cr, layout::kBatteryTerminal);
  cairo_fill(cr);
}

void chargingBolt(cairo_t* cr, const Rgba& colour) {
  setColour(cr, colour);
  cairo_new_path(cr);
  for (const Point& p : layout::kChargingBolt) cairo_line_to(cr, p.x, p.y);
  cairo_close_path(cr);
  cairo_fill(cr);
}

void padlock(cairo_t* cr, const Rgba& colour) {
  setColour(cr, colour);
  rect(cr, layout::kPadlockBody);
  cairo_fill(cr);
  cairo_set_line_width(cr, 1.5);
  const Point c = layout::kPadlockShackleCentre;
  cairo_arc(cr, c.x, c.y, layout::kPadlockShackleRadius, 180 * kDegree, 360 * kDegree);
  cairo_stroke(cr);
}

// One status bar, from the screen's top-left corner. The lock screen shows a padlock where the
// home screen shows the time.
void statusBar(cairo_t* cr, const BarColours& bar, const DeviceState& state, bool lockScreen) {
  const double y = layout::kBarBaseline;
  if (bar.signal.colour) signal(cr, *bar.signal.colour);
  if (bar.foreground.colour) wifi(cr, *bar.foreground.colour);
  if (bar.activity.colour) {
    spinner(cr, layout::kActivityCentre, layout::kActivityInner, layout::kActivityOuter,
            layout::kActivitySpokeWidth, *bar.activity.colour);
  }
  if (bar.text.colour) {
    setColour(cr, *bar.text.colour);
    text(cr, "VYR", layout::kCarrierX, y, layout::kBarFontSize, true);
    if (lockScreen) {
      padlock(cr, *bar.text.colour);
    } else {
      text(cr, "9:41 AM", layout::kTimeBox.x + layout::kTimeBox.width / 2, y, layout::kBarFontSize,
           true, Align::centre);
    }
    setColour(cr, *bar.text.colour);
    const std::string percent = std::to_string(state.batteryPercent) + "%";
    text(cr, percent.c_str(), layout::kPercentRight, y, layout::kBarFontSize, false, Align::right);
  }
  if (bar.battery.colour) {
    battery(cr, *bar.battery.colour, state.batteryPercent);
    if (state.charging) chargingBolt(cr, *bar.battery.colour);
  }
}

struct Message {
  const char* sender;
  const char* time;
  const char* subject;
  const char* preview;
};
constexpr Message kInbox[] = {
    {"Ana Ruiz", "9:38 AM", "Lunch on Friday?", "The place by the river opens at noon..."},
    {"Build bot", "9:12 AM", "All checks passed", "g++, clang, sanitizers: 214 tests green."},
    {"Tomasz Wolny", "8:47 AM", "Photos from the trip", "Here are the ones from the lake, and"},
    {"Mira Chen", "Yesterday", "Re: status bar colours", "Red for the signal looks great on"},
    {"Library", "Yesterday", "Your books are due", "Two items are due back on Monday."},
    {"Jonas", "Monday", "Band practice moved", "We are at the old hall this week, same"},
};

void homeScreen(cairo_t* cr, const Scene& scene) {
  const Rect screen{0, 0, layout::kHomeScreen.width, layout::kHomeScreen.height};
  const bool dark = scene.state.homeStyle != kStyleDefault;
  setHex(cr, layout::kRowBackground);
  rect(cr, screen);
  cairo_fill(cr);

  setHex(cr, dark ? layout::kChromeLight : layout::kChromeDefault);
  rect(cr, {0, 0, screen.width, layout::kChromeHeight});
  cairo_fill(cr);
  statusBar(cr, scene.home, scene.state, false);
  setHex(cr, dark ? 0xffffff : 0x000000);
  text(cr, "Inbox", screen.width / 2, layout::kTitleBaseline, 17, true, Align::centre);
  setHex(cr, 0xc8c7cc);
  rect(cr, {0, layout::kChromeHeight - 0.5, screen.width, 0.5});
  cairo_fill(cr);

  setHex(cr, layout::kListBackground);
  rect(cr, {0, layout::kChromeHeight, screen.width, layout::kRowsTop - layout::kChromeHeight});
  cairo_fill(cr);
  if (scene.refresh.colour) {
    spinner(cr, layout::kRefreshCentre, layout::kRefreshInner, layout::kRefreshOuter,
            layout::kRefreshSpokeWidth, *scene.refresh.colour);
  }

  double top = layout::kRowsTop;
  for (const Message& m : kInbox) {
    if (top + layout::kRowHeight > screen.height) break;
    setHex(cr, 0x000000);
    text(cr, m.sender, 16, top + 24, 15, true);
    setHex(cr, 0x8e8e93);
    text(cr, m.time, screen.width - 16, top + 24, 13, false, Align::right);
    setHex(cr, 0x000000);
    text(cr, m.subject, 16, top + 44, 14, false);
    setHex(cr, 0x8e8e93);
    text(cr, m.preview, 16, top + 62, 13, false);
    setHex(cr, 0xc8c7cc);
    rect(cr, {16, top + layout::kRowHeight - 0.5, screen.width - 16, 0.5});
    cairo_fill(cr);
    top += layout::kRowHeight;
  }
}

void lockScreen(cairo_t* cr, const Scene& scene) {
  const Rect screen{0, 0, layout::kLockScreen.width, layout::kLockScreen.height};
  cairo_pattern_t* wallpaper = cairo_pattern_create_linear(0, 0, 0, screen.height);
  auto stop = [&](double at, Hex hex) {
    cairo_pattern_add_color_stop_rgb(wallpaper, at, ((hex >> 16) & 0xff) / 255.0,
                                     ((hex >> 8) & 0xff) / 255.0, (hex & 0xff) / 255.0);
  };
  stop(0, layout::kWallpaperTop);
  stop(1, layout::kWallpaperBottom);
  cairo_set_source(cr, wallpaper);
  rect(cr, screen);
  cairo_fill(cr);
  cairo_pattern_destroy(wallpaper);

  // The default style draws dark content over a light bar; light content needs none.
  if (scene.lockStyle == kStyleDefault) {
    setHex(cr, 0xffffff, layout::kDefaultStyleStripAlpha);
    rect(cr, {0, 0, screen.width, layout::kBarHeight});
    cairo_fill(cr);
  }
  statusBar(cr, scene.lock, scene.state, true);

  if (const auto& colour = scene.legibility.colour) {
    setColour(cr, *colour);
    text(cr, "9:41", screen.width / 2, layout::kClockBaseline, layout::kClockFontSize, false,
         Align::centre);
    text(cr, "Tuesday, 9 September", screen.width / 2, layout::kDateBaseline, layout::kDateFontSize,
         false, Align::centre);
  }
  setHex(cr, 0xffffff, 0.85);
  text(cr, "slide to unlock  \xE2\x80\xBA", screen.width / 2, layout::kUnlockBaseline, 20, false,
       Align::centre);
}

// SCREEN's frame, then DRAW inside it, with the screen's rounded corners. The corners are cut by
// painting the canvas and the frame over them afterwards, not by drawing under a clip or into a
// group: an SVG writer repeats a clip around every shape drawn under it (a browser pays for each),
// and cairo's SVG writer leaks a group's memory.
template <class Draw>
void onScreen(cairo_t* cr, const Rect& screen, Draw&& draw) {
  const auto frame = [&] {
    setHex(cr, 0x000000, 0.18);
    roundedRect(cr, {screen.x - 1, screen.y, screen.width + 2, screen.height + 3},
                layout::kScreenCornerRadius + 1);
    cairo_fill(cr);
  };
  frame();
  cairo_save(cr);
  cairo_translate(cr, screen.x, screen.y);
  draw();
  cairo_restore(cr);
  // Beyond the rounded corners (and a little around the screen, where the frame's shadow lies):
  // the canvas and the frame again. Two shapes under this clip, not every shape of the screen.
  constexpr double kAround = 4;
  const Rect around{screen.x - kAround, screen.y - kAround, screen.width + 2 * kAround,
                    screen.height + 2 * kAround};
  cairo_save(cr);
  rect(cr, around);
  roundedRect(cr, screen, layout::kScreenCornerRadius);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_clip(cr);
  setHex(cr, layout::kCanvasColour);
  rect(cr, around);
  cairo_fill(cr);
  frame();
  cairo_restore(cr);
}

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

}  // namespace

PictureFormat formatFor(const std::string& path) {
  return pictureFormatOf(path).value_or(PictureFormat::png);
}

std::optional<PictureFormat> pictureFormatOf(const std::string& path) {
  if (path == "-") return PictureFormat::png;
  std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : path;
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (tail == ".svg") return PictureFormat::svg;
  if (tail == ".png") return PictureFormat::png;
  return std::nullopt;
}

void drawScene(cairo_t* cr, const Scene& scene) {
  cairo_save(cr);
  setHex(cr, layout::kCanvasColour);
  rect(cr, layout::kCanvas);
  cairo_fill(cr);

  setHex(cr, layout::kCaptionColour);
  const std::string home = "Home screen \xE2\x80\x94 style " + styleName(scene.state.homeStyle) +
                           ", battery " + std::to_string(scene.state.batteryPercent) + "%" +
                           (scene.state.charging ? ", charging" : "");
  caption(cr, home, layout::kHomeScreen);
  const std::string lock = "Lock screen \xE2\x80\x94 style " + styleName(scene.lockStyle) +
                           (scene.lockStyleHostsOwn ? " (its own)" : " (VYR)");
  caption(cr, lock, layout::kLockScreen);

  onScreen(cr, layout::kHomeScreen, [&] { homeScreen(cr, scene); });
  onScreen(cr, layout::kLockScreen, [&] { lockScreen(cr, scene); });
  cairo_restore(cr);
}

namespace {

// Cairo writes every number of an SVG with six decimals. Two are a hundredth of a point, finer
// than any screen shows even magnified many times, and the picture is then far smaller to send
// and for a browser to read. Only digits after a decimal point that follows a digit are cut, so
// names and addresses in the file stay as they are.
std::string withShorterNumbers(std::string_view svg) {
  constexpr int kDecimals = 2;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::string out;
  out.reserve(svg.size());
  int decimals = -1;  // of the number being copied; -1 outside the decimals of a number
  for (std::size_t i = 0; i < svg.size(); ++i) {
    const char c = svg[i];
    if (decimals >= 0 && digit(c)) {
      if (decimals++ < kDecimals) out += c;
      continue;
    }
    decimals =
        c == '.' && i > 0 && digit(svg[i - 1]) && i + 1 < svg.size() && digit(svg[i + 1]) ? 0 : -1;
    out += c;
  }
  return out;
}

}  // namespace

Result<std::string> renderPicture(const Scene& scene, PictureFormat format) {
  std::string bytes;
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface;
  const double scale = format == PictureFormat::png ? layout::kPixelsPerPoint : 1;
  if (format == PictureFormat::png) {
    surface.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32,
                                             static_cast<int>(layout::kCanvas.width * scale),
                                             static_cast<int>(layout::kCanvas.height * scale)));
  } else {
    surface.reset(cairo_svg_surface_create_for_stream(&appendTo, &bytes, layout::kCanvas.width,
                                                      layout::kCanvas.height));
  }
  {
    std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
    cairo_scale(cr.get(), scale, scale);
    drawScene(cr.get(), scene);
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
      return failed(std::string("cannot draw: ") + cairo_status_to_string(cairo_status(cr.get())));
    }
  }
  cairo_status_t status = CAIRO_STATUS_SUCCESS;
  if (format == PictureFormat::png) {
    status = cairo_surface_write_to_png_stream(surface.get(), &appendTo, &bytes);
  } else {
    cairo_surface_finish(surface.get());
    status = cairo_surface_status(surface.get());
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    return failed(std::string("cannot draw: ") + cairo_status_to_string(status));
  }
  if (format == PictureFormat::svg) return withShorterNumbers(bytes);
  return bytes;
}

void releaseFontCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace vyr::show
