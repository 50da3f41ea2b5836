// UIColor: an immutable colour in the device's RGB colour space.
//
// Every colour, however it was made, is kept as red, green, blue and alpha in CGFloat; the
// white, hue-saturation-brightness and named constructors convert on creation, as the device's
// UIColor does for colours of its RGB space. Components are stored as given (no clamping), except
// that hue, saturation and brightness are first limited to 0 to 1.
#include <bit>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"
#include "platform/uikit/fields.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;

namespace uikit {
namespace {

Class gColor = nullptr;
Field<Rgba> gRgba("_rgba", "[4d]");

Rgba& rgbaOf(id self) {
  return gRgba.of(self);
}

id newColor(Class cls, const Rgba& c) {
  id obj = foundation::allocInstance(cls);
  rgbaOf(obj) = c;
  return foundation::autorelease(obj);
}

// Limits X to 0..1; NaN counts as 0, so that the sextant below is always 0 to 5.
CGFloat unit(CGFloat x) {
  return x > 0 ? (x < 1 ? x : 1) : 0;
}

// The standard hue-saturation-brightness to RGB conversion: the hue circle is cut into six
// sextants, in each of which one component is the brightness, one the minimum and one moves
// linearly between them.
Rgba fromHsb(CGFloat hue, CGFloat saturation, CGFloat brightness, CGFloat alpha) {
  const CGFloat h = unit(hue);
  const CGFloat s = unit(saturation);
  const CGFloat v = unit(brightness);
  if (s == 0) return {v, v, v, alpha};
  CGFloat h6 = h * 6;
  if (h6 >= 6) h6 = 0;  // hue 1 is the same angle as hue 0
  const int sextant = static_cast<int>(std::floor(h6));
  const CGFloat f = h6 - static_cast<CGFloat>(sextant);
  const CGFloat p = v * (1 - s);
  const CGFloat q = v * (1 - s * f);
  const CGFloat t = v * (1 - s * (1 - f));
  switch (sextant) {
    case 0:
      return {v, t, p, alpha};
    case 1:
      return {q, v, p, alpha};
    case 2:
      return {p, v, t, alpha};
    case 3:
      return {p, q, v, alpha};
    case 4:
      return {t, p, v, alpha};
    default:
      return {v, p, q, alpha};
  }
}

id cWithRGBA(id cls, SEL, CGFloat r, CGFloat g, CGFloat b, CGFloat a) {
  return newColor(objc::asClass(cls), {r, g, b, a});
}
id cWithWhite(id cls, SEL, CGFloat w, CGFloat a) {
  return newColor(objc::asClass(cls), {w, w, w, a});
}
id cWithHSBA(id cls, SEL, CGFloat h, CGFloat s, CGFloat b, CGFloat a) {
  return newColor(objc::asClass(cls), fromHsb(h, s, b, a));
}

id mInitRGBA(id self, SEL, CGFloat r, CGFloat g, CGFloat b, CGFloat a) {
  rgbaOf(self) = {r, g, b, a};
  return self;
}
id mInitWhite(id self, SEL, CGFloat w, CGFloat a) {
  rgbaOf(self) = {w, w, w, a};
  return self;
}
id mInitHSBA(id self, SEL, CGFloat h, CGFloat s, CGFloat b, CGFloat a) {
  rgbaOf(self) = fromHsb(h, s, b, a);
  return self;
}

id mWithAlpha(id self, SEL, CGFloat a) {
  Rgba c = rgbaOf(self);
  c.alpha = a;
  return newColor(object_getClass(self), c);
}

BOOL mGetRGBA(id self, SEL, CGFloat* r, CGFloat* g, CGFloat* b, CGFloat* a) {
  const Rgba& c = rgbaOf(self);
  if (r != nullptr) *r = c.red;
  if (g != nullptr) *g = c.green;
  if (b != nullptr) *b = c.blue;
  if (a != nullptr) *a = c.alpha;
  return objc::yes;
}

BOOL mIsEqual(id self, SEL, id other) {
  if (other == self) return objc::yes;
  Rgba o{};
  if (!colorComponents(other, &o)) return objc::no;
  const Rgba& c = rgbaOf(self);
  return c.red == o.red && c.green == o.green && c.blue == o.blue && c.alpha == o.alpha ? objc::yes
                                                                                        : objc::no;
}

unsigned long mHash(id self, SEL) {
  const Rgba& c = rgbaOf(self);
  unsigned long h = 0;
  for (CGFloat v : {c.red, c.green, c.blue, c.alpha}) {
    // 0.0 and -0.0 are equal colours, so they must hash alike.
    h = h * 1000003UL ^ std::bit_cast<unsigned long>(v == 0 ? CGFloat{0} : v);
  }
  return h;
}

// The device's wording: "UIDeviceRGBColorSpace 1 0 0 1".
id mDescription(id self, SEL) {
  const Rgba& c = rgbaOf(self);
  char text[160];
  std::snprintf(text, sizeof text, "UIDeviceRGBColorSpace %g %g %g %g", c.red, c.green, c.blue,
                c.alpha);
  return ns::String::withUTF8(text).get();
}

// The named colours, with the device's component values.
constexpr CGFloat kThird = CGFloat{1} / 3;
constexpr CGFloat kTwoThirds = CGFloat{2} / 3;
struct Named {
  const char* selector;
  Rgba rgba;
};
constexpr Named kNamed[] = {
    {"blackColor", {0, 0, 0, 1}},
    {"darkGrayColor", {kThird, kThird, kThird, 1}},
    {"lightGrayColor", {kTwoThirds, kTwoThirds, kTwoThirds, 1}},
    {"whiteColor", {1, 1, 1, 1}},
    {"grayColor", {0.5, 0.5, 0.5, 1}},
    {"redColor", {1, 0, 0, 1}},
    {"greenColor", {0, 1, 0, 1}},
    {"blueColor", {0, 0, 1, 1}},
    {"cyanColor", {0, 1, 1, 1}},
    {"yellowColor", {1, 1, 0, 1}},
    {"magentaColor", {1, 0, 1, 1}},
    {"orangeColor", {1, 0.5, 0, 1}},
    {"purpleColor", {0.5, 0, 0.5, 1}},
    {"brownColor", {CGFloat(0.6), CGFloat(0.4), CGFloat(0.2), 1}},
    {"clearColor", {0, 0, 0, 0}},
};

template <std::size_t I>
id cNamed(id cls, SEL) {
  return newColor(objc::asClass(cls), kNamed[I].rgba);
}
template <std::size_t... I>
void addNamed(objc::ClassBuilder& b, std::index_sequence<I...>) {
  (b.classMethod(kNamed[I].selector, &cNamed<I>), ...);
}

}  // namespace

id makeColor(const Rgba& c) {
  return newColor(gColor, c);
}

bool colorComponents(id obj, Rgba* out) {
  if (gColor == nullptr || !objc::isKindOf(obj, gColor)) return false;
  *out = rgbaOf(obj);
  return true;
}

void registerColor() {
  objc::ClassBuilder b("UIColor", foundation::rootClass());
  b.classMethod("colorWithRed:green:blue:alpha:", &cWithRGBA)
      .classMethod("colorWithWhite:alpha:", &cWithWhite)
      .classMethod("colorWithHue:saturation:brightness:alpha:", &cWithHSBA)
      .method("initWithRed:green:blue:alpha:", &mInitRGBA)
      .method("initWithWhite:alpha:", &mInitWhite)
      .method("initWithHue:saturation:brightness:alpha:", &mInitHSBA)
      .method("colorWithAlphaComponent:", &mWithAlpha)
      .method("getRed:green:blue:alpha:", &mGetRGBA)
      .method("isEqual:", &mIsEqual)
      .method("hash", &mHash)
      .method("description", &mDescription);
  addNamed(b, std::make_index_sequence<std::size(kNamed)>());
  gColor = foundation::finishWithFields(b, gRgba);
}

}  // namespace uikit
