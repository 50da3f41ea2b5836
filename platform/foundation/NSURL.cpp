// NSURL: an absolute URL kept as the text it was made from.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

struct Link {
  std::string text;
  std::size_t schemeLength = 0;
};

Payload<Link> gLink("_vyrLink");
std::atomic<Class> gURLClass{nullptr};

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The length of TEXT's scheme when TEXT is an absolute URL made only of the characters a URL may
// hold (RFC 3986, with %-escapes well formed); 0 when it is not one.
std::size_t schemeLength(std::string_view text) {
  std::size_t colon = 0;
  while (colon < text.size() && text[colon] != ':') {
    const char c = text[colon];
    const bool ok =
        colon == 0 ? isAlpha(c) : isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    if (!ok) return 0;
    ++colon;
  }
  if (colon == 0 || colon == text.size()) return 0;
  for (std::size_t i = colon; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return 0;
      i += 2;
      continue;
    }
    const bool ok = isAlpha(c) || isDigit(c) ||
                    std::string_view("-._~:/?#[]@!$&'()*+,;=").find(c) != std::string_view::npos;
    if (!ok) return 0;
  }
  return colon;
}

const Link& linkOf(id self) {
  static const Link empty;
  const Link* l = gLink.of(self);
  return l != nullptr ? *l : empty;
}

// Fills SELF from TEXT; false when TEXT is not a URL.
bool fill(id self, id text) {
  const std::string_view bytes = stringBytes(text);
  const std::size_t scheme = schemeLength(bytes);
  if (scheme == 0) return false;
  auto link = std::make_unique<Link>();
  link->text.assign(bytes);
  link->schemeLength = scheme;
  delete gLink.of(self);
  gLink.of(self) = link.release();
  return true;
}

id mURLWithString(id cls, SEL, id text) {
  Owned url(allocInstance(objc::asClass(cls)));
  if (!fill(url.get(), text)) return nullptr;
  return autorelease(url.take());
}

id mInitWithString(id self, SEL, id text) {
  Owned url(self);
  if (!fill(self, text)) return nullptr;
  return url.take();
}

id mAbsoluteString(id self, SEL) {
  return autorelease(newString(linkOf(self).text));
}

id mScheme(id self, SEL) {
  const Link& l = linkOf(self);
  return autorelease(newString(std::string_view(l.text).substr(0, l.schemeLength)));
}

objc::BOOL mIsEqual(id self, SEL, id other) {
  if (!objc::isKindOf(other, gURLClass.load(std::memory_order_acquire))) return objc::no;
  return linkOf(self).text == linkOf(other).text ? objc::yes : objc::no;
}

unsigned long mHash(id self, SEL) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const char c : linkOf(self).text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  return static_cast<unsigned long>(h);  // NSUInteger: its low 32 bits on armv7
}

void mDealloc(id self, SEL) {
  delete gLink.of(self);
  gLink.of(self) = nullptr;
  deallocSuper(self, gURLClass.load(std::memory_order_acquire));
}

}  // namespace

Class urlClass() {
  return gURLClass.load(std::memory_order_acquire);
}

void registerURLClass() {
  objc::ClassBuilder b("NSURL", rootClass());
  b.classMethod("URLWithString:", guarded<&mURLWithString>)
      .method("initWithString:", guarded<&mInitWithString>)
      .method("absoluteString", guarded<&mAbsoluteString>)
      .method("scheme", guarded<&mScheme>)
      .method("description", guarded<&mAbsoluteString>)
      .method("isEqual:", guarded<&mIsEqual>)
      .method("hash", guarded<&mHash>)
      .method("dealloc", guarded<&mDealloc>);
  Class cls = finishWithFields(b, gLink);
  gURLClass.store(cls, std::memory_order_release);
}

}  // namespace foundation
