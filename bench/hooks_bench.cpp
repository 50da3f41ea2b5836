// What one hooked call costs: each kind of hook (a setter, a getter, the initialiser, the
// lock-screen hook) on each path (custom colour, preset, switched off), with a settings file as
// the pane leaves it (all 25 keys, about a kilobyte) in XML and in binary form. Each is measured
// three ways in the same run:
//   host            the host's own method, called directly: no settings work at all;
//   read_every_call the hook with the preferences cache bypassed, so that every call reads and
//                   parses the whole file, as the hooks did before the cache;
//   cached          the hook as shipped.
// Counters: "speedup" (cached only) is the median CPU time per call of read_every_call (same kind,
// path and format, from this run) over this benchmark's; "allocs" the heap allocations per call
// (malloc family, operator new included), "objc_allocs" the Objective-C objects made per call (also
// in "allocs"). Parts, for reference: settings_read/* the settings read alone (PreferencesRead),
// both ways; file_watch/changed the question the cache asks on every call; colour_strings/* the two
// colour strings that the custom path reads on every call.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "bench/alloc_count.h"
#include "colour/colour_string.hpp"
#include "colour/prefs_cache.hpp"
#include "device/device.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/system/libsystem.h"
#include "platform/uikit/facade.hpp"
#include "tweak/hooks.hpp"
#include "tweak/settings.hpp"

namespace {

namespace fs = std::filesystem;

enum class Kind { setter, getter, initialiser, lockScreen };
enum class Path { custom, preset, off };
enum class Format { xml, binary };
enum class Mode { host, readEveryCall, cached };

const char* name(Kind k) {
  switch (k) {
    case Kind::setter:
      return "setter";
    case Kind::getter:
      return "getter";
    case Kind::initialiser:
      return "initialiser";
    case Kind::lockScreen:
      break;
  }
  return "lockscreen";
}
// The lock-screen hook has no colour: its two paths are "lssame" on (it answers the default
// style itself, as a preset answers its colour) and off (the host answers).
const char* name(Kind k, Path p) {
  if (k == Kind::lockScreen) return p == Path::off ? "off" : "same";
  return p == Path::custom ? "custom" : p == Path::preset ? "preset" : "off";
}
const char* name(Format f) {
  return f == Format::xml ? "xml" : "binary";
}
const char* name(Mode m) {
  return m == Mode::host ? "host" : m == Mode::readEveryCall ? "read_every_call" : "cached";
}

// A device folder for this run, removed at exit.
class Device {
 public:
  Device() {
    std::string pattern = (fs::temp_directory_path() / "vyr-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    fs::create_directories(root_ + "/var/mobile/Library/Preferences");
    fs::create_directories(root_ + "/.sim");
    sim::attachDevice(root_);
  }
  ~Device() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  std::string prefsFile() const { return root_ + std::string(kPreferencesPath); }

 private:
  std::string root_;
};

// One key of the settings file and its value for a path.
struct Setting {
  std::string key;
  enum { boolean, integer, string } type;
  bool on = false;
  int number = 0;
  std::string text;
};

// The keys the pane writes, in its order, with the values that send every element down PATH.
std::vector<Setting> settingsFor(Path path) {
  static const char* const kColours[] = {"#A1B2C3:1.000000", "#FF3B30:0.800000",
                                         "#4CD964:1.000000", "#007AFF:0.500000",
                                         "#EABB00:1.000000", "#5856D6:0.250000"};
  std::vector<Setting> out;
  for (std::size_t i = 0; i < kElements.size(); ++i) {
    const ElementNames& e = kElements[i];
    out.push_back({e.enableKey, Setting::boolean, path != Path::off, 0, {}});
    out.push_back({e.presetKey, Setting::integer, false, 9 + e.number - 1, {}});
    out.push_back({e.customSwitchKey, Setting::boolean, path == Path::custom, 0, {}});
    out.push_back({e.customColourKey, Setting::string, false, 0, kColours[i]});
  }
  out.push_back({kLockScreenSameKey, Setting::boolean, path != Path::off, 0, {}});
  return out;
}

// The file as the Preferences framework writes XML: Apple's header, tab indentation.
std::string xmlFile(const std::vector<Setting>& settings) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const Setting& s : settings) {
    out += "\t<key>" + s.key + "</key>\n\t";
    switch (s.type) {
      case Setting::boolean:
        out += s.on ? "<true/>" : "<false/>";
        break;
      case Setting::integer:
        out += "<integer>" + std::to_string(s.number) + "</integer>";
        break;
      case Setting::string:
        out += "<string>" + s.text + "</string>";
        break;
    }
    out += "\n";
  }
  return out + "</dict>\n</plist>\n";
}

// Writes the settings for PATH in FORMAT, as a writer that replaces the file would.
void writeSettings(const Device& device, Path path, Format format) {
  ns::AutoreleasePool pool;
  const std::vector<Setting> settings = settingsFor(path);
  if (format == Format::xml) {
    const std::string temp = device.prefsFile() + ".new";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << xmlFile(settings);
    fs::rename(temp, device.prefsFile());
    return;
  }
  // Foundation writes binary property lists.
  const ns::MutableDictionary dict = ns::MutableDictionary::dictionary();
  for (const Setting& s : settings) {
    const ns::String key = ns::String::withUTF8(s.key.c_str());
    switch (s.type) {
      case Setting::boolean:
        dict.setObjectForKey(ns::Number::withBool(s.on).get(), key.get());
        break;
      case Setting::integer:
        dict.setObjectForKey(ns::Number::withInt(s.number).get(), key.get());
        break;
      case Setting::string:
        dict.setObjectForKey(ns::String::withUTF8(s.text.c_str()).get(), key.get());
        break;
    }
  }
  dict.writeToFile(ns::String::withUTF8(std::string(kPreferencesPath).c_str()), true);
}

// The read_every_call medians of this run, by kind/path/format, for the speedup counter.
std::map<std::string, std::vector<double>>& baselines() {
  static std::map<std::string, std::vector<double>> made;
  return made;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The process's CPU time, as the "CPU" column counts it: on a shared machine it shifts less
// with the load of others than the time on the clock does.
double cpuNanoseconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Times CALL once per iteration, each in an autorelease pool of its own (the colours a call makes
// are freed with it, as the host's run loop would), and sets the counters.
template <class F>
void measure(benchmark::State& state, const std::string& key, Mode mode, F&& call) {
  call();  // the first call after a change reads the file: not the steady state
  const unsigned long heap = vyr_bench_heap_allocations();
  const unsigned long objects = vyr_bench_object_allocations();
  const double start = cpuNanoseconds();
  for (auto _ : state) {
    ns::AutoreleasePool pool;
    call();
  }
  const double iterations = static_cast<double>(state.iterations());
  const double ns = (cpuNanoseconds() - start) / iterations;
  state.counters["allocs"] = static_cast<double>(vyr_bench_heap_allocations() - heap) / iterations;
  state.counters["objc_allocs"] =
      static_cast<double>(vyr_bench_object_allocations() - objects) / iterations;
  if (mode == Mode::readEveryCall) baselines()[key].push_back(ns);
  if (mode == Mode::cached) {
    const auto found = baselines().find(key);
    if (found != baselines().end()) state.counters["speedup"] = median(found->second) / ns;
  }
}

void hookCall(benchmark::State& state, const Device* device, Kind kind, Path path, Format format,
              Mode mode) {
  ns::AutoreleasePool outer;
  writeSettings(*device, path, format);
  // The custom switches follow the file only when the notification arrives.
  reloadSettings();
  colour::setCacheBypassed(mode == Mode::readEveryCall);
  const std::string key = std::string(name(kind)) + "/" + name(kind, path) + "/" + name(format);
  const bool host = mode == Mode::host;

  objc::id hostColour = ui::Color::withRed(0.2, 0.4, 0.6, 1.0).get();
  switch (kind) {
    case Kind::setter: {
      objc::id spinner = objc::send<"new">(hookedClass(HookId::activityIndicatorSetColor));
      const SEL cmd = hookedSelector(HookId::activityIndicatorSetColor);
      const IMP own = origActivityIndicatorSetColor;
      measure(state, key, mode, [&] {
        if (host) {
          objc::callImp<void, objc::id>(own, spinner, cmd, hostColour);
        } else {
          objc::send<void, objc::id>(spinner, cmd, hostColour);
        }
      });
      ns::Object(spinner).release();
      break;
    }
    case Kind::getter: {
      // The battery getter of a process without a device (iOS 8.1): the flat foreground style's.
      objc::id attrs = objc::send<"new">(hookedClass(HookId::newUIBatteryColorCharging));
      const SEL cmd = hookedSelector(HookId::newUIBatteryColorCharging);
      const IMP own = origNewUIBatteryColorCharging;
      using objc::CGFloat;
      measure(state, key, mode, [&] {
        const CGFloat capacity{0.5}, low{0.2};
        objc::id colour = host ? objc::callImp<objc::id, CGFloat, CGFloat, objc::BOOL>(
                                     own, attrs, cmd, capacity, low, objc::no)
                               : objc::send<objc::id, CGFloat, CGFloat, objc::BOOL>(
                                     attrs, cmd, capacity, low, objc::no);
        benchmark::DoNotOptimize(colour);
      });
      ns::Object(attrs).release();
      break;
    }
    case Kind::initialiser: {
      const Class cls = hookedClass(HookId::newUIStyleAttributesInit);
      const SEL cmd = hookedSelector(HookId::newUIStyleAttributesInit);
      const IMP own = origNewUIStyleAttributesInit;
      // Every call makes and frees one instance, the host's own way included.
      measure(state, key, mode, [&] {
        objc::id fresh = objc::send<"alloc">(cls);
        fresh = host ? objc::callImp<objc::id, objc::id, objc::id, objc::id>(
                           own, fresh, cmd, nullptr, hostColour, hostColour)
                     : objc::send<objc::id, objc::id, objc::id, objc::id>(fresh, cmd, nullptr,
                                                                          hostColour, hostColour);
        ns::Object(fresh).release();
      });
      break;
    }
    case Kind::lockScreen: {
      objc::id controller = objc::send<"new">(hookedClass(HookId::lockScreenStatusBarStyle));
      const SEL cmd = hookedSelector(HookId::lockScreenStatusBarStyle);
      const IMP own = origLockScreenStatusBarStyle;
      measure(state, key, mode, [&] {
        const objc::NSInteger style = host ? objc::callImp<objc::NSInteger>(own, controller, cmd)
                                           : objc::send<objc::NSInteger>(controller, cmd);
        benchmark::DoNotOptimize(style);
      });
      ns::Object(controller).release();
      break;
    }
  }
  colour::setCacheBypassed(false);
}

void settingsRead(benchmark::State& state, const Device* device, Format format, Mode mode) {
  ns::AutoreleasePool outer;
  writeSettings(*device, Path::preset, format);
  colour::setCacheBypassed(mode == Mode::readEveryCall);
  const std::string key = std::string("settings_read/") + name(format);
  measure(state, key, mode, [] {
    const PreferencesRead prefs;
    benchmark::DoNotOptimize(prefs.exists());
  });
  colour::setCacheBypassed(false);
}

// The floor of a cached read: asking the file watch whether anything happened.
void watchAlone(benchmark::State& state, const Device* device) {
  writeSettings(*device, Path::preset, Format::xml);
  libsystem::FileWatch watch(kPreferencesPath);
  measure(state, "file_watch", Mode::host, [&] { benchmark::DoNotOptimize(watch.changed()); });
}

// What the custom path does besides its settings work: reading the fallback and the stored
// colour strings, which happens on every call by design.
void colourStringsAlone(benchmark::State& state) {
  ns::AutoreleasePool outer;
  const ns::String fallback = ns::String::literal<kCustomColourFallback>();
  const ns::String stored = ns::String::literal<"#A1B2C3:1.000000">();
  measure(state, "colour_strings", Mode::host, [&] {
    benchmark::DoNotOptimize(colour::readColourString(fallback.get()));
    benchmark::DoNotOptimize(colour::readColourString(stored.get()));
  });
}

}  // namespace

int main(int argc, char** argv) {
  const Device device;
  {
    ns::AutoreleasePool pool;
    // Loaded as the substrate loader loads the library.
    initSettings();
    installHooks();
  }
  for (const Format format : {Format::xml, Format::binary}) {
    writeSettings(device, Path::preset, format);
    benchmark::AddCustomContext(std::string("settings_file_bytes_") + name(format),
                                std::to_string(fs::file_size(device.prefsFile())));
  }

  for (const Format format : {Format::xml, Format::binary}) {
    for (const Mode mode : {Mode::readEveryCall, Mode::cached}) {
      benchmark::RegisterBenchmark(
          (std::string("settings_read/") + name(format) + "/" + name(mode)).c_str(), settingsRead,
          &device, format, mode);
    }
  }
  benchmark::RegisterBenchmark("file_watch/changed", watchAlone, &device);
  benchmark::RegisterBenchmark("colour_strings/fallback_and_stored", colourStringsAlone);
  for (const Kind kind : {Kind::setter, Kind::getter, Kind::initialiser, Kind::lockScreen}) {
    benchmark::RegisterBenchmark((std::string(name(kind)) + "/host").c_str(), hookCall, &device,
                                 kind, Path::preset, Format::xml, Mode::host);
    for (const Path path : {Path::custom, Path::preset, Path::off}) {
      if (kind == Kind::lockScreen && path == Path::custom) continue;
      for (const Format format : {Format::xml, Format::binary}) {
        for (const Mode mode : {Mode::readEveryCall, Mode::cached}) {
          benchmark::RegisterBenchmark((std::string(name(kind)) + "/" + name(kind, path) + "/" +
                                        name(format) + "/" + name(mode))
                                           .c_str(),
                                       hookCall, &device, kind, path, format, mode);
        }
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
