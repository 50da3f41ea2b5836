// What the end-to-end tests of `vyr show` need beyond tests/support: running vyr on a terminal, in
// a given folder, with a given environment; and reading its table and picture back.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vyr/render/layout.hpp"

namespace vyrtest {

struct Finished {
  int status = -1;  // the exit status, or 128 + the signal that ended it; -1 when it hung
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set ("" value: removed)
  bool terminal = false;                                 // standard output on a pseudo-terminal
  std::string cwd;  // the folder it runs in (empty: this process's)
};

// Runs vyr with ARGS and waits for it (at most ten seconds, then it is killed).
Finished runVyrWith(const std::vector<std::string>& args, const RunOptions& options);

// One row of `vyr show`'s table.
struct TableRow {
  std::string element;
  std::string source;
  std::string value;
};
// The rows of the last table in OUT, by "screen item" ("home signal", "lock clock and date").
std::map<std::string, TableRow> parseTable(const std::string& out);

struct Rgb {
  int red;
  int green;
  int blue;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
// A colour string "#RRGGBB:alpha", "#rrggbbaa" or "#rrggbb" as its red, green and blue.
Rgb rgbOf(const std::string& hex);
Rgb rgbOf(vyr::show::layout::Hex hex);
std::string toString(const Rgb& c);

// A PNG written by `vyr show`, read back with cairo.
class Picture {
 public:
  explicit Picture(const std::string& path);
  bool ok() const { return !pixels_.empty(); }
  int width() const { return width_; }
  int height() const { return height_; }
  // The pixel at canvas point P.
  Rgb at(vyr::show::layout::Point p) const;
  // Whether some pixel inside canvas rectangle R has colour C (each component within TOLERANCE).
  bool contains(const vyr::show::layout::Rect& r, const Rgb& c, int tolerance = 1) const;

 private:
  Rgb pixel(int x, int y) const;
  int width_ = 0;
  int height_ = 0;
  std::vector<unsigned> pixels_;
};

}  // namespace vyrtest
