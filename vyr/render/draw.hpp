// The picture of a scene, drawn with cairo: the home screen (status bar, an app's navigation bar
// and its list with the pull-to-refresh control spinning) beside the lock screen (its status bar
// in the style the lock screen answered, the clock and the date), laid out as layout.hpp says.
#pragma once

#include "vyr/base/result.hpp"

#include <cairo.h>

#include <optional>
#include <string>

#include "vyr/render/scene.hpp"

namespace vyr::show {

enum class PictureFormat { png, svg };

// SVG for a path ending in ".svg" (any case), PNG for every other.
PictureFormat formatFor(const std::string& path);

// The format a picture named PATH is written in: PNG for ".png" (any case) and for "-" (standard
// output), SVG for ".svg"; nothing for any other name, which no writer here can honour.
std::optional<PictureFormat> pictureFormatOf(const std::string& path);

// Draws SCENE on CR, one user unit per point, from the canvas's top-left corner. An element
// without a colour is left out; colours with alpha are composited over the scenery.
void drawScene(cairo_t* cr, const Scene& scene);

// The whole picture as the bytes of a file in FORMAT: a PNG of layout::kPixelsPerPoint pixels per
// point, or an SVG in points. A failure when cairo fails.
Result<std::string> renderPicture(const Scene& scene, PictureFormat format);

// Frees the font caches that cairo and fontconfig keep for the whole process, so that a leak
// checker sees a clean exit. Call only while nothing is being drawn; drawing afterwards loads the
// fonts anew.
void releaseFontCaches();

}  // namespace vyr::show
