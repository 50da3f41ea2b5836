#include "vyr/studio/requests.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <nlohmann/json.hpp>

namespace vyr::studio {
namespace {

using nlohmann::json;

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Whether A and B are equal, taking as long whatever their common prefix.
bool sameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
  }
  return diff == 0;
}

// HOST[:PORT] names this studio: one of its two host names, and its port.
bool ownAuthority(std::string_view authority, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (authority.size() <= suffix.size() || !authority.ends_with(suffix)) return false;
  const std::string_view name = authority.substr(0, authority.size() - suffix.size());
  return name == "127.0.0.1" || equalIgnoringCase(name, "localhost");
}

// The object of BODY, or the reason it is none; NAMES are the only members allowed.
std::optional<json> objectOf(std::string_view body, std::initializer_list<std::string_view> names,
                             std::string& error) {
  if (body.size() > kMaxBody) {
    error = "the request body is larger than " + std::to_string(kMaxBody) + " bytes";
    return std::nullopt;
  }
  json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    error = "the request body is not valid JSON";
    return std::nullopt;
  }
  if (!value.is_object()) {
    error = "the request body must be a JSON object";
    return std::nullopt;
  }
  for (const auto& [name, member] : value.items()) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      error = "unknown member \"" + name.substr(0, 40) + "\" in the request body";
      return std::nullopt;
    }
  }
  return value;
}

// The string member NAME of OBJECT, or the reason it is not a usable one.
std::optional<std::string> textMember(const json& object, const char* name, std::string& error) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) {
    error = std::string("\"") + name + "\" must be a string";
    return std::nullopt;
  }
  std::string text = it->get<std::string>();
  if (text.empty() || text.size() > kMaxText) {
    error = std::string("\"") + name + "\" must hold 1 to " + std::to_string(kMaxText) + " bytes";
    return std::nullopt;
  }
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    error = std::string("\"") + name + "\" must not hold control characters";
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::string Address::url() const {
  return "http://127.0.0.1:" + std::to_string(port) + prefix() + "/";
}

std::string Address::prefix() const {
  return "/" + token;
}

std::optional<std::string> newToken() {
  std::array<unsigned char, 24> bytes{};
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kDigits[b >> 4];
    token += kDigits[b & 0xf];
  }
  return token;
}

std::optional<std::string> refusal(const Address& address, std::string_view host,
                                   std::optional<std::string_view> origin, std::string_view path) {
  if (!ownAuthority(host, address.port)) {
    return "refused: the request is addressed to another host name than the studio's own";
  }
  if (origin) {
    constexpr std::string_view kScheme = "http://";
    if (!origin->starts_with(kScheme) ||
        !ownAuthority(origin->substr(kScheme.size()), address.port)) {
      return "refused: the request comes from a page of another site";
    }
  }
  const std::string prefix = address.prefix();
  const std::string_view given = path.substr(0, std::min(path.size(), prefix.size()));
  const bool boundary =
      path.size() == prefix.size() || (path.size() > prefix.size() && path[prefix.size()] == '/');
  if (!sameSecret(given, prefix) || !boundary) {
    return "refused: the request does not carry the studio's access token (use the URL that "
           "vyr studio printed)";
  }
  return std::nullopt;
}

Parsed<SetRow> parseSetRow(std::string_view body) {
  Parsed<SetRow> out;
  const auto object = objectOf(body, {"key", "value"}, out.error);
  if (!object) return out;
  auto key = textMember(*object, "key", out.error);
  if (!key) return out;
  auto value = textMember(*object, "value", out.error);
  if (!value) return out;
  out.value = SetRow{std::move(*key), std::move(*value)};
  return out;
}

Parsed<TapButton> parseTapButton(std::string_view body) {
  Parsed<TapButton> out;
  const auto object = objectOf(body, {"label"}, out.error);
  if (!object) return out;
  auto label = textMember(*object, "label", out.error);
  if (label) out.value = TapButton{std::move(*label)};
  return out;
}

Parsed<NoArguments> parseNoArguments(std::string_view body) {
  Parsed<NoArguments> out;
  if (objectOf(body, {}, out.error)) out.value = NoArguments{};
  return out;
}

Parsed<DeviceChange> parseDeviceChange(std::string_view body) {
  Parsed<DeviceChange> out;
  const auto object = objectOf(body, {"battery", "charging", "style"}, out.error);
  if (!object) return out;
  if (object->empty()) {
    out.error = "the request names no battery, charging or style";
    return out;
  }
  DeviceChange change;
  if (const auto it = object->find("battery"); it != object->end()) {
    if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 100) {
      out.error = "\"battery\" must be a whole number from 0 to 100";
      return out;
    }
    change.battery = static_cast<int>(it->get<long long>());
  }
  if (const auto it = object->find("charging"); it != object->end()) {
    if (!it->is_boolean()) {
      out.error = "\"charging\" must be true or false";
      return out;
    }
    change.charging = it->get<bool>();
  }
  if (const auto it = object->find("style"); it != object->end()) {
    if (!it->is_string() || (*it != "default" && *it != "light")) {
      out.error = "\"style\" must be \"default\" or \"light\"";
      return out;
    }
    change.style = *it == "default" ? show::kStyleDefault : show::kStyleLight;
  }
  out.value = change;
  return out;
}

show::DeviceState DeviceChange::applied(show::DeviceState state) const {
  if (battery) state.batteryPercent = *battery;
  if (charging) state.charging = *charging;
  if (style) state.homeStyle = *style;
  return state;
}

std::size_t maxBody(std::string_view path) {
  return path == "/api/preview" ? kMaxProfileBody : kMaxBody;
}

std::string profileName(std::string_view name) {
  if (const auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  std::string out;
  for (const char c : name.substr(0, kMaxText)) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
  }
  // A name cut inside a character, or not UTF-8 at all, is not one to show.
  try {
    (void)json(out).dump();
  } catch (const json::exception&) {
    out.clear();
  }
  if (out.empty() || out == "." || out == "..") return "profile.plist";
  return out;
}

}  // namespace vyr::studio
