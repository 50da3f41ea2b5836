// Values crossing the `vyr host` command line: arguments typed by the method's own signature,
// results and the arguments that reached the host's implementation, written as JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/objc/runtime.hpp"
#include "platform/uikit/host_calls.hpp"
#include "vyr/base/json.hpp"
#include "vyr/base/result.hpp"

namespace vyr {

struct Value {
  enum class Kind { none, object, integer, real, boolean } kind = Kind::none;
  objc::id object = nullptr;
  long long integer = 0;
  double real = 0;
  // A colour as [r, g, b, a], nil and no result as null, another object as {"class": NAME}.
  json::Value toJson() const;
  // A colour as the system's colour string "#RRGGBB:A.AAAAAA"; nothing for any other value.
  std::optional<std::string> colourString() const;
};

// One message send prepared from text arguments, typed by the method's signature.
class MethodCall {
 public:
  // Parses ARGS for METHOD: a colour ("#rrggbb", "#rrggbbaa", or the colour string
  // "#RRGGBB:ALPHA" that answers print) or nil for an object, an integer,
  // a decimal number, YES or NO. A mismatch fails, saying which argument and why.
  static Result<MethodCall> prepare(Method method, const std::vector<std::string>& args);
  // Sends the message to RECEIVER through its current implementation.
  Value invoke(objc::id receiver, SEL cmd) const;

 private:
  std::vector<char> argTypes_;
  char resultType_ = 'v';
  std::vector<Value> args_;
};

// The arguments that reached the host's implementation, as a JSON array in the same notation.
json::Value hostArgsJson(const uikitsim::HostCall& call);

// An autoreleased colour for "#rrggbb", "#rrggbbaa" or "#rrggbb:ALPHA" (a decimal from 0 to 1),
// or nil when TEXT is not one: call it inside an autorelease pool.
objc::id parseColour(const std::string& text, bool& ok);

}  // namespace vyr
