// The door to the device's files, at its own level: what it refuses, and what it does when the
// system's calls fail.
#include "device/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_device.hpp"

namespace {

namespace fs = std::filesystem;
using sim::Area;

// The simulator's own files are out of a device path's reach however it is spelt: the folder, a
// file in it (which has no ".." to tell where it lies), and links to either.
TEST(DoorPaths, TheSimulatorsStateIsNoPartOfTheDevice) {
  vyrtest::TempDevice device;
  ASSERT_EQ(sim::writeFile(Area::Simulator, "device.conf", "ios=8.1\n"), 0);
  fs::create_directories(device.path("/var/mobile"));
  fs::create_symlink("/.sim/device.conf", device.path("/var/mobile/absolute"));
  fs::create_symlink("../../.sim/device.conf", device.path("/var/mobile/relative"));
  fs::create_symlink("/.sim", device.path("/var/mobile/state"));
  fs::create_symlink("/var/mobile/absolute", device.path("/var/mobile/chain"));
  for (const char* path : {"/.sim/device.conf", "/var/mobile/absolute", "/var/mobile/relative",
                           "/var/mobile/state/device.conf", "/var/mobile/chain", "/.sim",
                           "/var/mobile/state/", "/var/mobile/../../.sim/."}) {
    int error = 0;
    EXPECT_FALSE(sim::readFile(Area::Device, path, 1024, &error)) << path;
    EXPECT_EQ(error, sim::kSimulatorState) << path;
    EXPECT_FALSE(sim::exists(Area::Device, path)) << path;
  }
  // A link planted inside the simulator's folder is refused itself, not only what it leads to.
  fs::create_symlink("/var/mobile", device.path("/.sim/away"));
  EXPECT_EQ(sim::openPath(Area::Device, "/.sim/away", false).error(), sim::kSimulatorState);

  // The same links to the device's own files still lead there.
  device.write("/var/mobile/file", "mine");
  fs::create_symlink("file", device.path("/var/mobile/near"));
  fs::create_symlink("/var/mobile/near", device.path("/var/mobile/far"));
  for (const char* path : {"/var/mobile/near", "/var/mobile/far", "/var/mobile/../mobile/./file"})
    EXPECT_EQ(sim::readFile(Area::Device, path, 1024).value_or("missing"), "mine") << path;
  EXPECT_EQ(sim::openFolder(Area::Device, "/var/mobile/far/").error(), ENOTDIR);
}

}  // namespace
