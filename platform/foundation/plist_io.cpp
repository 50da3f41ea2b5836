// Reading and writing property-list files: the file through the device's door, the guard of its
// format, then libplist and the conversion to objects (plist_formats.hpp).
#include "platform/foundation/plist_io.hpp"

#include <memory>

#include "device/files.hpp"
#include "platform/foundation/internal.hpp"
#include "platform/foundation/plist_formats.hpp"

namespace foundation::plist {

bool acceptable(std::string_view bytes, bool* exact) {
  if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") return binaryAcceptable(bytes, exact);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return xmlAcceptable(bytes, exact);
}

namespace {

// libplist's reading of BYTES (a byte-order mark taken off first); null when it fails.
Node parse(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  // The string keeps a NUL after the bytes: libplist's XML reader peeks one byte ahead at times.
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  return Node(raw);
}

}  // namespace

Update updateDictionaryFile(std::string_view devicePath, objc::id key, objc::id value, bool fresh) {
  Update u;
  const auto refuse = [&u](int error, std::string problem, bool reading) {
    u.error = error;
    u.problem = std::move(problem);
    u.reading = reading;
    return u;
  };
  Node root;
  if (fresh) {
    root.reset(plist_new_dict());
  } else {
    int why = 0;
    const auto content = sim::readFile(sim::Area::Device, devicePath, kMaxFileSize, &why);
    if (!content) return refuse(why, {}, true);
    bool exact = false;
    if (!acceptable(*content, &exact)) return refuse(kNotPropertyList, {}, true);
    root = parse(*content);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
      return refuse(kNotPropertyList, {}, true);
    }
    if (!exact) {
      return refuse(kNotExact,
                    "the settings file holds a value that could not be written back exactly (a "
                    "string or key holding a NUL, an integer beyond 64 bits or spelt otherwise, "
                    "or a set)",
                    true);
    }
  }
  if (!root) return refuse(ENOMEM, {}, false);
  if (!isString(key)) return refuse(kNotExact, "the key is not a string", false);
  const std::string keyBytes(stringBytes(key));
  if (keyBytes.find('\0') != std::string::npos) {
    return refuse(kNotExact, "the key holds a NUL, which a property list's keys cannot", false);
  }
  const std::string keyText = validUTF8(keyBytes);
  if (value != nullptr) {
    std::string problem;
    plist_t node = nodeFromObject(value, &problem);
    if (node == nullptr) return refuse(kNotExact, "the value cannot be stored: " + problem, false);
    plist_dict_set_item(root.get(), keyText.c_str(), node);
  } else if (plist_dict_get_item(root.get(), keyText.c_str()) != nullptr) {
    plist_dict_remove_item(root.get(), keyText.c_str());
  }
  char* raw = nullptr;  // plist_to_bin writes nothing unless this starts out NULL
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &raw, &length);
  if (raw == nullptr) return refuse(kNotPropertyList, {}, false);
  const std::unique_ptr<char, void (*)(char*)> out(raw, &plist_to_bin_free);
  u.error = sim::writeFile(sim::Area::Device, devicePath, std::string_view(out.get(), length));
  return u;
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
