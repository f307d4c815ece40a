// Pages of a multi-page file, one at a time.
//
// A TIFF page is decoded by FreeImage's single-picture TIFF loader, the one
// every picture goes through, over a view of the file in which the header's
// first-directory offset names that page's directory. FreeImage's own
// multi-page interface reopens the file and walks the directory chain from
// the start for every page it decodes (quadratic in the pages of a long
// series), casts the page number to 16 bits, and cannot read a header alone,
// which the check against hostile sizes needs. The view gives page 0 the
// very bytes and code path of a single-picture load.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "library.h"
#include "memory.h"
#include "picture.h"
#include "sha256.h"

using numerics::RealField;

namespace {

/// Reads up to count bytes at offset, resuming after interruptions and
/// short reads; the bytes read, fewer at the end of the file, or -1.
ssize_t readAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got =
        ::pread(fd, static_cast<char*>(buffer) + done, count - done,
                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

/// The file as FreeImage reads one page of it: every byte as stored, except
/// the header's first-directory offset, which names the page's directory.
struct PageView {
  int fd;
  std::uint64_t size;
  std::uint64_t pointerAt;  // where the header keeps that offset
  std::size_t pointerBytes;
  std::array<unsigned char, 8> pointer;  // the page's offset as stored
  std::uint64_t position = 0;
  // The decoders read a directory a few bytes at a time: two thousand
  // reads of a page of 1024 x 1024. Small reads are served from a block
  // of the file read once.
  std::vector<unsigned char> cache = {};
  std::uint64_t cacheAt = 0;
};

/// Bytes of the file read at once for small reads.
constexpr std::size_t kCacheBytes = 64 * 1024;

/// Reads count bytes at offset into buffer, from the view's cache when it
/// holds them, through it when count is small; as readAt.
ssize_t readCached(PageView& view, unsigned char* buffer, std::size_t count,
                   std::uint64_t offset) {
  const auto held = [&] {
    return offset >= view.cacheAt &&
           offset + count <= view.cacheAt + view.cache.size();
  };
  if (!held() && count < kCacheBytes / 4) {
    view.cache.resize(kCacheBytes);
    const ssize_t got = readAt(view.fd, view.cache.data(), kCacheBytes, offset);
    if (got < 0) {
      view.cache.clear();
      return -1;
    }
    view.cache.resize(static_cast<std::size_t>(got));
    view.cacheAt = offset;
  }
  if (!held()) {
    // Past the end of the file, or a large read: straight from the file.
    if (count >= kCacheBytes / 4) return readAt(view.fd, buffer, count, offset);
    const std::uint64_t end = view.cacheAt + view.cache.size();
    const std::size_t available =
        std::min<std::uint64_t>(offset < end ? end - offset : 0, count);
    if (available == 0) return 0;
    std::memcpy(buffer, view.cache.data() + (offset - view.cacheAt), available);
    return static_cast<ssize_t>(available);
  }
  std::memcpy(buffer, view.cache.data() + (offset - view.cacheAt), count);
  return static_cast<ssize_t>(count);
}

PageView& viewOf(fi_handle handle) { return *static_cast<PageView*>(handle); }

unsigned readView(void* buffer, unsigned size, unsigned count,
                  fi_handle handle) {
  PageView& view = viewOf(handle);
  if (size == 0) return 0;
  const std::uint64_t want = std::uint64_t{size} * count;
  auto* bytes = static_cast<unsigned char*>(buffer);
  const ssize_t got = readCached(view, bytes, want, view.position);
  if (got < 0) return 0;
  const std::uint64_t end = view.position + static_cast<std::uint64_t>(got);
  for (std::uint64_t at = std::max(view.position, view.pointerAt);
       at < std::min(end, view.pointerAt + view.pointerBytes); ++at) {
    bytes[at - view.position] = view.pointer[at - view.pointerAt];
  }
  view.position = end;
  return static_cast<unsigned>(static_cast<std::uint64_t>(got) / size);
}

unsigned writeNothing(void* /*buffer*/, unsigned /*size*/, unsigned /*count*/,
                      fi_handle /*handle*/) {
  return 0;
}

int seekView(fi_handle handle, long offset, int origin) {
  PageView& view = viewOf(handle);
  long base = 0;
  if (origin == SEEK_CUR) base = static_cast<long>(view.position);
  if (origin == SEEK_END) base = static_cast<long>(view.size);
  if (offset < -base) return -1;
  view.position = static_cast<std::uint64_t>(base + offset);
  return 0;
}

long tellView(fi_handle handle) {
  return static_cast<long>(viewOf(handle).position);
}

FreeImageIO viewIo() { return {readView, writeNothing, seekView, tellView}; }

/// A view of the file with the header as stored.
PageView plainView(int fd, std::uint64_t size) {
  return {fd, size, 0, 0, {}, 0};
}

/// An unsigned number of bytes bytes at at, in the file's byte order.
std::uint64_t numberAt(const unsigned char* at, int bytes, bool littleEndian) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const int k = littleEndian ? bytes - 1 - i : i;
    value = value << 8 | at[k];
  }
  return value;
}

/// What the first bytes of a TIFF say: byte order, classic or BigTIFF, and
/// where the first directory's offset is kept; false for anything else.
/// Layout: "II" or "MM", then 42 (classic: a 4-byte offset at 4) or 43
/// (BigTIFF: offset size 8 and 0 at 4, an 8-byte offset at 8).
bool readHeader(const unsigned char (&b)[16], bool& little,
                std::uint64_t& pointerAt, int& pointerBytes) {
  if (b[0] != b[1] || (b[0] != 'I' && b[0] != 'M')) return false;
  little = b[0] == 'I';
  const std::uint64_t magic = numberAt(b + 2, 2, little);
  if (magic == 42) {
    pointerAt = 4, pointerBytes = 4;
    return true;
  }
  if (magic == 43 && numberAt(b + 4, 2, little) == 8 &&
      numberAt(b + 6, 2, little) == 0) {
    pointerAt = 8, pointerBytes = 8;
    return true;
  }
  return false;
}

/// The fingerprint of a decoded page: its kind, size, palette and the bytes
/// of its pixels, line by line without the padding that ends each line.
std::string pixelsSha256(FIBITMAP* picture) {
  const unsigned width = FreeImage_GetWidth(picture);
  const unsigned height = FreeImage_GetHeight(picture);
  const std::size_t lineBytes =
      (std::size_t{width} * FreeImage_GetBPP(picture) + 7) / 8;
  Sha256 digest;
  digest.update(std::to_string(FreeImage_GetImageType(picture)) + " " +
                std::to_string(FreeImage_GetBPP(picture)) + " " +
                std::to_string(width) + " " + std::to_string(height) + "\n");
  if (const RGBQUAD* palette = FreeImage_GetPalette(picture)) {
    digest.update({reinterpret_cast<const char*>(palette),
                   FreeImage_GetColorsUsed(picture) * sizeof(RGBQUAD)});
  }
  for (unsigned y = 0; y < height; ++y) {
    digest.update({reinterpret_cast<const char*>(
                       FreeImage_GetScanLine(picture, static_cast<int>(y))),
                   lineBytes});
  }
  return digest.hex();
}

bool refuse(std::ostream& stream, const std::string& detail) {
  stream << "The image couldn't be loaded" << std::endl
         << "Detail: " << detail << std::endl;
  return false;
}

}  // namespace

PageReader::PageReader(PageReader&& other) noexcept {
  *this = std::move(other);
}

PageReader& PageReader::operator=(PageReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    fileBytes_ = std::exchange(other.fileBytes_, 0);
    pointerAt_ = other.pointerAt_;
    pointerBytes_ = other.pointerBytes_;
    littleEndian_ = other.littleEndian_;
    directories_ = std::move(other.directories_);
    other.directories_.clear();
  }
  return *this;
}

PageReader::~PageReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool PageReader::open(const std::string& path, std::ostream& stream) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return refuse(stream, std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) return refuse(stream, "not a regular file");
  // O_NONBLOCK: should the name have become a FIFO since the check, the
  // open returns at once instead of waiting for a writer.
  PageReader reader;
  reader.fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (reader.fd_ < 0 || ::fstat(reader.fd_, &status) != 0) {
    return refuse(stream, std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) return refuse(stream, "not a regular file");
  reader.path_ = path;
  reader.fileBytes_ = static_cast<std::uint64_t>(status.st_size);
  const std::string problem = reader.listTiffPages();
  if (!problem.empty()) return refuse(stream, problem);
  *this = std::move(reader);
  return true;
}

std::string PageReader::listTiffPages() {
  PageView view = plainView(fd_, fileBytes_);
  FreeImageIO io = viewIo();
  FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
  {
    const QuietStderr quiet;
    format = FreeImage_GetFileTypeFromHandle(&io, &view, 0);
  }
  if (format == FIF_UNKNOWN) format = formatByExtension(path_);
  unsigned char header[16] = {};
  if (format != FIF_TIFF || readAt(fd_, header, sizeof header, 0) < 8 ||
      !readHeader(header, littleEndian_, pointerAt_, pointerBytes_)) {
    return {};  // one page, read whole like any single picture
  }
  // A directory: its entry count (2 bytes, BigTIFF 8), the entries (12
  // bytes each, BigTIFF 20), then the next directory's offset, 0 at the end.
  const bool big = pointerBytes_ == 8;
  const int countBytes = big ? 8 : 2;
  const std::uint64_t entryBytes = big ? 20 : 12;
  std::unordered_set<std::uint64_t> seen;
  unsigned char number[8] = {};
  std::uint64_t offset =
      numberAt(header + pointerAt_, pointerBytes_, littleEndian_);
  while (offset != 0 && offset < fileBytes_ && seen.insert(offset).second) {
    if (directories_.size() == kMaxParameterSets) {
      return "the file has more than " + std::to_string(kMaxParameterSets) +
             " pages";
    }
    directories_.push_back(offset);
    if (readAt(fd_, number, static_cast<std::size_t>(countBytes), offset) !=
        countBytes) {
      break;
    }
    const std::uint64_t entries = numberAt(number, countBytes, littleEndian_);
    const std::uint64_t link =
        offset + static_cast<std::uint64_t>(countBytes) + entries * entryBytes;
    if (entries > 0xFFFF ||
        readAt(fd_, number, static_cast<std::size_t>(pointerBytes_), link) !=
            pointerBytes_) {
      break;
    }
    offset = numberAt(number, pointerBytes_, littleEndian_);
  }
  if (directories_.empty()) directories_.push_back(0);  // the loader says why
  return {};
}

int PageReader::pageCount() const {
  if (fd_ < 0) return 0;
  return directories_.empty() ? 1 : static_cast<int>(directories_.size());
}

Picture PageReader::decode(int page, std::ostream& stream) const {
  if (directories_.empty()) {
    // Not a TIFF: the whole file, as readPictureFile reads it.
    const std::optional<std::size_t> available = availableMemoryBytes();
    const std::uint64_t limit =
        available ? std::min<std::uint64_t>(*available, kMaxPictureBytes)
                  : kMaxPictureBytes;
    if (fileBytes_ > limit) {
      refuse(stream, "the file is larger than the memory available");
      return nullptr;
    }
    PictureFile file{path_, std::string(fileBytes_, '\0')};
    const ssize_t got = readAt(fd_, file.bytes.data(), file.bytes.size(), 0);
    if (got < 0) {
      refuse(stream, std::strerror(errno));
      return nullptr;
    }
    file.bytes.resize(static_cast<std::size_t>(got));
    return openPicture(file, stream);
  }
  PageView view = plainView(fd_, fileBytes_);
  view.pointerAt = pointerAt_;
  view.pointerBytes = static_cast<std::size_t>(pointerBytes_);
  const std::uint64_t offset = directories_[static_cast<std::size_t>(page)];
  for (int i = 0; i < pointerBytes_; ++i) {
    const int shift = 8 * (littleEndian_ ? i : pointerBytes_ - 1 - i);
    view.pointer[static_cast<std::size_t>(i)] =
        static_cast<unsigned char>(offset >> shift);
  }
  FreeImageIO io = viewIo();
  const PictureLoader load = [&](int flags) {
    view.position = 0;
    return FreeImage_LoadFromHandle(FIF_TIFF, &io, &view, flags);
  };
  const SizeClaim claimed = [&]() -> std::optional<ClaimedSize> {
    const Picture header(load(FIF_LOAD_NOPIXELS));
    if (!header) return std::nullopt;  // the full load will say what is wrong
    return sizeOfHeader(header.get());
  };
  startLibraryMessages();
  return decodePicture(FIF_TIFF, claimed, load, stream);
}

bool PageReader::fingerprint(int page, int preferredSize, std::string& sha256,
                             std::ostream& stream) const {
  if (page < 0 || page >= pageCount()) {
    return refuse(stream, "the file has no page " + std::to_string(page + 1));
  }
  const Picture picture = decode(page, stream);
  if (!picture) return false;
  if (const char* refusal =
          windowRefusal(static_cast<int>(FreeImage_GetWidth(picture.get())),
                        static_cast<int>(FreeImage_GetHeight(picture.get())),
                        preferredSize)) {
    stream << refusal << std::endl;
    return false;
  }
  sha256 = pixelsSha256(picture.get());
  return true;
}

bool PageReader::read(int page, int preferredSize, ClipType clipType,
                      PictureFrame& frame, std::ostream& stream,
                      const FitsInMemory& fits) const {
  if (page < 0 || page >= pageCount()) {
    return refuse(stream, "the file has no page " + std::to_string(page + 1));
  }
  if (preferredSize < 0) {
    stream << "The preferred size must be positive" << std::endl;
    return false;
  }
  const Picture picture = decode(page, stream);
  if (!picture) return false;
  PictureFrame loaded;
  if (!loadWindow(picture.get(), preferredSize, clipType, loaded.samples,
                  loaded.size, stream, fits, &loaded.extent)) {
    return false;
  }
  loaded.sha256 = pixelsSha256(picture.get());
  frame = std::move(loaded);
  return true;
}
