#include "prefs/respring.hpp"

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/system/libsystem.h"

namespace {

// The home screen's icon image caches and its linen backgrounds.
constexpr const char* kCacheFiles[] = {
    "/User/Library/Caches/com.apple.springboard-imagecache-icons",
    "/User/Library/Caches/com.apple.springboard-imagecache-icons.plist",
    "/User/Library/Caches/com.apple.springboard-imagecache-smallicons",
    "/User/Library/Caches/com.apple.springboard-imagecache-smallicons.plist",
    "/User/Library/Caches/com.apple.SpringBoard.folderSwitcherLinen",
    "/User/Library/Caches/com.apple.SpringBoard.notificationCenterLinen",
    "/User/Library/Caches/com.apple.SpringBoard.folderSwitcherLinen.0",
    "/User/Library/Caches/com.apple.SpringBoard.folderSwitcherLinen.1",
    "/User/Library/Caches/com.apple.SpringBoard.folderSwitcherLinen.2",
    "/User/Library/Caches/com.apple.SpringBoard.folderSwitcherLinen.3",
};

// Cache folders, among them the status bar's: the recoloured status bar must not come back from
// a cached image.
constexpr const char* kCacheFolderCommands[] = {
    "rm -rf /User/Library/Caches/SpringBoardIconCache",
    "rm -rf /User/Library/Caches/SpringBoardIconCache-small",
    "rm -rf /User/Library/Caches/com.apple.IconsCache",
    "rm -rf /User/Library/Caches/com.apple.newsstand",
    "rm -rf /User/Library/Caches/com.apple.springboard.sharedimagecache",
    "rm -rf /User/Library/Caches/com.apple.UIStatusBar",
    "rm -rf /User/Library/Caches/BarDialer",
    "rm -rf /User/Library/Caches/BarDialer_selected",
    "rm -rf /User/Library/Caches/BarRecents",
    "rm -rf /User/Library/Caches/BarRecents_selected",
    "rm -rf /User/Library/Caches/BarVM",
    "rm -rf /User/Library/Caches/BarVM_selected",
};

// Releases up to CoreFoundation 700.0 have no backboardd to restart the interface: SpringBoard
// itself is ended there.
constexpr double kLastVersionWithoutBackboardd = 700.0;

}  // namespace

void purgeCachesAndRespring() {
  for (const char* path : kCacheFiles) libsystem::unlink(path);
  for (const char* command : kCacheFolderCommands) libsystem::system(command);
  libsystem::system("killall -9 lsd");
  libsystem::system(kCFCoreFoundationVersionNumber > kLastVersionWithoutBackboardd
                        ? "killall backboardd"
                        : "killall SpringBoard");
}
