#include "device/confine.hpp"

#include <atomic>
#include <mutex>

namespace sim {
namespace {

std::atomic<Confinement> gConfinement{Confinement::None};
std::mutex gConfineLock;

}  // namespace

Confinement confineToDevice(const std::vector<std::string>& readOnly) {
  std::lock_guard<std::mutex> guard(gConfineLock);
  (void)readOnly;
  if (gConfinement.load() == Confinement::None) gConfinement.store(Confinement::IdenticalOnly);
  return gConfinement.load();
}

Confinement confinement() {
  return gConfinement.load();
}

}  // namespace sim
