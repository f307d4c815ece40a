#include "tiff_writer.h"

#include <tiffio.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "files.h"
#include "numbers.h"
#include "shortest.h"

namespace {

/// The file libtiff writes into: a string grown on demand, with the
/// position libtiff seeks to, and the first reason it gave up for.
struct MemoryFile {
  std::string* bytes;
  std::size_t position = 0;
  bool outOfMemory = false;
  // A fixed buffer: an allocation failing in libtiff's callback would throw
  // through its C frames.
  char reason[256] = {};
};

MemoryFile& fileOf(thandle_t handle) {
  return *static_cast<MemoryFile*>(handle);
}

tmsize_t readBytes(thandle_t handle, void* buffer, tmsize_t size) {
  const MemoryFile& file = fileOf(handle);
  const std::size_t end = file.bytes->size();
  const std::size_t start = std::min(file.position, end);
  const std::size_t count =
      std::min(static_cast<std::size_t>(size), end - start);
  std::memcpy(buffer, file.bytes->data() + start, count);
  fileOf(handle).position = start + count;
  return static_cast<tmsize_t>(count);
}

tmsize_t writeBytes(thandle_t handle, void* buffer, tmsize_t size) {
  MemoryFile& file = fileOf(handle);
  const auto count = static_cast<std::size_t>(size);
  try {
    // Past the end after a seek: the gap reads as zeros, as in a file.
    if (file.bytes->size() < file.position + count) {
      file.bytes->resize(file.position + count);
    }
  } catch (const std::bad_alloc&) {
    file.outOfMemory = true;
    return -1;
  }
  std::memcpy(file.bytes->data() + file.position, buffer, count);
  file.position += count;
  return size;
}

toff_t seekTo(thandle_t handle, toff_t offset, int whence) {
  MemoryFile& file = fileOf(handle);
  std::size_t base = 0;
  if (whence == SEEK_CUR) base = file.position;
  if (whence == SEEK_END) base = file.bytes->size();
  file.position = base + static_cast<std::size_t>(offset);
  return file.position;
}

int closeNothing(thandle_t /*handle*/) { return 0; }

toff_t sizeOf(thandle_t handle) { return fileOf(handle).bytes->size(); }

int mapNothing(thandle_t /*handle*/, void** /*base*/, toff_t* /*size*/) {
  return 0;
}

void unmapNothing(thandle_t /*handle*/, void* /*base*/, toff_t /*size*/) {}

/// Keeps libtiff's first error as the reason, off the console.
int keepError(TIFF* /*tiff*/, void* handle, const char* /*module*/,
              const char* format, va_list arguments) {
  MemoryFile& file = fileOf(handle);
  if (file.reason[0] == '\0') {
    std::vsnprintf(file.reason, sizeof file.reason, format, arguments);
  }
  return 1;  // handled: libtiff's global handler would print it
}

int ignoreWarning(TIFF* /*tiff*/, void* /*handle*/, const char* /*module*/,
                  const char* /*format*/, va_list /*arguments*/) {
  return 1;
}

struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const {
    TIFFOpenOptionsFree(options);
  }
};

struct TiffClose {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

using Tiff = std::unique_ptr<TIFF, TiffClose>;

/// libtiff writing into file, its messages kept there.
Tiff openMemoryTiff(MemoryFile& file) {
  const std::unique_ptr<TIFFOpenOptions, OptionsFree> options(
      TIFFOpenOptionsAlloc());
  if (!options) throw std::bad_alloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keepError, &file);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), ignoreWarning, &file);
  return Tiff(TIFFClientOpenExt("memory", "w", &file, readBytes, writeBytes,
                                seekTo, closeNothing, sizeOf, mapNothing,
                                unmapNothing, options.get()));
}

/// A description line breaks if a text holds a line end (or a NUL, which
/// ends the tag's text early); a key may not hold the separator either.
bool isOneLine(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

/// The pitch's resolution can go into the tags.
bool storesResolution(double pitch) {
  return std::isfinite(pitch) && pitch != 0.0 &&
         resolutionProblem(pitch).empty();
}

bool setTags(TIFF* tiff, int n, const FloatTiffRecord& record,
             const std::string& description) {
  const auto edge = static_cast<std::uint32_t>(n);
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, edge) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, edge) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 32) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            // One strip: ImageJ 1.53t misreads the byte counts of two strips
            // when they are small enough to be stored within the tag itself.
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, edge) &&
            TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
  if (storesResolution(record.pitch)) {
    const double pixelsPerUnit = 1.0 / std::fabs(record.pitch);
    ok = ok && TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE) &&
         TIFFSetField(tiff, TIFFTAG_XRESOLUTION, pixelsPerUnit) &&
         TIFFSetField(tiff, TIFFTAG_YRESOLUTION, pixelsPerUnit);
  }
  return ok;
}

/// Writes the rows top line first: TIFF row 0 is field row n - 1.
bool writeRows(TIFF* tiff, const double* const* values, int n) {
  std::vector<float> line(static_cast<std::size_t>(n));
  for (int y = 0; y < n; ++y) {
    const double* row = values[n - 1 - y];
    for (int j = 0; j < n; ++j)
      line[static_cast<std::size_t>(j)] = tiffFloat(row[j]);
    if (TIFFWriteScanline(tiff, line.data(), static_cast<std::uint32_t>(y), 0) <
        0) {
      return false;
    }
  }
  return TIFFWriteDirectory(tiff) != 0;
}

}  // namespace

std::string resolutionProblem(double pitch) {
  // Compared as libtiff compares the float it keeps.
  constexpr double kLargest = 4294967295.0;
  const auto perUnit =
      static_cast<double>(narrowToFloat(1.0 / std::fabs(pitch)));
  if (perUnit >= 1.0 / kLargest && perUnit <= kLargest) return {};
  return "the pitch " + numerics::shortestText(pitch) +
         " cannot be stored as a TIFF resolution";
}

float tiffFloat(double value) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
    return value > 0.0 ? kInfinity : -kInfinity;
  }
  return static_cast<float>(value);
}

std::string describeImageJ(const FloatTiffRecord& record,
                           const DescriptionLines& head, std::string& text) {
  text = "ImageJ=1.53t\n";
  auto line = [&text](const std::string& key, const std::string& value) {
    if (key.empty() || key.find('=') != std::string::npos || !isOneLine(key) ||
        !isOneLine(value)) {
      return false;
    }
    text += key + "=" + value + "\n";
    return true;
  };
  const auto entryProblem = [](const std::string& key) {
    return "the description entry '" + key + "' is not one line of key=value";
  };
  for (const auto& [key, value] : head) {
    if (!line(key, value)) return entryProblem(key);
  }
  if (!record.unit.empty() && !line("unit", record.unit)) {
    return "the unit is not one line of text";
  }
  if (!record.valueUnit.empty() && !line("vunit", record.valueUnit)) {
    return "the value unit is not one line of text";
  }
  for (const auto& [key, value] : record.properties) {
    if (!line(key, value)) return entryProblem(key);
  }
  if (std::isfinite(record.pitch) && record.pitch != 0.0) {
    const std::string problem = resolutionProblem(record.pitch);
    if (!problem.empty()) line("resolution", "none (" + problem + ")");
  }
  return {};
}

std::string encodeFloatTiff(const double* const* values, int n,
                            const FloatTiffRecord& record, std::string& tiff) {
  if (n <= 0 || values == nullptr) return "the picture is empty";
  std::string description;
  const std::string refused = describeImageJ(record, {}, description);
  if (!refused.empty()) return refused;
  tiff.clear();
  MemoryFile file{&tiff};
  bool written = false;
  {
    const Tiff writer = openMemoryTiff(file);
    written = writer && setTags(writer.get(), n, record, description) &&
              writeRows(writer.get(), values, n);
  }  // closed here: the close may write too
  if (file.outOfMemory) throw std::bad_alloc();
  if (written && file.reason[0] == '\0') return {};
  return file.reason[0] != '\0' ? file.reason : "the TIFF encoder failed";
}

std::string saveFloatTiff(const std::string& path, const double* const* values,
                          int n, const FloatTiffRecord& record) {
  std::string tiff;
  const std::string reason = encodeFloatTiff(values, n, record, tiff);
  if (!reason.empty()) return reason;
  return writeWholeFile(path, tiff);
}
