// Confining a device process: what code from the device may do once it runs on this machine.
//
// A device process (a UI process, the Settings app) loads libraries and bundles from the device
// folder, which is untrusted. Before it loads any of them it confines itself, for good, with the
// kernel's own mechanism (Landlock), so that code planted in the device can reach only the
// device.
//
// Contract for whoever starts a device process:
//  - Call confineToDevice once the device is attached and before the process loads anything from
//    the device, and before it starts any thread: the kernel confines the calling thread and what
//    it starts later, never threads already running (a process that already runs other threads is
//    therefore not confined by the kernel and answers IdenticalOnly).
//  - A confined process keeps its open descriptors (standard input and output, pipes to its
//    parent), but can open nothing for writing outside the device, cannot bind or connect a TCP
//    socket, cannot signal processes outside its own domain (unless signalOutside is set) and
//    cannot reach abstract unix sockets made outside it: talk to it through inherited descriptors
//    or through unix sockets with a path inside the device.
//  - A process that cannot be confined (a front end that must still write outside the device or
//    serve TCP) never calls confineToDevice; it stays at None, which loads exactly as
//    IdenticalOnly does.
//
// Loading (sim::loadLibrary) follows the answer: under Kernel anything of the device is loaded;
// under IdenticalOnly or None only a library byte for byte identical to the build's own copy is,
// and the build's copy is what gets mapped. Any other is refused with one line saying why.
//
// For tests: VYR_SIM_CONFINE=identical-only in the environment makes confineToDevice answer
// IdenticalOnly without asking the kernel, as on a machine without Landlock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Confinement {
  None,           // not confined: confineToDevice has not run in this process
  Kernel,         // the kernel confines this process and its children to the device
  IdenticalOnly,  // the kernel cannot: only libraries identical to the build's own may be loaded
};

struct ConfineOptions {
  // The build's folder: its libraries and data are readable and executable, and it holds the
  // copies that IdenticalOnly compares against. Empty: the folder of this executable.
  std::string payload;
  // More machine folders or files that may be read (and executed), such as font caches.
  std::vector<std::string> readOnly;
  // Leaves signals unscoped, for a process that must itself signal the device's processes that
  // run in other domains (the Settings app's respring). Everything else stays confined.
  bool signalOutside = false;
};

// Confines this process, and every process it starts, to its attached device: reading and
// writing only beneath the device folder (its root descriptor as attached); reading and executing
// outside it only the system's library folders, the loader's and fontconfig's files in /etc,
// /proc/self, the build's payload and OPTIONS.readOnly; no TCP; signals and abstract sockets only
// within the confined processes. Where the kernel cannot (no Landlock, an ABI older than 6,
// threads already running, the knob above), nothing is restricted and the answer is
// IdenticalOnly. A later call returns the first call's answer. Thread-safe, never throws.
Confinement confineToDevice(const ConfineOptions& options = {});

// What confineToDevice settled for this process; None before it ran.
Confinement confinement();

// Why this process is not confined by the kernel, in words ("Landlock is not available: ...");
// empty under Kernel.
std::string whyNotConfined();

// The build's own copy of the library at device path DEVICE_PATH (a substrate library or a
// preference bundle's executable), as a machine path; empty when the build has none.
std::string buildCopyOf(std::string_view devicePath);

// The machine path of this process's own executable (as /proc/self/exe names it); empty when it
// cannot be read. The one place that answers it: the front end starts its children with it.
std::string ownExecutable();

// The folder of this process's executable (the build's payload beside it); "." when unknown.
std::string executableFolder();

// The suppression files that this process's sanitizer options name: a sanitizer build reads them
// lazily (LeakSanitizer at exit), so a confined process must still reach them. Empty in other
// builds, whose options name none.
std::vector<std::string> sanitizerSuppressionFiles();

// Whether the file open as FD holds exactly the bytes of the machine file BUILD_COPY.
bool identicalTo(int fd, const std::string& buildCopy);

}  // namespace sim
