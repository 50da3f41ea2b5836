// The settings pane: the input as the bundle's specifier list "VYR", loaded by VYRListController,
// with every row's cell shown and values of every kind written through the rows' specifiers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/rounds/pane_round.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vyrfuzz::paneRound(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
