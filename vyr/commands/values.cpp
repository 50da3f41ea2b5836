#include "vyr/commands/values.hpp"

#include <ffi.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "vyr/base/json.hpp"
#include "vyr/render/report.hpp"

namespace vyr {
namespace {

char baseType(const char* encoding) {
  // Skip the qualifiers (const, in, out, ...) that may precede the type itself.
  while (*encoding != '\0' && std::strchr("rnNoORV", *encoding) != nullptr) ++encoding;
  return *encoding;
}

ffi_type* ffiTypeOf(char t) {
  switch (t) {
    case '@':
    case '#':
    case ':':
    case '*':
    case '^':
      return &ffi_type_pointer;
    case 'c':
      return &ffi_type_sint8;
    case 'C':
    case 'B':  // BOOL on arm64, a one-byte bool
      return &ffi_type_uint8;
    case 's':
      return &ffi_type_sint16;
    case 'S':
      return &ffi_type_uint16;
    case 'i':
      return &ffi_type_sint32;
    case 'I':
      return &ffi_type_uint32;
    case 'l':  // long: 32 bits on 32-bit ARM
      return &ffi_type_slong;
    case 'L':
      return &ffi_type_ulong;
    case 'q':
      return &ffi_type_sint64;
    case 'Q':
      return &ffi_type_uint64;
    case 'f':
      return &ffi_type_float;
    case 'd':
      return &ffi_type_double;
    case 'v':
      return &ffi_type_void;
    default:
      return nullptr;
  }
}

bool isInteger(char t) {
  return std::strchr("csiIlLqQS", t) != nullptr;
}

bool parseInteger(const std::string& text, long long& out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end;
}

bool parseReal(const std::string& text, double& out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

json::Value classJson(const char* name) {
  return json::Value::object({{"class", name}});
}

}  // namespace

objc::id parseColour(const std::string& given, bool& ok) {
  ok = false;
  std::string text = given;
  double alpha = -1;
  if (const std::size_t colon = given.find(':'); colon == 7) {
    if (!parseReal(given.substr(colon + 1), alpha) || !(alpha >= 0 && alpha <= 1)) return nullptr;
    text = given.substr(0, colon);
  }
  if (text.size() != 7 && (text.size() != 9 || alpha >= 0)) return nullptr;
  if (text[0] != '#') return nullptr;
  double c[4] = {0, 0, 0, alpha >= 0 ? alpha : 1};
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const int hi = hexDigit(text[i + 1]);
    const int lo = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) return nullptr;
    c[i / 2] = (hi * 16 + lo) / 255.0;
  }
  ok = true;
  return ui::Color::withRed(c[0], c[1], c[2], c[3]).get();
}

json::Value Value::toJson() const {
  switch (kind) {
    case Kind::none:
      return nullptr;
    case Kind::integer:
      return integer;
    case Kind::real:
      return real;
    case Kind::boolean:
      return integer != 0;
    case Kind::object:
      break;
  }
  if (object == nullptr) return nullptr;
  if (ns::Object(object).isKindOfClass(objc::getClass("UIColor"))) {
    return json::colour(ui::Color(object).components());
  }
  return classJson(objc::className(object));
}

std::optional<std::string> Value::colourString() const {
  if (kind != Kind::object || object == nullptr ||
      !ns::Object(object).isKindOfClass(objc::getClass("UIColor"))) {
    return std::nullopt;
  }
  const auto c = ui::Color(object).components();
  return show::colourString(show::Rgba{c[0], c[1], c[2], c[3]});
}

Result<MethodCall> MethodCall::prepare(Method method, const std::vector<std::string>& args) {
  MethodCall call;
  const unsigned count = method_getNumberOfArguments(method);
  if (count < 2 || count - 2 != args.size()) {
    return failed("expected " + std::to_string(count < 2 ? 0 : count - 2) + " arguments, got " +
                  std::to_string(args.size()));
  }
  std::unique_ptr<char, decltype(&std::free)> result(method_copyReturnType(method), &std::free);
  call.resultType_ = result ? baseType(result.get()) : 'v';
  if (ffiTypeOf(call.resultType_) == nullptr) {
    return failed(std::string("results of type '") + call.resultType_ + "' are not supported");
  }
  for (unsigned i = 2; i < count; ++i) {
    std::unique_ptr<char, decltype(&std::free)> enc(method_copyArgumentType(method, i), &std::free);
    const char t = enc ? baseType(enc.get()) : '?';
    const std::string& text = args[i - 2];
    Value v;
    std::string problem;
    const std::string which = "argument " + std::to_string(i - 1) + " (" + text + ")";
    if (t == '@') {
      v.kind = Value::Kind::object;
      if (text != "nil") {
        bool ok = false;
        v.object = parseColour(text, ok);
        if (!ok)
          problem = which + ": expected a colour #rrggbb, #rrggbbaa or #RRGGBB:ALPHA, or nil";
      }
    } else if (t == 'C' || t == 'c' || t == 'B') {
      v.kind = Value::Kind::boolean;
      long long n = 0;
      if (text == "YES") {
        v.integer = 1;
      } else if (text == "NO") {
        v.integer = 0;
      } else if (parseInteger(text, n)) {
        v.integer = n;
      } else {
        problem = which + ": expected YES or NO";
      }
    } else if (isInteger(t)) {
      v.kind = Value::Kind::integer;
      if (text == "YES" || text == "NO") {
        v.integer = text == "YES";
      } else if (!parseInteger(text, v.integer)) {
        problem = which + ": expected an integer";
      }
    } else if (t == 'f' || t == 'd') {
      v.kind = Value::Kind::real;
      if (!parseReal(text, v.real)) problem = which + ": expected a decimal number";
    } else {
      problem = which + std::string(": arguments of type '") + t + "' are not supported";
    }
    if (!problem.empty()) return failed(problem);
    call.argTypes_.push_back(t);
    call.args_.push_back(v);
  }
  return call;
}

Value MethodCall::invoke(objc::id receiver, SEL cmd) const {
  const std::size_t n = args_.size() + 2;
  std::vector<ffi_type*> types(n);
  types[0] = &ffi_type_pointer;
  types[1] = &ffi_type_pointer;
  // Storage for every argument in the width its type needs.
  union Slot {
    void* p;
    std::int8_t s8;
    std::uint8_t u8;
    std::int16_t s16;
    std::int32_t s32;
    std::int64_t s64;
    float f;
    double d;
  };
  std::vector<Slot> slots(n);
  std::vector<void*> values(n);
  slots[0].p = receiver;
  slots[1].p = const_cast<void*>(static_cast<const void*>(cmd));
  for (std::size_t i = 0; i < args_.size(); ++i) {
    const char t = argTypes_[i];
    Slot& s = slots[i + 2];
    types[i + 2] = ffiTypeOf(t);
    const Value& v = args_[i];
    switch (t) {
      case '@':
        s.p = v.object;
        break;
      case 'c':
        s.s8 = static_cast<std::int8_t>(v.integer);
        break;
      case 'C':
      case 'B':
        s.u8 = static_cast<std::uint8_t>(v.integer);
        break;
      case 's':
      case 'S':
        s.s16 = static_cast<std::int16_t>(v.integer);
        break;
      case 'i':
      case 'I':
        s.s32 = static_cast<std::int32_t>(v.integer);
        break;
      case 'f':
        s.f = static_cast<float>(v.real);
        break;
      case 'd':
        s.d = v.real;
        break;
      default:
        s.s64 = static_cast<std::int64_t>(v.integer);
        break;
    }
  }
  for (std::size_t i = 0; i < n; ++i) values[i] = &slots[i];

  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(n), ffiTypeOf(resultType_),
                   types.data()) != FFI_OK) {
    return {};
  }
  // Results narrower than a register come back widened to ffi_arg.
  union {
    ffi_arg word;
    void* p;
    float f;
    double d;
  } ret{};
  IMP imp = objc_msg_lookup(receiver, cmd);
  ffi_call(&cif, reinterpret_cast<void (*)()>(imp), &ret, values.data());

  Value out;
  switch (resultType_) {
    case 'v':
      break;
    case '@':
      out.kind = Value::Kind::object;
      out.object = static_cast<objc::id>(ret.p);
      break;
    case 'f':
      out.kind = Value::Kind::real;
      out.real = ret.f;
      break;
    case 'd':
      out.kind = Value::Kind::real;
      out.real = ret.d;
      break;
    case 'C':
    case 'B':
      out.kind = Value::Kind::boolean;
      out.integer = static_cast<std::uint8_t>(ret.word);
      break;
#if defined(__arm__)
    case 'c':
      // BOOL on 32-bit ARM, where it is a signed char.
      out.kind = Value::Kind::boolean;
      out.integer = static_cast<std::int8_t>(ret.word);
      break;
#endif
    default:
      out.kind = Value::Kind::integer;
      out.integer = static_cast<long long>(ret.word);
      if (resultType_ == 'i') out.integer = static_cast<std::int32_t>(ret.word);
      break;
  }
  return out;
}

}  // namespace vyr

namespace vyr {

json::Value hostArgsJson(const uikitsim::HostCall& call) {
  json::Value out = json::Value::array();
  for (const uikitsim::HostValue& v : call.arguments) {
    switch (v.kind) {
      case uikitsim::HostValue::Kind::Object:
        if (v.colour) {
          out.push_back(json::colour(*v.colour));
        } else if (v.object == nullptr) {
          out.push_back(nullptr);
        } else {
          out.push_back(classJson(v.objectClass.c_str()));
        }
        break;
      case uikitsim::HostValue::Kind::Integer:
        out.push_back(v.integer);
        break;
      case uikitsim::HostValue::Kind::Real:
        out.push_back(v.real);
        break;
      case uikitsim::HostValue::Kind::Boolean:
        out.push_back(v.boolean);
        break;
    }
  }
  return out;
}

}  // namespace vyr
