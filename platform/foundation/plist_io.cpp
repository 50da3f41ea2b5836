// Reading and writing property-list files: the file through the device's door, the guard of its
// format, then libplist and the conversion to objects (plist_formats.hpp).
#include "platform/foundation/plist_io.hpp"

#include <memory>

#include "device/files.hpp"
#include "platform/foundation/plist_formats.hpp"

namespace foundation::plist {

bool acceptable(std::string_view bytes) {
  if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") return binaryAcceptable(bytes);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return xmlAcceptable(bytes);
}

objc::id readDictionary(std::string_view devicePath, Class cls, int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  const auto content = sim::readFile(sim::Area::Device, devicePath, kMaxFileSize, &why);
  if (!content) return nullptr;
  why = kNotPropertyList;
  if (!acceptable(*content)) return nullptr;
  std::string_view bytes = *content;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  // The string keeps a NUL after the bytes: libplist's XML reader peeks one byte ahead at times.
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const Node root(raw);
  objc::id dictionary = dictionaryFromNode(root.get(), cls);
  if (dictionary != nullptr) why = 0;
  return dictionary;
}

bool writeDictionary(objc::id dictionary, std::string_view devicePath, int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  why = kNotPropertyList;
  const Node root = nodeFromDictionary(dictionary);
  if (!root) return false;
  char* raw = nullptr;  // plist_to_bin writes nothing unless this starts out NULL
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &raw, &length);
  if (raw == nullptr) return false;
  const std::unique_ptr<char, void (*)(char*)> out(raw, &plist_to_bin_free);
  why = sim::writeFile(sim::Area::Device, devicePath, std::string_view(out.get(), length));
  return why == 0;
}

}  // namespace foundation::plist
