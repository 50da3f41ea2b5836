// Ownership: what collections retain and release, autorelease pools, arrays out of range, and
// shared objects used from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using ns::String;
using objc::id;

// A fresh string owned by the caller alone.
id ownedString(const char* text) {
  return (objc::send<"initWithUTF8String:", id>(objc::send<"alloc">(String::cls()), text));
}

long count(id obj) {
  return foundation::retainCount(obj);
}

TEST(ReferenceCounting, AnOwnedHandleReleasesItsReferenceExactlyOnce) {
  id a = ownedString("a");
  id b = ownedString("b");
  foundation::retain(a);  // the test's own references, to watch the counts
  foundation::retain(b);
  {
    ns::Owned<String> first{String(a)};
    ns::Owned<String> second = std::move(first);  // handed on, not shared
    EXPECT_TRUE(first.isNil());
    EXPECT_EQ(count(a), 2);
    first = std::move(second);  // and back
    EXPECT_EQ(count(a), 2);
    ns::Owned<String>& same = first;
    first = std::move(same);  // onto itself: keeps the reference
    EXPECT_EQ(first->length(), 1u);
    first.reset(String(b));  // lets go of a, holds b's
    EXPECT_EQ(count(a), 1);
    EXPECT_EQ(count(b), 2);
    String taken = first.take();  // the caller owns it now
    EXPECT_FALSE(first);
    first.reset();
    EXPECT_EQ(count(b), 2);
    first.reset(taken);
    ns::AutoreleasePool pool;
    const String kept = ns::Owned<String>(String(ownedString("c"))).autorelease();
    EXPECT_EQ(kept.str(), "c");  // alive until the pool goes
  }
  EXPECT_EQ(count(a), 1);
  EXPECT_EQ(count(b), 1);
  foundation::release(a);
  foundation::release(b);
}

TEST(ReferenceCounting, DictionariesOwnTheirKeysAndValues) {
  id key = ownedString("key");
  id value = ownedString("value");
  id other = ownedString("other");
  {
    ns::AutoreleasePool pool;
    ns::MutableDictionary d = ns::MutableDictionary::dictionary();
    d.retain();  // outlive the pool
    d.setObjectForKey(value, key);
    EXPECT_EQ(count(key), 2);
    EXPECT_EQ(count(value), 2);
    EXPECT_EQ(d.objectForKey(key), value);
    EXPECT_EQ(d.objectForKey(String::withUTF8("key").get()), value);  // equal text, other object
    // Replacing keeps the first key object and swaps the values.
    d.setObjectForKey(other, String::withUTF8("key").get());
    EXPECT_EQ(count(value), 1);
    EXPECT_EQ(count(other), 2);
    EXPECT_EQ(d.count(), 1u);
    // nil and non-string keys are refused with a line, not a crash.
    testing::internal::CaptureStderr();
    d.setObjectForKey(id{}, key);
    d.setObjectForKey(value, id{});
    d.setObjectForKey(value, ns::Number::withInt(1).get());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_EQ(d.count(), 1u);
    EXPECT_EQ(d.objectForKey(ns::Number::withInt(1).get()), nullptr);
    EXPECT_EQ(d.objectForKey(id{}), nullptr);
    // allKeys hands out an autoreleased array that holds its own references.
    ns::Array keys = d.allKeys();
    EXPECT_EQ(keys.count(), 1u);
    EXPECT_EQ(count(key), 3);
    // An immutable copy shares the values.
    id copy = objc::send<"copy">(d.get());
    EXPECT_FALSE(ns::Object(copy).isKindOfClass(ns::MutableDictionary::cls()));
    EXPECT_EQ(ns::Dictionary(copy).objectForKey(key), other);
    EXPECT_EQ(count(other), 3);
    foundation::release(copy);
    EXPECT_EQ(count(other), 2);
    d.removeObjectForKey(String::withUTF8("key").get());
    d.removeObjectForKey(String::withUTF8("absent").get());
    EXPECT_EQ(count(other), 1);
    EXPECT_EQ(d.count(), 0u);
    d.setObjectForKey(value, key);
    d.release();  // the last owner: the dictionary lets go of what it holds
  }
  EXPECT_EQ(count(key), 1);
  EXPECT_EQ(count(value), 1);
  foundation::release(key);
  foundation::release(value);
  foundation::release(other);
}

TEST(ReferenceCounting, ArraysOwnElementsAndRefuseBadIndexes) {
  id a = ownedString("a");
  id b = ownedString("b");
  {
    ns::AutoreleasePool pool;
    const id objects[] = {a, b, a};
    ns::Array array(
        (objc::send<"arrayWithObjects:count:", id>(ns::Array::cls(), &objects[0], 3UL)));
    EXPECT_EQ(array.count(), 3u);
    EXPECT_EQ(count(a), 3);
    EXPECT_EQ(array.objectAtIndex(2), a);
    EXPECT_EQ(array.objectAtIndexedSubscript(1), b);
    testing::internal::CaptureStderr();
    EXPECT_EQ(array.objectAtIndex(3), nullptr);
    EXPECT_EQ(array.objectAtIndexedSubscript(~0UL), nullptr);
    EXPECT_EQ(ns::Array((objc::send<"array", id>(ns::Array::cls()))).objectAtIndex(0), nullptr);
    const id withNil[] = {a, nullptr};
    EXPECT_EQ((objc::send<"arrayWithObjects:count:", id>(ns::Array::cls(), &withNil[0], 2UL)),
              nullptr);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
    EXPECT_NE(log.find("index 3 beyond bounds [0 .. 2]"), std::string::npos) << log;
    EXPECT_EQ(count(a), 3);  // the refused array took nothing
  }
  EXPECT_EQ(count(a), 1);
  EXPECT_EQ(count(b), 1);
  foundation::release(a);
  foundation::release(b);
}

TEST(ReferenceCounting, AutoreleasePoolObjectsDrainWhatTheyCover) {
  id kept = ownedString("kept");
  id outer = objc::send<"new">(objc::getClass("NSAutoreleasePool"));
  ASSERT_NE(outer, nullptr);
  foundation::retain(kept);
  foundation::autorelease(kept);
  id inner = objc::send<"new">(objc::getClass("NSAutoreleasePool"));
  foundation::retain(kept);
  foundation::autorelease(kept);
  EXPECT_EQ(count(kept), 3);
  (objc::send<"drain", void>(inner));
  EXPECT_EQ(count(kept), 2);
  // Draining the outer pool also drains any pool still open inside it.
  ns::AutoreleasePool* forgotten = new ns::AutoreleasePool();
  foundation::retain(kept);
  foundation::autorelease(kept);
  (objc::send<"drain", void>(outer));
  EXPECT_EQ(count(kept), 1);
  delete forgotten;  // popping a pool that is already gone does nothing
  EXPECT_EQ(count(kept), 1);
  // Strings made in a pool die with it: the pool's release is a drain too.
  id pool = objc::send<"new">(objc::getClass("NSAutoreleasePool"));
  String::withUTF8("temporary");
  (objc::send<"release", void>(pool));
  foundation::release(kept);
}

TEST(ReferenceCounting, SharedObjectsAcrossThreads) {
  vyrtest::TempDevice device;
  device.write(
      "/var/mobile/Library/Preferences/shared.plist",
      vyrtest::xmlPlist({{"ENABLED1", "<true/>"}, {"vyrColor1", "<string>#ff0000:0.5</string>"}}));
  id shared = ownedString("#a1a1a1:1.0");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ns::AutoreleasePool pool;
        foundation::retain(shared);
        foundation::autorelease(shared);
        const ns::Array parts = String(shared).componentsSeparatedByString(String::withUTF8(":"));
        ns::Dictionary d = ns::Dictionary::allocInitWithContentsOfFile(
                               String::withUTF8("/var/mobile/Library/Preferences/shared.plist"))
                               .take();
        if (parts.count() != 2 || d.isNil() ||
            !ns::Object(d.objectForKey(String::withUTF8("ENABLED1").get())).boolValue()) {
          ++failures;
        }
        d.release();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(count(shared), 1);
  foundation::release(shared);
}

}  // namespace
