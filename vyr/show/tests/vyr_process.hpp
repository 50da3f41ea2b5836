// Running the built `vyr` as a child process, and reading back what `vyr show` produced.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vyr/show/layout.hpp"

namespace vyrtest {

struct Finished {
  int status = -1;  // the exit status, or 128 + the signal that ended it; -1 when it hung
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;                                     // standard input
  std::vector<std::pair<std::string, std::string>> env;  // set ("" value: removed)
  bool terminal = false;                                 // standard output on a pseudo-terminal
  std::string cwd;  // the folder it runs in (empty: this process's)
};

// Runs vyr with ARGS and waits for it (at most ten seconds, then it is killed).
Finished runVyr(const std::vector<std::string>& args, const RunOptions& options = {});

// A vyr that keeps running (`vyr show --watch`), read as it writes.
class VyrProcess {
 public:
  explicit VyrProcess(const std::vector<std::string>& args);
  ~VyrProcess();  // kills the process if it still runs
  VyrProcess(const VyrProcess&) = delete;
  VyrProcess& operator=(const VyrProcess&) = delete;

  // Reads standard output until DONE(everything read since the last call) is true; returns what
  // was read, or nothing after TIMEOUT. Standard error is collected on the way.
  std::optional<std::string> readUntil(const std::function<bool(const std::string&)>& done,
                                       std::chrono::milliseconds timeout);
  void signal(int number) const;
  // The exit status (as Finished::status) once it ended, or nothing after TIMEOUT.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  const std::string& err() const { return err_; }

 private:
  int pid_ = -1;
  int out_ = -1;
  int errFd_ = -1;
  std::string pending_;
  std::string err_;
};

// One row of `vyr show`'s table.
struct TableRow {
  std::string element;
  std::string source;
  std::string value;
};
// The rows of the last table in OUT, by "screen item" ("home signal", "lock clock and date").
std::map<std::string, TableRow> parseTable(const std::string& out);
// How many complete tables OUT holds.
int tableCount(const std::string& out);

struct Rgb {
  int red;
  int green;
  int blue;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
// "#rrggbbaa" or "#rrggbb" as its red, green and blue.
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
