#include "platform/uikit/host_classes.hpp"

#include "platform/uikit/host_calls.hpp"

namespace uikit {
namespace {

const sim::IosRelease& registered() {
  static const sim::IosRelease release = sim::iosRelease();
  return release;
}

}  // namespace

ios::Interfaces registeredInterfaces() {
  return registered().interfaces;
}

std::optional<objc::ClassBuilder> hostClass(const char* name) {
  const ios::ClassFact* fact = ios::classIn(registeredInterfaces(), name);
  if (fact == nullptr) return std::nullopt;
  const Class superclass = objc::getClass(fact->superclass);
  if (superclass == nullptr) return std::nullopt;
  return objc::ClassBuilder(name, superclass);
}

}  // namespace uikit

namespace uikitsim {

sim::Interfaces registeredInterfaces() {
  return uikit::registeredInterfaces();
}

const char* registeredVersion() {
  return uikit::registered().version;
}

}  // namespace uikitsim
