// Image files for the renderer.
#include "render/texture.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <jpeglib.h>

namespace Zarnik {
namespace Engine {
namespace Render {
namespace {

constexpr uint64_t kMaxImagePixels = uint64_t(1) << 26;

// Images are read on the caller's thread while it holds the engine's lock, so a path the host
// names must never make us wait: a FIFO or device would block the host for good. Only a regular
// file of bounded size is read, opened without waiting.
bool ReadImageFile(const char* path, std::vector<unsigned char>& bytes) {
    constexpr off_t kMaxImageFileBytes = off_t(256) << 20;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
              info.st_size <= kMaxImageFileBytes;
    if (ok) {
        bytes.resize(size_t(info.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += size_t(got);
        }
        bytes.resize(done);
        ok = done > 0;
    }
    ::close(fd);
    return ok;
}

bool DecodePng(const std::vector<unsigned char>& file, ImageData& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
    if (image.width == 0 || image.height == 0 || uint64_t(image.width) * image.height > kMaxImagePixels) {
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGBA;
    out.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    out.width = image.width;
    out.height = image.height;
    return true;
}

// The JPEG library ends the process on a damaged file unless its error exit jumps back out;
// the jump only crosses this file's C frames.
struct JpegError {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void JpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
void JpegQuiet(j_common_ptr) {}

bool DecodeJpeg(const std::vector<unsigned char>& file, ImageData& out) {
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = JpegFail;
    error.base.output_message = JpegQuiet;
    std::vector<uint8_t> row;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width == 0 || info.image_height == 0 ||
        uint64_t(info.image_width) * info.image_height > kMaxImagePixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    out.width = info.output_width;
    out.height = info.output_height;
    out.rgba.assign(size_t(out.width) * out.height * 4, 255);
    row.resize(size_t(out.width) * 3);
    while (info.output_scanline < info.output_height) {
        const uint32_t y = info.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
        uint8_t* dst = &out.rgba[size_t(y) * out.width * 4];
        for (uint32_t x = 0; x < out.width; ++x) std::memcpy(dst + size_t(x) * 4, &row[size_t(x) * 3], 3);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

std::shared_ptr<const ImageData> LoadImage(const char* path) {
    if (!path || !*path) return nullptr;
    std::vector<unsigned char> file;
    if (!ReadImageFile(path, file) || file.size() < 4) return nullptr;
    auto image = std::make_shared<ImageData>();
    static const unsigned char kPng[4] = {0x89, 'P', 'N', 'G'};
    bool ok = false;
    if (std::memcmp(file.data(), kPng, 4) == 0)
        ok = DecodePng(file, *image);
    else if (file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF)
        ok = DecodeJpeg(file, *image);
    if (!ok || image->width == 0 || image->rgba.size() != size_t(image->width) * image->height * 4) return nullptr;
    return image;
}

void ReportUnreadableImage(const std::string& path) {
    // Bounded, so that a host naming endless missing files cannot grow it without end.
    static std::mutex mutex;
    static std::unordered_set<std::string>* told = new std::unordered_set<std::string>();
    std::lock_guard<std::mutex> lock(mutex);
    if (told->size() >= 4096 || !told->insert(path).second) return;
    std::fprintf(stderr, "zarnik: %s: image could not be read; it shows in magenta\n",
                 path.empty() ? "(no file name)" : path.c_str());
}

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
