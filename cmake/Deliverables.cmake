# How the two deliverables are linked, in one place: the status-bar library VYRSignals and the
# preference bundle VYR. Each compiles the colour helpers in and links the colour-picker library at
# load time, as on the device, without calling it.
#
# A deliverable imports only what the device's own libraries have, by C name (checked by the
# imports test beside the exports test): what it needs of the platform layer beyond that is
# compiled in here, the adapter to the Objective-C runtime (platform/objc) above all, and the
# libSystem facade of platform/system/libsystem.h is inline over that library's C names.
#
# What each exports is decided by visibility attributes alone: everything is compiled hidden, and
# the colour helpers and main are marked for export in their declarations. The flags below are
# this machine's linker's way of doing what the device's linker does by itself:
#   --no-as-needed   keeps libraries linked although no symbol of theirs is used (the colour-picker
#                    library, and UIKit, whose classes are found by name);
#   -z nodelete      never unmaps the library: classes and installed methods cannot be taken back;
#   --exclude-libs   exports nothing of the static libraries linked in.
function(vyr_deliverable target)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:vyr_colour>
                                   ${PROJECT_SOURCE_DIR}/platform/objc/runtime.cpp)
  target_link_libraries(${target} PRIVATE vyr_colour colorpicker vyr_warnings)
  target_link_options(${target} PRIVATE -Wl,--no-as-needed -Wl,-z,nodelete
                      -Wl,--exclude-libs,ALL)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
endfunction()
