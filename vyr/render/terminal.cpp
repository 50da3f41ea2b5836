#include "vyr/render/terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "vyr/base/printable.hpp"
#include "vyr/render/layout.hpp"
#include "vyr/render/report.hpp"

namespace vyr::show {
namespace {

constexpr int kWidth = 36;  // columns of one screen
constexpr int kHeight = 15;
constexpr int kGap = 2;

struct Rgb {
  int red = 0;
  int green = 0;
  int blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

Rgb rgbOf(layout::Hex hex) {
  return {static_cast<int>((hex >> 16) & 0xff), static_cast<int>((hex >> 8) & 0xff),
          static_cast<int>(hex & 0xff)};
}

int mix(double over, int under, double alpha) {
  const double v = std::clamp(over, 0.0, 1.0) * 255 * alpha + under * (1 - alpha);
  return static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0)));
}

// COLOUR composited over BACKGROUND.
Rgb over(const Rgba& colour, Rgb background) {
  const double a = std::isfinite(colour.alpha) ? std::clamp(colour.alpha, 0.0, 1.0) : 0.0;
  return {mix(colour.red, background.red, a), mix(colour.green, background.green, a),
          mix(colour.blue, background.blue, a)};
}

struct Cell {
  std::string glyph = " ";
  Rgb fg;
  Rgb bg;
  bool bold = false;
};

// One screen's cells.
class Grid {
 public:
  Grid() : cells_(kWidth * kHeight) {}

  void fillRow(int row, Rgb bg) {
    for (int col = 0; col < kWidth; ++col) at(col, row) = Cell{" ", bg, bg, false};
  }
  // Writes TEXT (UTF-8, one cell per code point) from COL on, in COLOUR over each cell's
  // background; what does not fit is cut off. Its control characters are spelt out here, where
  // the drawing takes text in, since the drawing itself is written to the terminal as it is.
  void put(int col, int row, std::string_view raw, const Rgba& colour, bool bold = false) {
    const std::string safe = printable(raw);
    const std::string_view text = safe;
    for (std::size_t i = 0; i < text.size() && col < kWidth; ++col) {
      std::size_t len = 1;
      const auto lead = static_cast<unsigned char>(text[i]);
      if (lead >= 0xf0) {
        len = 4;
      } else if (lead >= 0xe0) {
        len = 3;
      } else if (lead >= 0xc0) {
        len = 2;
      }
      if (col >= 0) {
        Cell& cell = at(col, row);
        cell.glyph = std::string(text.substr(i, len));
        cell.fg = over(colour, cell.bg);
        cell.bold = bold;
      }
      i += len;
    }
  }
  void put(int col, int row, std::string_view text, layout::Hex hex, bool bold = false) {
    const Rgb c = rgbOf(hex);
    put(col, row, text, Rgba{c.red / 255.0, c.green / 255.0, c.blue / 255.0, 1}, bold);
  }
  void putCentred(int row, std::string_view text, const Rgba& colour, bool bold = false) {
    put((kWidth - cellCount(text)) / 2, row, text, colour, bold);
  }
  const Cell& at(int col, int row) const {
    return cells_[static_cast<std::size_t>(row * kWidth + col)];
  }
  Cell& at(int col, int row) { return cells_[static_cast<std::size_t>(row * kWidth + col)]; }

  static int cellCount(std::string_view text) {
    int n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return n;
  }

 private:
  std::vector<Cell> cells_;
};

Rgba rgbaOf(layout::Hex hex, double alpha = 1) {
  const Rgb c = rgbOf(hex);
  return {c.red / 255.0, c.green / 255.0, c.blue / 255.0, alpha};
}

// The status bar on ROW; the lock screen shows a padlock where the home screen shows the time.
void statusBar(Grid& g, int row, const BarColours& bar, const DeviceState& state, bool lock) {
  if (const auto& c = bar.signal.colour) {
    g.put(1, row, "\xE2\x97\x8F\xE2\x97\x8F\xE2\x97\x8F\xE2\x97\x8F\xE2\x97\x8B", *c);  // ●●●●○
  }
  if (const auto& c = bar.text.colour) {
    g.put(7, row, "VYR", *c, true);
    if (lock) {
      g.put(17, row, "\xE2\x96\xA0", *c);  // ■
    } else {
      g.put(15, row, "9:41 AM", *c, true);
    }
    const std::string percent = std::to_string(state.batteryPercent) + "%";
    g.put(29 - Grid::cellCount(percent), row, percent, *c);
  }
  if (const auto& c = bar.foreground.colour) g.put(11, row, "\xE2\x89\x8B", *c);  // ≋
  if (const auto& c = bar.activity.colour) g.put(13, row, "\xE2\x9C\xBB", *c);    // ✻
  if (const auto& c = bar.battery.colour) {
    const int full = static_cast<int>(std::lround(std::clamp(state.batteryPercent, 0, 100) / 25.0));
    std::string body;
    for (int i = 0; i < 4; ++i) body += i < full ? "\xE2\x96\x88" : "\xE2\x96\x91";  // █ ░
    g.put(30, row, body + "\xE2\x96\x8C", *c);                                       // ▌
  }
}

struct Message {
  const char* sender;
  const char* time;
  const char* subject;
};
constexpr Message kInbox[] = {
    {"Ana Ruiz", "9:38", "Lunch on Friday?"},
    {"Build bot", "9:12", "All checks passed"},
    {"Tomasz Wolny", "8:47", "Photos from the trip"},
    {"Mira Chen", "Yesterday", "Re: status bar colours"},
};

Grid homeScreen(const Scene& scene) {
  Grid g;
  const bool dark = scene.state.homeStyle != kStyleDefault;
  const Rgb chrome = rgbOf(dark ? layout::kChromeLight : layout::kChromeDefault);
  g.fillRow(0, chrome);
  g.fillRow(1, chrome);
  statusBar(g, 0, scene.home, scene.state, false);
  g.putCentred(1, "Inbox", rgbaOf(dark ? 0xffffff : 0x000000), true);
  g.fillRow(2, rgbOf(layout::kListBackground));
  if (const auto& c = scene.refresh.colour) g.putCentred(2, "\xE2\x9F\xB3", *c);  // ⟳
  int row = 3;
  for (const Message& m : kInbox) {
    for (int i = 0; i < 3; ++i) g.fillRow(row + i, rgbOf(layout::kRowBackground));
    g.put(1, row, m.sender, 0x000000, true);
    g.put(kWidth - 1 - Grid::cellCount(m.time), row, m.time, 0x8e8e93);
    g.put(1, row + 1, m.subject, 0x000000);
    // A separator under the row, as wide as the screen.
    for (int col = 1; col < kWidth; ++col) g.put(col, row + 2, "\xE2\x94\x80", 0xc8c7cc);
    row += 3;
  }
  return g;
}

// Digits three cells wide and five high, for the lock screen's clock.
constexpr std::array<std::array<const char*, 5>, 11> kDigits{{
    {"###", "# #", "# #", "# #", "###"},
    {" # ", "## ", " # ", " # ", "###"},
    {"###", "  #", "###", "#  ", "###"},
    {"###", "  #", "###", "  #", "###"},
    {"# #", "# #", "###", "  #", "  #"},
    {"###", "#  ", "###", "  #", "###"},
    {"###", "#  ", "###", "# #", "###"},
    {"###", "  #", "  #", "  #", "  #"},
    {"###", "# #", "###", "# #", "###"},
    {"###", "# #", "###", "  #", "###"},
    {" ", "#", " ", "#", " "},  // the colon
}};

void bigClock(Grid& g, int top, std::string_view time, const Rgba& colour) {
  auto glyphOf = [](char c) -> const std::array<const char*, 5>& {
    return kDigits[c == ':' ? 10 : static_cast<std::size_t>(c - '0')];
  };
  int width = 0;
  for (char c : time) width += 2 * static_cast<int>(std::strlen(glyphOf(c)[0])) + 2;
  int col = (kWidth - (width - 2)) / 2;
  for (char c : time) {
    const auto& glyph = glyphOf(c);
    const int w = static_cast<int>(std::strlen(glyph[0]));
    for (int y = 0; y < 5; ++y) {
      for (int x = 0; x < w; ++x) {
        if (glyph[static_cast<std::size_t>(y)][x] == '#') {
          g.put(col + 2 * x, top + y, "\xE2\x96\x88\xE2\x96\x88", colour);  // ██
        }
      }
    }
    col += 2 * w + 2;
  }
}

Grid lockScreen(const Scene& scene) {
  Grid g;
  const Rgb top = rgbOf(layout::kWallpaperTop);
  const Rgb bottom = rgbOf(layout::kWallpaperBottom);
  for (int row = 0; row < kHeight; ++row) {
    const double t = static_cast<double>(row) / (kHeight - 1);
    auto lerp = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
    g.fillRow(row, {lerp(top.red, bottom.red), lerp(top.green, bottom.green),
                    lerp(top.blue, bottom.blue)});
  }
  if (scene.lockStyle == kStyleDefault) {
    g.fillRow(0, over(rgbaOf(0xffffff, layout::kDefaultStyleStripAlpha), g.at(0, 0).bg));
  }
  statusBar(g, 0, scene.lock, scene.state, true);
  if (const auto& c = scene.legibility.colour) {
    bigClock(g, 2, "9:41", *c);
    g.putCentred(8, "Tuesday, 9 September", *c);
  }
  g.putCentred(kHeight - 1, "slide to unlock \xE2\x80\xBA", rgbaOf(0xffffff, 0.85));
  return g;
}

// The xterm palette's colour nearest to C: one of the 6 x 6 x 6 cube (16 to 231) or of the 24
// greys (232 to 255).
int palette256(Rgb c) {
  const auto cubeLevel = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
  const auto levelValue = [](int level) { return level == 0 ? 0 : 55 + 40 * level; };
  const int r = cubeLevel(c.red);
  const int g = cubeLevel(c.green);
  const int b = cubeLevel(c.blue);
  const auto distance = [&](int x, int y, int z) {
    return (x - c.red) * (x - c.red) + (y - c.green) * (y - c.green) + (z - c.blue) * (z - c.blue);
  };
  const int cube = distance(levelValue(r), levelValue(g), levelValue(b));
  const int average = (c.red + c.green + c.blue) / 3;
  const int grey = std::clamp((average - 3) / 10, 0, 23);
  const int greyValue = 8 + 10 * grey;
  if (distance(greyValue, greyValue, greyValue) < cube) return 232 + grey;
  return 16 + 36 * r + 6 * g + b;
}

void appendColour(std::string& out, const Rgb& c, bool background, TerminalColours colours) {
  char escape[48];
  if (colours == TerminalColours::palette256) {
    std::snprintf(escape, sizeof escape, "\x1b[%d;5;%dm", background ? 48 : 38, palette256(c));
  } else {
    std::snprintf(escape, sizeof escape, "\x1b[%d;2;%d;%d;%dm", background ? 48 : 38, c.red,
                  c.green, c.blue);
  }
  out += escape;
}

void appendCells(std::string& out, const Grid& g, int row, TerminalColours colours) {
  Rgb fg{-1, -1, -1};
  Rgb bg{-1, -1, -1};
  bool bold = false;
  for (int col = 0; col < kWidth; ++col) {
    const Cell& cell = g.at(col, row);
    if (cell.bold != bold) {
      out += cell.bold ? "\x1b[1m" : "\x1b[22m";
      bold = cell.bold;
    }
    if (!(cell.fg == fg)) {
      appendColour(out, cell.fg, false, colours);
      fg = cell.fg;
    }
    if (!(cell.bg == bg)) {
      appendColour(out, cell.bg, true, colours);
      bg = cell.bg;
    }
    out += cell.glyph;
  }
  out += "\x1b[0m";
}

std::string padded(std::string text) {
  const int n = Grid::cellCount(text);
  if (n < kWidth + kGap) text += std::string(static_cast<std::size_t>(kWidth + kGap - n), ' ');
  return text;
}

}  // namespace

TerminalColours terminalColours() {
  if (isatty(STDOUT_FILENO) != 1) return TerminalColours::none;
  const char* colorterm = std::getenv("COLORTERM");
  const std::string_view v = colorterm != nullptr ? colorterm : "";
  if (v == "truecolor" || v == "24bit") return TerminalColours::trueColour;
  const char* term = std::getenv("TERM");
  if (term == nullptr || *term == '\0' || std::string_view(term) == "dumb") {
    return TerminalColours::none;
  }
  return TerminalColours::palette256;
}

bool terminalShowsTrueColour() {
  return terminalColours() == TerminalColours::trueColour;
}

int terminalDrawingColumns() {
  return 2 * kWidth + kGap;
}

int terminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  if (columns == nullptr) return 0;
  int value = 0;
  const std::string_view text = columns;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  return err == std::errc() && end == text.data() + text.size() && value > 0 ? value : 0;
}

std::string renderTerminal(const Scene& scene, TerminalColours colours) {
  const Grid home = homeScreen(scene);
  const Grid lock = lockScreen(scene);
  std::string out = padded("Home screen \xE2\x80\x94 style " + styleName(scene.state.homeStyle)) +
                    "Lock screen \xE2\x80\x94 style " + styleName(scene.lockStyle) + "\n";
  for (int row = 0; row < kHeight; ++row) {
    appendCells(out, home, row, colours);
    out += std::string(kGap, ' ');
    appendCells(out, lock, row, colours);
    out += "\n";
  }
  return out;
}

}  // namespace vyr::show
