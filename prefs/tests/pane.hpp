// The VYR pane as the tests reach it: the built bundle and its PreferenceLoader entry installed
// into a test device, then opened as the Settings app opens it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/preferences/settings_app.hpp"
#include "tests/support/temp_device.hpp"

namespace vyrtest {

inline void installPane(const TempDevice& device) {
  namespace fs = std::filesystem;
  const fs::path bundle = device.path("/Library/PreferenceBundles/VYR.bundle");
  fs::create_directories(bundle.parent_path());
  fs::copy(VYR_BIN_DIR "/VYR.bundle", bundle, fs::copy_options::recursive);
  std::ifstream entry(VYR_BIN_DIR "/PreferenceLoader/VYR.plist", std::ios::binary);
  device.write(
      "/Library/PreferenceLoader/Preferences/VYR.plist",
      std::string(std::istreambuf_iterator<char>(entry), std::istreambuf_iterator<char>()));
}

inline std::unique_ptr<preferences::settings::Pane> openPane() {
  for (const auto& entry : preferences::settings::paneEntries()) {
    if (entry.bundle != "VYR") continue;
    std::string error;
    auto pane = preferences::settings::Pane::open(entry, &error);
    EXPECT_TRUE(pane) << error;
    return pane;
  }
  ADD_FAILURE() << "no entry for the VYR bundle";
  return nullptr;
}

inline std::string settingsFile(const TempDevice& device) {
  return device.path("/var/mobile/Library/Preferences/com.belvorin.VYR.plist");
}

}  // namespace vyrtest
