// Images for textures and environments: read once per file for a snapshot, kept as 8-bit
// RGBA and shared by every texture node that names the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Zarnik {
namespace Engine {
namespace Render {

struct ImageData {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;     // rows top to bottom
    const uint8_t* texel(uint32_t x, uint32_t y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

// A PNG or JPEG file, told apart by its first bytes; null when the path names no regular
// file of bounded size or the file does not decode.
std::shared_ptr<const ImageData> LoadImage(const char* path);

// Says once per process and file that an image could not be read.
void ReportUnreadableImage(const std::string& path);

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
