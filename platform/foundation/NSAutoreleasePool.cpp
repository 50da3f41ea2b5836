// NSAutoreleasePool: the object form of objc_autoreleasePoolPush/Pop, for code written against
// the manual-reference-counting API.
#include <atomic>
#include <thread>

#include "platform/foundation/internal.hpp"

namespace foundation {
namespace {

struct Token {
  void* pool;
  std::thread::id owner;  // pools belong to the thread that made them
};

Payload<Token> gToken("_vyrToken");
std::atomic<Class> gPoolClass{nullptr};

id mInit(id self, SEL) {
  // Allocated before pushing, so that a failure leaves no pool open.
  Token* token = new Token{nullptr, std::this_thread::get_id()};
  token->pool = objc_autoreleasePoolPush();
  gToken.of(self) = token;
  return self;
}

void mDrain(id self, SEL) {
  Token* token = gToken.of(self);
  gToken.of(self) = nullptr;
  if (token != nullptr) {
    if (token->owner == std::this_thread::get_id()) {
      objc_autoreleasePoolPop(token->pool);
    } else {
      logLine("*** -[NSAutoreleasePool drain]: pool drained on a thread that did not make it");
    }
    delete token;
  }
  // The pool ends with its drain, whatever its count says.
  objc::sendSuper<void>(self, gPoolClass.load(std::memory_order_acquire), objc::sel<"release">());
}

id mRetain(id self, SEL) {
  logLine("*** -[NSAutoreleasePool retain]: cannot retain an autorelease pool");
  return self;
}

id mAutorelease(id self, SEL) {
  logLine("*** -[NSAutoreleasePool autorelease]: cannot autorelease an autorelease pool");
  return self;
}

}  // namespace

void registerAutoreleasePoolClass() {
  objc::ClassBuilder b("NSAutoreleasePool", rootClass());
  b.method("init", guarded<&mInit>)
      .method("drain", guarded<&mDrain>)
      .method("release", guarded<&mDrain>)
      .method("retain", guarded<&mRetain>)
      .method("autorelease", guarded<&mAutorelease>);
  Class cls = finishWithFields(b, gToken);
  gPoolClass.store(cls, std::memory_order_release);
}

}  // namespace foundation
