#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/uikit/facade.hpp"

namespace {

using Rgba = std::array<double, 4>;

TEST(UIColor, ConstructorsConvertToRGB) {
  ns::AutoreleasePool pool;
  // A single-precision quotient widened to CGFloat must arrive unchanged, not rounded again.
  const double f = static_cast<double>(161.0f / 255.0f);
  EXPECT_EQ(ui::Color::withRed(f, 0.25, 0.375, 0.5).components(), (Rgba{f, 0.25, 0.375, 0.5}));
  EXPECT_EQ(ui::Color::withWhite(0.25, 0.5).components(), (Rgba{0.25, 0.25, 0.25, 0.5}));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double h, s, b;
    Rgba rgba;
  } hsb[] = {
      // One hue per sextant, chosen so that every step is exact in binary.
      {0, 1, 1, {1, 0, 0, 1}},
      {0.125, 1, 1, {1, 0.75, 0, 1}},
      {0.25, 1, 1, {0.5, 1, 0, 1}},
      {0.5, 1, 1, {0, 1, 1, 1}},
      {0.625, 1, 1, {0, 0.25, 1, 1}},
      {0.75, 1, 1, {0.5, 0, 1, 1}},
      {0.875, 1, 1, {1, 0, 0.75, 1}},
      {1, 1, 1, {1, 0, 0, 1}},  // hue 1 is hue 0
      {0, 0.5, 0.5, {0.5, 0.25, 0.25, 1}},
      {0.375, 0, 0.75, {0.75, 0.75, 0.75, 1}},
      {0.375, 1, 0, {0, 0, 0, 1}},
      // Out of range and NaN are limited to 0..1 rather than read outside the sextants.
      {-0.5, 2, 1.5, {1, 0, 0, 1}},
      {7.5, 1, 1, {1, 0, 0, 1}},
      {nan, nan, nan, {0, 0, 0, 1}},
  };
  for (const auto& c : hsb) {
    EXPECT_EQ(ui::Color::withHue(c.h, c.s, c.b, 1).components(), c.rgba) << c.h << " " << c.s;
  }

  // The greys' thirds are held in the device's CGFloat (a float on 32-bit ARM).
  const auto third = static_cast<double>(static_cast<objc::CGFloat>(1.0 / 3));
  const auto twoThirds = static_cast<double>(static_cast<objc::CGFloat>(2.0 / 3));
  EXPECT_EQ(ui::Color::black().components(), (Rgba{0, 0, 0, 1}));
  EXPECT_EQ(ui::Color::clear().components(), (Rgba{0, 0, 0, 0}));
  EXPECT_EQ(ui::Color::cyan().components(), (Rgba{0, 1, 1, 1}));
  EXPECT_EQ(ui::Color::lightGray().components(), (Rgba{twoThirds, twoThirds, twoThirds, 1}));
  EXPECT_EQ(ui::Color::gray().components(), (Rgba{0.5, 0.5, 0.5, 1}));
  EXPECT_EQ(ui::Color::darkGray().components(), (Rgba{third, third, third, 1}));
  EXPECT_EQ(ui::Color::white().components(), (Rgba{1, 1, 1, 1}));
  EXPECT_EQ(ui::Color::red().components(), (Rgba{1, 0, 0, 1}));
  EXPECT_EQ(ui::Color::green().components(), (Rgba{0, 1, 0, 1}));

  const ui::Color base = ui::Color::withRed(0.25, 0.5, 0.625, 0.75);
  const ui::Color faded = base.withAlphaComponent(0.25);
  EXPECT_NE(faded.get(), base.get());
  EXPECT_EQ(faded.components(), (Rgba{0.25, 0.5, 0.625, 0.25}));
  EXPECT_EQ(base.components(), (Rgba{0.25, 0.5, 0.625, 0.75}));
}

TEST(UIColor, ReadingComparingAndDescribing) {
  ns::AutoreleasePool pool;
  const ui::Color c = ui::Color::withRed(1, 0, 0, 0.5);
  objc::CGFloat r = -1, a = -1;
  EXPECT_TRUE(c.getRed(&r, nullptr, nullptr, &a));  // null pointers are skipped
  EXPECT_EQ(r, 1);
  EXPECT_EQ(a, 0.5);
  EXPECT_EQ(ui::Color().components(), (Rgba{0, 0, 0, 0}));

  EXPECT_TRUE(ui::Color::red().isEqual(ui::Color::withHue(0, 1, 1, 1)));
  EXPECT_FALSE(ui::Color::red().isEqual(c));
  EXPECT_FALSE(ui::Color::red().isEqual(ui::Color()));
  objc::id notAColour = objc::send<"new">(foundation::rootClass());
  EXPECT_FALSE(ui::Color::black().isEqual(ui::Color(notAColour)));
  foundation::release(notAColour);
  const auto hash = [](const ui::Color& x) { return objc::send<"hash", unsigned long>(x.get()); };
  EXPECT_EQ(hash(ui::Color::withWhite(0, 1)), hash(ui::Color::withWhite(-0.0, 1)));

  EXPECT_EQ(c.description().str(), "UIDeviceRGBColorSpace 1 0 0 0.5");
}

TEST(UIColor, MadeColoursAreAutoreleased) {
  objc::id kept = nullptr;
  {
    ns::AutoreleasePool pool;
    for (const ui::Color& c : {ui::Color::withRed(0, 0, 0, 1), ui::Color::withWhite(1, 1),
                               ui::Color::withHue(0, 1, 1, 1), ui::Color::cyan(),
                               ui::Color::red().withAlphaComponent(0.5)}) {
      EXPECT_EQ(foundation::retainCount(c.get()), 1);
    }
    // Each call makes its own colour: one caller's release never affects another's colour.
    EXPECT_NE(ui::Color::black().get(), ui::Color::black().get());
    kept = foundation::retain(ui::Color::lightGray().get());
  }
  EXPECT_EQ(foundation::retainCount(kept), 1);  // the pool gave up its reference
  foundation::release(kept);
}

}  // namespace
