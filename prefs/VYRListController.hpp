// VYRListController: the list controller of VYR's settings pane, a PSListController.
#pragma once

#include "platform/objc/runtime.hpp"

// Builds the class and registers it with the runtime under its name, as the bundle's load does;
// returns it (nil when the Preferences framework's PSListController is missing). A second call
// returns the registered class.
Class registerVYRListController();
