// The device's Settings app, as far as the simulator plays it: it lists the panes that
// PreferenceLoader entries register, loads a pane's bundle, makes its list controller and shows
// the pane's rows as text; it changes a row's value, taps a button row or the navigation bar's
// right button as the user's touch would.
//
// An entry is a property list in /Library/PreferenceLoader/Preferences whose "entry" dictionary
// names the pane: "label" (the row in Settings), "bundle" (the bundle
// /Library/PreferenceBundles/BUNDLE.bundle, whose executable is named BUNDLE), "detail" (the
// controller's class; the bundle's NSPrincipalClass when absent) and "isController".
//
// Everything here runs on the calling thread, which plays the Settings app's main thread: use one
// thread per pane.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/facade.hpp"
#include "platform/objc/runtime.hpp"

namespace preferences::settings {

struct PaneEntry {
  std::string file;  // device path of the entry's property list
  std::string label;
  std::string bundle;
  std::string detail;  // empty: the bundle's principal class
  bool isController = false;
};

// The entries of the device, by file name; files that are not such entries are skipped. Empty
// when no device is attached or the folder is missing.
std::vector<PaneEntry> paneEntries();

// One row of a pane as the Settings app shows it.
struct Row {
  enum class Kind {
    Group,   // a group's header; `label` may be empty, `footer` is its footer text
    Value,   // a cell that shows a value (a switch, a list, a text field, a colour, ...)
    Button,  // a button cell; `value` is empty
    Other,   // any other cell (a static text, a link)
  };
  Kind kind = Kind::Other;
  std::string label;
  std::string key;     // the row's preferences key; empty for rows without one
  std::string value;   // the value as the cell shows it (empty for none)
  std::string footer;  // groups only
  std::string cell;    // the class of the row's cell; empty for a group
  // A list's choices in order ("validTitles" beside "validValues"): the title shown, and the
  // stored value as text. Empty for rows that are not lists.
  struct Choice {
    std::string title;
    std::string value;
  };
  std::vector<Choice> choices;
};

enum class Change {
  Done,         // the cell took the value: it is stored and the row's notification posted
  NoSuchKey,    // no row of the pane has that key
  NotEditable,  // the row's cell takes no typed value
  Refused,      // the text means no value of that cell; nothing changed
  NotWritten,   // the cell took the value but the file could not be written: nothing changed
};

// One choice of a list row: the title the list shows and the text of the value it stores.
struct Choice {
  std::string title;  // empty when the list has no title for it
  std::string value;
};

// A pane opened as the Settings app opens one: its bundle loaded (and never unloaded), its
// controller made, its view loaded, and told that it is about to appear. The pane owns the
// controller and releases it when destroyed.
class Pane {
 public:
  // Opens ENTRY's pane; on failure nothing, with *ERROR (when given) saying why in one line.
  static std::unique_ptr<Pane> open(const PaneEntry& entry, std::string* error);
  objc::id controller() const { return controller_.get().get(); }
  // The navigation bar's title: the controller's title, else the entry's label.
  std::string title() const;
  // The rows in order, every value cell showing its current value.
  std::vector<Row> rows() const;
  // The value the row of KEY shows, or nothing when no row has that key. No row has the empty key.
  std::optional<std::string> value(std::string_view key) const;
  // Types TEXT into the row of KEY, as the user's change of that cell.
  Change set(std::string_view key, std::string_view text) const;
  // About the last set of this pane: what failed when it was NotWritten, and where an unreadable
  // settings file was kept when a Done write had to start afresh (empty otherwise).
  const std::string& writeProblem() const { return writeProblem_; }
  const std::string& setAside() const { return setAside_; }
  // The choices of the list row of KEY in the list's order (either the title or the value's text
  // picks one); empty when no row has KEY or the row is not a list.
  std::vector<Choice> choices(std::string_view key) const;
  // Taps the button row labelled LABEL (the first such, exact label first, then ignoring case);
  // false when there is none or its target does not answer its action.
  bool tap(std::string_view label) const;
  // The navigation bar's right button: its title (nothing without a button), and a tap on it
  // (false without a button, or when its target does not answer its action).
  std::optional<std::string> rightButtonTitle() const;
  bool tapRightButton() const;

 private:
  Pane(ns::Owned<ns::Object> controller, std::string label)
      : controller_(std::move(controller)), label_(std::move(label)) {}
  ns::Owned<ns::Object> controller_;
  std::string label_;
  mutable std::string writeProblem_;
  mutable std::string setAside_;
};

}  // namespace preferences::settings
