// The pane's "Respring": deletes the system's caches and restarts the device's user interface.
#pragma once

// Removes ten cache files with unlink, runs twelve "rm -rf" of cache folders, ends lsd with
// signal 9, then restarts the user interface: "killall backboardd" where
// kCFCoreFoundationVersionNumber is above 700.0, else "killall SpringBoard". Every step runs, in
// that order, whatever the ones before it returned; each command runs to its end before the next.
// Nothing is reported. Runs on the calling thread (the Settings app's main thread), which it holds
// until the last command has finished.
void purgeCachesAndRespring();
