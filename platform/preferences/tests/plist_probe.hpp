// What a property-list file holds under a key, told by the file's own node types (a Boolean is
// not an integer), so that tests check what a reader on the device would find.
#pragma once

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace vyrtest {

// "bool:true", "int:6", "string:TEXT", "other" (another type), "missing" (no such key) or
// "unreadable" (no file, or no dictionary in it).
inline std::string storedKind(const std::string& machinePath, const char* key) {
  std::ifstream in(machinePath, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  plist_t root = nullptr;
  if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return "unreadable";
  }
  std::string out = "missing";
  uint8_t b = 0;
  uint64_t v = 0;
  char* s = nullptr;
  if (plist_t node = plist_dict_get_item(root, key)) {
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN:
        plist_get_bool_val(node, &b);
        out = b ? "bool:true" : "bool:false";
        break;
      case PLIST_UINT:
        plist_get_uint_val(node, &v);
        out = "int:" + std::to_string(v);
        break;
      case PLIST_STRING:
        plist_get_string_val(node, &s);
        out = "string:" + std::string(s);
        break;
      default:
        out = "other";
    }
  }
  std::free(s);
  plist_free(root);
  return out;
}

}  // namespace vyrtest
