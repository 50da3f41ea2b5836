// The one door to the device's files: every open, read, write, rename, removal, folder walk and
// library load of the simulator, the stand-in frameworks and the `vyr` command goes through here.
//
// The device folder is untrusted: whoever can write to it may plant symbolic links, FIFOs or
// device nodes, or swap a folder for a link while we work. So nothing here resolves a path to a
// machine path string and uses it again. Every operation starts from an open descriptor of the
// device's root and walks beneath it with openat2(RESOLVE_IN_ROOT), which treats that descriptor
// as "/" for the whole walk: an absolute link inside the device resolves inside the device, as it
// does on the device (/User -> /var/mobile), ".." stops at the root, and a link that would leave
// the device lands inside it instead (and so usually reads as missing). Creation, renaming and
// removal then act on the descriptor of the containing folder, by name, without following a link
// at the last step. What is opened is checked on the descriptor: a regular file where a file is
// meant, a folder where a folder is meant; anything else is refused before it is read or waited
// on.
//
// Two areas share the device folder:
//  - Area::Device, the device's own file system, named by absolute device paths
//    ("/var/mobile/Library/Preferences/com.belvorin.VYR.plist"). The simulator's own folder is not
//    part of it: a device path that reaches it, directly or through a link, is refused
//    (kSimulatorState).
//  - Area::Simulator, the simulator's state in the folder ".sim" of the device folder (process
//    table, notifications, locks, device.conf), named by paths relative to it ("proc/123").
//    No symbolic link is followed there at all, and nothing leaves it.
//
// Errors are errno values (0 for success); kNotRegularFile and kNotFolder name the refusal of a
// special file. describe() turns one into words. Every function is safe on any thread and never
// throws (out of memory reads as ENOMEM).
//
// The door is split by job, one header each, all included here: descriptors and refusals
// (files/fd.hpp), path resolution and reading (files/paths.hpp), writes through temporary names
// and new names (files/writes.hpp), removal (files/removal.hpp), and the library loader beside
// the confinement (library.hpp). The system calls by which the door acts go through one table
// (files/os.hpp) that tests can make fail.
#pragma once

#include "device/files/fd.hpp"
#include "device/files/paths.hpp"
#include "device/files/removal.hpp"
#include "device/files/writes.hpp"
#include "device/library.hpp"
