#include "png_writer.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

// libpng reports errors by longjmp back to the setjmp of the function that
// called it. Jumping over C++ objects that own something would skip their
// destructors, so the function that calls setjmp (writeRows) holds none:
// the structures, the row buffer and the output live in its caller, and the
// callbacks below own nothing while libpng may jump out of them.

namespace {

/// Where the encoded bytes go, and why the encoder stopped.
struct PngOutput {
  std::string* bytes;
  bool outOfMemory = false;
  char reason[160] = {};
};

[[noreturn]] void keepError(png_structp png, png_const_charp message) {
  auto* output = static_cast<PngOutput*>(png_get_error_ptr(png));
  std::snprintf(output->reason, sizeof output->reason, "%s", message);
  png_longjmp(png, 1);
}

void ignoreWarning(png_structp /*png*/, png_const_charp /*message*/) {}

void appendBytes(png_structp png, png_bytep data, png_size_t size) {
  auto* output = static_cast<PngOutput*>(png_get_io_ptr(png));
  try {
    output->bytes->append(reinterpret_cast<const char*>(data), size);
  } catch (const std::bad_alloc&) {
    output->outOfMemory = true;
  }
  // Outside the handler: libpng leaves it by longjmp.
  if (output->outOfMemory) png_error(png, "out of memory");
}

void noFlush(png_structp /*png*/) {}

int filterMask(PngEncoding::Filters filters) {
  switch (filters) {
    case PngEncoding::Filters::None:
      return PNG_FILTER_NONE;
    case PngEncoding::Filters::Sub:
      return PNG_FILTER_SUB;
    case PngEncoding::Filters::Up:
      return PNG_FILTER_UP;
    case PngEncoding::Filters::Average:
      return PNG_FILTER_AVG;
    case PngEncoding::Filters::Paeth:
      return PNG_FILTER_PAETH;
    case PngEncoding::Filters::All:
      break;
  }
  return PNG_ALL_FILTERS;
}

/// Owns libpng's write and info structures.
class PngWriter {
 public:
  explicit PngWriter(PngOutput& output)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &output, keepError,
                                     ignoreWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {
    if (info_ == nullptr) {
      png_destroy_write_struct(&png_, nullptr);
      throw std::bad_alloc();
    }
  }
  ~PngWriter() { png_destroy_write_struct(&png_, &info_); }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

/// The whole encoding between libpng's setjmp and its last call; false when
/// libpng gave up (its reason is in the output).
bool writeRows(png_structp png, png_infop info, int width, int height,
               int channels, const PngRowSource& fillRow,
               const PngEncoding& encoding, PngOutput& output,
               std::uint8_t* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, &output, appendBytes, noFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), 8,
               channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filterMask(encoding.filters));
  png_set_compression_level(png, encoding.zlibLevel);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    fillRow(y, row);
    png_write_row(png, row);
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

std::string encodePng(int width, int height, int channels,
                      const PngRowSource& fillRow, const PngEncoding& encoding,
                      std::string& png) {
  if (width <= 0 || height <= 0) return "the picture is empty";
  png.clear();
  PngOutput output{&png};
  const PngWriter writer(output);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(width) *
                                static_cast<std::size_t>(channels));
  if (writeRows(writer.png(), writer.info(), width, height, channels, fillRow,
                encoding, output, row.data())) {
    return {};
  }
  if (output.outOfMemory) throw std::bad_alloc();
  return output.reason;
}
