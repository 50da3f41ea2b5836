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
Result<json> objectOf(std::string_view body, std::initializer_list<std::string_view> names) {
  if (body.size() > kMaxBody) {
    return failed("the request body is larger than " + std::to_string(kMaxBody) + " bytes");
  }
  json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) return failed("the request body is not valid JSON");
  if (!value.is_object()) return failed("the request body must be a JSON object");
  for (const auto& [name, member] : value.items()) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      return failed("unknown member \"" + name.substr(0, 40) + "\" in the request body");
    }
  }
  return value;
}

// The string member NAME of OBJECT, or the reason it is not a usable one.
Result<std::string> textMember(const json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) {
    return failed(std::string("\"") + name + "\" must be a string");
  }
  std::string text = it->get<std::string>();
  if (text.empty() || text.size() > kMaxText) {
    return failed(std::string("\"") + name + "\" must hold 1 to " + std::to_string(kMaxText) +
                  " bytes");
  }
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return failed(std::string("\"") + name + "\" must not hold control characters");
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
  if (!carriesToken(address, path)) {
    return "refused: the request does not carry the studio's access token (use the URL that "
           "vyr studio printed)";
  }
  return std::nullopt;
}

bool carriesToken(const Address& address, std::string_view path) {
  path = path.substr(0, path.find('?'));
  const std::string prefix = address.prefix();
  const std::string_view given = path.substr(0, std::min(path.size(), prefix.size()));
  const bool boundary =
      path.size() == prefix.size() || (path.size() > prefix.size() && path[prefix.size()] == '/');
  return sameSecret(given, prefix) && boundary;
}

Result<SetRow> parseSetRow(std::string_view body) {
  const auto object = objectOf(body, {"key", "value"});
  if (!object) return failed(object.error());
  auto key = textMember(*object, "key");
  if (!key) return failed(key.error());
  auto value = textMember(*object, "value");
  if (!value) return failed(value.error());
  return SetRow{*std::move(key), *std::move(value)};
}

Result<TapButton> parseTapButton(std::string_view body) {
  const auto object = objectOf(body, {"label"});
  if (!object) return failed(object.error());
  auto label = textMember(*object, "label");
  if (!label) return failed(label.error());
  return TapButton{*std::move(label)};
}

Result<NoArguments> parseNoArguments(std::string_view body) {
  const auto object = objectOf(body, {});
  if (!object) return failed(object.error());
  return NoArguments{};
}

Result<DeviceChange> parseDeviceChange(std::string_view body) {
  const auto object = objectOf(body, {"battery", "charging", "style"});
  if (!object) return failed(object.error());
  if (object->empty()) return failed("the request names no battery, charging or style");
  DeviceChange change;
  if (const auto it = object->find("battery"); it != object->end()) {
    if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 100) {
      return failed("\"battery\" must be a whole number from 0 to 100");
    }
    change.battery = static_cast<int>(it->get<long long>());
  }
  if (const auto it = object->find("charging"); it != object->end()) {
    if (!it->is_boolean()) return failed("\"charging\" must be true or false");
    change.charging = it->get<bool>();
  }
  if (const auto it = object->find("style"); it != object->end()) {
    if (!it->is_string() || (*it != "default" && *it != "light")) {
      return failed("\"style\" must be \"default\" or \"light\"");
    }
    change.style = *it == "default" ? show::kStyleDefault : show::kStyleLight;
  }
  return change;
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

Result<PaneRequest> paneRequestOf(const std::string& op, std::string_view body) {
  PaneRequest request = PaneRequest::of(op);
  if (op == "set") {
    const auto row = parseSetRow(body);
    if (!row) return failed(row.error());
    request.key = row->key;
    request.value = row->value;
  } else if (op == "tap") {
    const auto button = parseTapButton(body);
    if (!button) return failed(button.error());
    request.label = button->label;
  } else if (const auto none = parseNoArguments(body); !none) {
    return failed(none.error());
  }
  return request;
}

}  // namespace vyr::studio
