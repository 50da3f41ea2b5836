#include "vyr/roles/pane.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/files.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/preferences/domain.hpp"
#include "platform/preferences/facade.hpp"
#include "tweak/elements.hpp"
#include "vyr/profile/history.hpp"
#include "vyr/profile/profile.hpp"
#include "vyr/render/report.hpp"
#include "vyr/render/sources.hpp"
#include "vyr/roles/springboard_messages.hpp"

namespace vyr::studio {
namespace {

using nlohmann::json;
using preferences::settings::Change;
using preferences::settings::Row;

constexpr std::size_t kMaxLogBytes = 1 << 20;

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

using Refusal = PaneAnswer::Refusal;

PaneAnswer ok(std::string body) {
  return {PaneAnswer::Outcome::ok, Refusal::malformed, std::move(body)};
}

PaneAnswer refused(Refusal why, const std::string& message) {
  return {PaneAnswer::Outcome::refused, why, dump({{"error", message}})};
}

PaneAnswer failure(const std::string& message) {
  return {PaneAnswer::Outcome::failed, Refusal::malformed, dump({{"error", message}})};
}

const char* kindOf(const Row& row) {
  switch (row.kind) {
    case Row::Kind::Button:
      return "button";
    case Row::Kind::Other:
      return "static";
    case Row::Kind::Group:
      return "group";
    case Row::Kind::Value:
      break;
  }
  if (row.cell == "PSSwitchTableCell") return "switch";
  if (row.cell == "PSListTableCell") return "list";
  if (row.cell == "PFSimpleLiteColorCell") return "colour";
  if (row.cell == "PSEditableTableCell") return "text";
  return "value";
}

// A preset list stores palette indices under an element's preset key: its choices get swatches.
bool isPresetKey(const std::string& key) {
  return std::any_of(kElements.begin(), kElements.end(),
                     [&](const ElementNames& e) { return key == e.presetKey; });
}

json rowJson(const Row& row) {
  const char* kind = kindOf(row);
  json out = {{"kind", kind}, {"label", row.label}, {"key", row.key}, {"value", row.value}};
  // The page draws a colour row's swatch from the library's reading, never from the string.
  if (std::string_view(kind) == "colour") out["reads"] = show::pageColour(row.value);
  if (!row.choices.empty()) {
    json choices = json::array();
    for (const Row::Choice& c : row.choices) {
      json choice = {{"title", c.title}, {"value", c.value}};
      if (isPresetKey(row.key)) {
        int index = 0;
        try {
          index = std::stoi(c.value);
        } catch (...) {
        }
        if (const auto colour = show::presetColour(index)) choice["swatch"] = show::hexOf(colour);
      }
      choices.push_back(std::move(choice));
    }
    out["choices"] = std::move(choices);
  }
  return out;
}

// Why ROW's value cannot show now, naming the switch that decides (among ROWS): an element's
// preset while its custom colour is on, its custom colour while that is off. Nothing when it shows.
std::optional<std::string> inactiveHint(const Row& row, const std::vector<Row>& rows) {
  for (const ElementNames& e : kElements) {
    const bool preset = row.key == e.presetKey;
    if (!preset && row.key != e.customColourKey) continue;
    const auto custom = std::find_if(rows.begin(), rows.end(),
                                     [&e](const Row& r) { return r.key == e.customSwitchKey; });
    if (custom == rows.end()) return std::nullopt;
    const bool on = custom->value == "YES";
    if (preset && on) return "Not shown while \"" + custom->label + "\" is on";
    if (!preset && !on) return "Shown only when \"" + custom->label + "\" is on";
    return std::nullopt;
  }
  return std::nullopt;
}

// The URLs the device's package manager has opened so far, one a line.
std::string openedUrls() {
  return sim::readFile(sim::Area::Simulator, "opened-urls.log", kMaxLogBytes).value_or("");
}

// What a tap opened, judged from the log before and after it.
std::string openedSince(const std::string& before) {
  const std::string after = openedUrls();
  if (after.size() <= before.size() || after.compare(0, before.size(), before) != 0) return {};
  std::string added = after.substr(before.size());
  while (!added.empty() && added.back() == '\n') added.pop_back();
  const std::size_t nl = added.rfind('\n');
  return nl == std::string::npos ? added : added.substr(nl + 1);
}

}  // namespace

PaneView::PaneView() {
  for (const auto& entry : preferences::settings::paneEntries()) {
    if (entry.bundle != "VYR") continue;
    pane_ = preferences::settings::Pane::open(entry, &error_);
    return;
  }
  error_ = "VYR's settings pane is not installed on this device";
}

PaneView::~PaneView() = default;

std::string PaneView::toJson() {
  if (!pane_) return dump({{"error", "The Settings pane cannot be shown: " + error_}});
  ns::AutoreleasePool pool;
  // Whatever changed the settings (this page, a terminal, an editor), the cells show the file.
  ps::ListController(pane_->controller()).reload();
  nlohmann::json groups = nlohmann::json::array();
  const std::vector<Row> rows = pane_->rows();
  for (const Row& row : rows) {
    if (row.kind == Row::Kind::Group) {
      groups.push_back(
          {{"header", row.label}, {"footer", row.footer}, {"rows", nlohmann::json::array()}});
      continue;
    }
    if (groups.empty()) {
      groups.push_back({{"header", ""}, {"footer", ""}, {"rows", nlohmann::json::array()}});
    }
    json shown = rowJson(row);
    if (const auto hint = inactiveHint(row, rows)) shown["inactive"] = *hint;
    groups.back()["rows"].push_back(std::move(shown));
  }
  nlohmann::json out = {{"title", pane_->title()}, {"groups", std::move(groups)}};
  const auto right = pane_->rightButtonTitle();
  out["rightButton"] = right ? nlohmann::json(*right) : nlohmann::json(nullptr);
  if (const auto aside = preferences::newestUnreadableCopy(kDomain)) {
    out["notice"] = "A settings file that could not be read was set aside as " + *aside +
                    "; the pane wrote a new one.";
  }
  return dump(out);
}

PaneAnswer PaneView::set(const std::string& key, const std::string& typed) {
  if (!pane_) return refused(Refusal::notNow, "the Settings pane is not open: " + error_);
  const struct {
    const std::string& key;
    const std::string& value;
  } row{key, typed};
  // Held from the snapshot to the record (the pane's own write takes it again inside): a write
  // by another process in between would otherwise become part of this step, and undoing the
  // step would take that write back too.
  const preferences::WritersLock lock(kDomain);
  if (!lock) return failure(lock.problem());
  const history::Before before = history::before();
  switch (pane_->set(row.key, row.value)) {
    case Change::Done: {
      const std::string value = pane_->value(row.key).value_or("");
      json out = {{"key", row.key}, {"value", value}};
      // The picker takes up what the cell stored, as the library reads it.
      const std::vector<Row> rows = pane_->rows();
      const auto shown =
          std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.key == row.key; });
      if (shown != rows.end() && std::string_view(kindOf(*shown)) == "colour") {
        out["reads"] = show::pageColour(value);
      }
      // The writes of one drag of the colour picker are one step.
      const std::string what = "studio: " + row.key + " set to ";
      const bool colour =
          std::any_of(kElements.begin(), kElements.end(),
                      [&](const ElementNames& e) { return row.key == e.customColourKey; });
      if (const auto note = history::record(before, what + value, colour ? what : std::string())) {
        out["note"] = "Changed, but " + *note + ".";
      }
      return ok(dump(out));
    }
    case Change::NoSuchKey:
      return refused(Refusal::noSuch, "no row of the pane has the key '" + row.key + "'");
    case Change::NotEditable:
      return refused(Refusal::malformed, "the row of '" + row.key + "' takes no value");
    case Change::NotWritten:
      return failure(pane_->writeProblem() + "; nothing changed");
    case Change::Refused:
      break;
  }
  return refused(Refusal::notTaken, "'" + row.value + "' is not a value of the row of '" + row.key +
                                        "'; nothing changed");
}

PaneAnswer PaneView::tap(const std::string& label) {
  if (!pane_) return refused(Refusal::notNow, "the Settings pane is not open: " + error_);
  const std::string before = openedUrls();
  const history::Before settings = history::before();
  if (!pane_->tap(label)) return refused(Refusal::noSuch, "the pane has no button '" + label + "'");
  nlohmann::json out = {{"tapped", label}};
  if (const auto note = history::record(settings, "studio: tapped " + label)) {
    out["note"] = "Tapped, but " + *note + ".";
  }
  if (const std::string url = openedSince(before); !url.empty()) out["opened"] = url;
  return ok(dump(out));
}

PaneAnswer PaneView::profile() {
  const Result<std::string> exported =
      vyr::profile::exportProfile(vyr::profile::settingsOf(pane_.get()));
  if (!exported) return refused(Refusal::noSuch, exported.error());
  return ok(*exported);
}

PaneAnswer PaneView::undo() {
  auto outcome = history::undo();
  if (const auto* notUndone = std::get_if<history::NotUndone>(&outcome)) {
    if (notUndone->why == history::Refusal::failed) return failure(notUndone->line);
    return refused(Refusal::notNow, notUndone->line);
  }
  const auto& undone = std::get<history::Undone>(outcome);
  json out = {{"undid", undone.what}, {"left", undone.left}};
  if (!undone.settingsBefore) {
    out["note"] =
        "There was no settings file before it, so none is there now: SpringBoard keeps the values "
        "it read until a respring.";
  }
  return ok(dump(out));
}

PaneAnswer PaneView::reset() {
  if (!pane_) return refused(Refusal::notNow, "the Settings pane is not open: " + error_);
  const history::Before before = history::before();
  const Result<int> rows = vyr::profile::resetToDefaults(*pane_);
  const auto note = history::record(before, "studio: reset");
  if (!rows) return failure(rows.error() + "; the rows before it have their defaults");
  json out = {{"reset", *rows}};
  if (note) out["note"] = "Reset, but " + *note + ".";
  return ok(dump(out));
}

PaneAnswer PaneView::tapRightButton() {
  if (!pane_) return refused(Refusal::notNow, "the Settings pane is not open: " + error_);
  const auto title = pane_->rightButtonTitle();
  if (!title || !pane_->tapRightButton()) {
    return refused(Refusal::noSuch, "the navigation bar has no button to tap");
  }
  return ok(dump({{"tapped", *title}}));
}

}  // namespace vyr::studio
