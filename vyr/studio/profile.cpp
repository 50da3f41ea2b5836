#include "vyr/studio/profile.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/files.hpp"
#include "platform/foundation/plist_io.hpp"
#include "tweak/elements.hpp"

namespace vyr::studio {

Result<std::string> settingsProfile() {
  int error = 0;
  const auto bytes =
      sim::readFile(sim::Area::Device, kPreferencesPath, foundation::plist::kMaxFileSize, &error);
  if (!bytes) {
    if (error == ENOENT) return failed("there is no settings file yet: nothing has been set");
    return failed(std::string("the settings file cannot be read: ") + std::strerror(error));
  }
  std::string_view content = *bytes;
  if (!foundation::plist::acceptable(content)) {
    return failed("the settings file is not a property list the device reads");
  }
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  plist_t raw = nullptr;
  plist_from_memory(content.data(), static_cast<std::uint32_t>(content.size()), &raw);
  const std::unique_ptr<void, void (*)(plist_t)> root(raw, &plist_free);
  if (raw == nullptr || plist_get_node_type(raw) != PLIST_DICT) {
    return failed("the settings file is not a dictionary of settings");
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(raw, &xml, &length);
  if (xml == nullptr) return failed("the settings cannot be written as XML");
  std::string out(xml, length);
  plist_to_xml_free(xml);
  return out;
}

}  // namespace vyr::studio
