#include "materials/png_image.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <png.h>

namespace Zarnik {
namespace PngImage {

namespace {

// The libpng version the writer was made for; any 1.6 release accepts it.
const char kPngVersion[] = "1.6.35";

// libpng's own default limit for either side of an image.
constexpr int kMaxSide = 1000000;

void OnPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp back into this function, which would skip the
// destructors of any C++ object alive here; so it holds only plain pointers and values,
// and everything with a destructor lives in the caller.
bool WriteImage(FILE* file, png_bytepp rows, png_uint_32 width, png_uint_32 height) {
  png_structp png = png_create_write_struct(kPngVersion, nullptr, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rows);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool save(const uint8_t* pixels, int width, int height, const std::string& path) {
  if (!pixels || width <= 0 || height <= 0 || path.empty()) return false;
  if (width > kMaxSide || height > kMaxSide) return false;
  const size_t row_bytes = static_cast<size_t>(width) * 4;

  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = const_cast<png_bytep>(pixels + y * row_bytes);

  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = WriteImage(file, rows.data(), static_cast<png_uint_32>(width), static_cast<png_uint_32>(height));
  if (std::fclose(file) != 0) written = false;
  // A half-written picture is removed, but only a plain file: the path may name a device.
  struct stat status;
  if (!written && ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
  return written;
}

}  // namespace PngImage
}  // namespace Zarnik
