// A colour string through colorFromDefaultsWithKey: the input, byte for byte, as the value stored
// in the preferences file and as the fallback of an absent key.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/rounds/host_round.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vyrfuzz::colourStringRound(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
