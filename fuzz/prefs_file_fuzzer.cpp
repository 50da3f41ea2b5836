// The preferences file: the input as the whole file, read by the library in a host through one
// round of the settings reload, the ten element hooks and the lock-screen hook.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/rounds/host_round.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vyrfuzz::prefsFileRound(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
