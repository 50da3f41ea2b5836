#include "platform/substrate/super_stubs.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

extern "C" {
// The pool of stubs in super_stubs.S: stub I starts I * VYR_SUPER_STUB_SIZE bytes after this
// symbol, loads I and enters the common routine, which calls vyr_substrate_resolve(I) with every
// argument register saved and jumps to the result.
extern const char vyr_substrate_stub_base[];
IMP vyr_substrate_resolve(std::uint32_t index) __attribute__((visibility("hidden")));
}

namespace substrate {
namespace {

constexpr std::size_t kStubSize = VYR_SUPER_STUB_SIZE;

// A record is written once, under gLock, before its stub is handed out; stubs read it on any
// thread, so its fields are atomics that publish with release and read with acquire.
struct Record {
  std::atomic<Class> superclass{nullptr};
  std::atomic<SEL> selector{nullptr};
};

std::mutex gLock;
std::array<Record, kSuperStubCount> gRecords;
std::size_t gUsed = 0;  // guarded by gLock

IMP stubAt(std::size_t index) {
  const char* address = vyr_substrate_stub_base + index * kStubSize;
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(const_cast<char*>(address)));
}

// What a stub runs when its record is somehow empty: behave like a message to nil.
long answerNothing() {
  return 0;
}

}  // namespace

IMP superCallStub(Class superclass, SEL selector) {
  if (superclass == nullptr || selector == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(gLock);
  for (std::size_t i = 0; i < gUsed; ++i) {
    if (gRecords[i].superclass.load(std::memory_order_relaxed) == superclass &&
        gRecords[i].selector.load(std::memory_order_relaxed) == selector) {
      return stubAt(i);
    }
  }
  if (gUsed == kSuperStubCount) return nullptr;
  gRecords[gUsed].selector.store(selector, std::memory_order_release);
  gRecords[gUsed].superclass.store(superclass, std::memory_order_release);
  return stubAt(gUsed++);
}

}  // namespace substrate

extern "C" IMP vyr_substrate_resolve(std::uint32_t index) {
  using substrate::gRecords;
  IMP imp = nullptr;
  if (index < gRecords.size()) {
    const Class superclass = gRecords[index].superclass.load(std::memory_order_acquire);
    const SEL selector = gRecords[index].selector.load(std::memory_order_acquire);
    if (superclass != nullptr && selector != nullptr) {
      imp = class_getMethodImplementation(superclass, selector);
    }
  }
  if (imp != nullptr) return imp;
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&substrate::answerNothing));
}
