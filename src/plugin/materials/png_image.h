#pragma once

// Writes 8-bit RGBA pictures as PNG files (the material previews).

#include <cstdint>
#include <string>

namespace Zarnik {
namespace PngImage {

// `pixels` holds width x height RGBA pixels, rows top to bottom. True when the whole image
// was written; on failure no partial file is left behind.
bool save(const uint8_t* pixels, int width, int height, const std::string& path);

}  // namespace PngImage
}  // namespace Zarnik
