// VYR's Settings pane for the page: opened through the Preferences stand-in as `vyr prefs` opens
// it (the real VYRListController and its specifier list), shown as JSON, and changed only
// through its own cells and buttons. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/preferences/settings_app.hpp"
#include "vyr/roles/settings_messages.hpp"

namespace vyr::studio {

class PaneView {
 public:
  // Opens the pane; when that fails the view says why in its JSON.
  PaneView();
  ~PaneView();
  PaneView(const PaneView&) = delete;
  PaneView& operator=(const PaneView&) = delete;

  // The pane as the page draws it, every value read afresh from the settings:
  // {"title", "rightButton", "groups": [{"header", "footer", "rows": [{"kind", "label", "key",
  //  "value", "choices": [{"title", "value", "swatch"}], "reads"}]}], "notice", "error"}.
  // Kinds: "switch", "list", "colour", "text", "button", "static", "value" (shown, not changed).
  // A colour row's "reads" is the colour the library reads from its value (show::pageColour),
  // which the page draws; set's reply carries it too for a colour row.
  std::string toJson();

  // The page's changes (what the studio read from the page's requests); a refused one changes
  // nothing.
  PaneAnswer set(const std::string& key, const std::string& value);
  PaneAnswer tap(const std::string& label);
  PaneAnswer tapRightButton();
  // The settings' history, shared with `vyr prefs undo`: puts back the settings as they were
  // before the last change made through VYR ({"undid", "left"}, or refused as not now saying why
  // not: nothing to undo, or a change made elsewhere since); and every row's default put back
  // through its own cell, as one step of the history ({"reset": rows}).
  PaneAnswer undo();
  PaneAnswer reset();
  // The settings as a profile, the same file as `vyr export` writes (an XML property list), or
  // refused as no such, saying why there is none.
  PaneAnswer profile();

 private:
  std::unique_ptr<preferences::settings::Pane> pane_;
  std::string error_;
};

}  // namespace vyr::studio
