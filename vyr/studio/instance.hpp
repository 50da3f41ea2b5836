// What a device's studio keeps outside the device folder (which is untrusted), in a private
// folder of the user's: the lock that lets one studio run per device, the address it serves, and
// the page that forwards a browser to that address (with the token, which is on no command
// line). The access token is new at every start of the studio: a page of an earlier studio is
// refused, and tells its user to open the studio again.
#pragma once

#include <optional>
#include <string>

#include "vyr/base/result.hpp"

namespace vyr::studio {

class Instance {
 public:
  // Claims the studio of the attached device. Another studio of the device that runs leaves
  // owner() false and its address in runningUrl() (it waits a little for a studio that is still
  // starting to record one). FOLDER overrides the private folder (tests).
  static Result<Instance> claim(const std::optional<std::string>& folder = std::nullopt);

  Instance(Instance&& other) noexcept;
  Instance& operator=(Instance&&) = delete;
  ~Instance();

  bool owner() const { return lock_ >= 0; }
  const std::string& runningUrl() const { return runningUrl_; }
  // This studio's access token, made when it was claimed (never kept for the next studio).
  const std::string& token() const { return token_; }
  // The port the device's studio served last, if it served one.
  std::optional<int> lastPort() const { return lastPort_; }
  // Records URL as the address the device's studio serves.
  Result<> record(const std::string& url);
  // Writes the private page (mode 0600) that forwards to URL; its path.
  Result<std::string> opener(const std::string& url);
  // The private folder, and the name its files start with.
  const std::string& folder() const { return folder_; }
  const std::string& key() const { return key_; }

 private:
  Instance() = default;
  Result<> writePrivate(const std::string& name, const std::string& text);
  int dir_ = -1;
  int lock_ = -1;
  std::string folder_;
  std::string key_;
  std::string token_;
  std::string runningUrl_;
  std::optional<int> lastPort_;
};

// The folder for the user's private files of vyr: the user's runtime folder (sim::runtimeFolder,
// the same whatever the environment); made with mode 0700 and refused, saying which folder and
// why, unless it is a folder of this user that no one else may enter.
Result<std::string> privateFolder();

}  // namespace vyr::studio
