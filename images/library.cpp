#include "library.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "files.h"
#include "header.h"
#include "memory.h"

namespace {

std::string& libraryMessage() {
  static std::string message;
  return message;
}

void keepLibraryMessage(FREE_IMAGE_FORMAT /*format*/, const char* message) {
  libraryMessage() = message != nullptr ? message : "";
}

}  // namespace

void startLibraryMessages() {
  FreeImage_SetOutputMessage(keepLibraryMessage);
  libraryMessage().clear();
}

const std::string& lastLibraryMessage() { return libraryMessage(); }

std::recursive_mutex& standardErrorLock() {
  static std::recursive_mutex lock;
  return lock;
}

QuietStderr::QuietStderr() : lock_(standardErrorLock()) {
  std::fflush(stderr);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ >= 0) dup2(null, STDERR_FILENO);
  close(null);
}

QuietStderr::~QuietStderr() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

void reportLoadFailure(std::ostream& stream) {
  stream << "The image couldn't be loaded" << std::endl;
  if (!lastLibraryMessage().empty()) {
    stream << "Detail: " << lastLibraryMessage() << std::endl;
  }
}

namespace {

/// The FreeImage format of the file: by content first, then by the
/// extension of its name.
FREE_IMAGE_FORMAT formatOf(FIMEMORY* memory, const std::string& path) {
  const FREE_IMAGE_FORMAT byContent =
      FreeImage_GetFileTypeFromMemory(memory, 0);
  if (byContent != FIF_UNKNOWN) return byContent;
  return formatByExtension(path);
}

/// Why a picture whose pixels could not be held is refused before it is
/// decoded: a damaged or hostile header that claims 100000 x 100000 pixels
/// would otherwise have the decoder allocate and fill gigabytes before it
/// notices that the data is missing. Empty when the picture may be read.
std::string tooLargeReason(const std::optional<ClaimedSize>& size) {
  if (!size) return {};
  const std::optional<std::size_t> available = availableMemoryBytes();
  if (size->bytes <= kMaxPictureBytes &&
      (!available || size->bytes <= *available)) {
    return {};
  }
  return "the picture claims " + std::to_string(size->width) + " x " +
         std::to_string(size->height) +
         " pixels, more than can be held in memory";
}

}  // namespace

MemoryStream openMemory(std::string_view bytes) {
  // A stream opened on existing data is only read; FreeImage's signature
  // just lacks the const.
  auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  return MemoryStream(
      FreeImage_OpenMemory(data, static_cast<DWORD>(bytes.size())));
}

bool readPictureFile(const std::string& path, PictureFile& file,
                     std::ostream& stream) {
  file.path = path;
  // Never more than a picture may decode to: no compressed file is larger
  // than its pixels by that much.
  const std::optional<std::size_t> available = availableMemoryBytes();
  const std::size_t limit =
      available ? std::min<std::size_t>(*available, kMaxPictureBytes)
                : kMaxPictureBytes;
  const std::string problem = readWholeFile(path, file.bytes, limit);
  if (problem.empty()) return true;
  stream << "The image couldn't be loaded" << std::endl
         << "Detail: " << problem << std::endl;
  return false;
}

FREE_IMAGE_FORMAT formatByExtension(const std::string& path) {
  const std::string extension = std::filesystem::path(path).extension();
  // No format has a longer extension; a longer one names none of them.
  if (extension.size() < 2 || extension.size() > 8) return FIF_UNKNOWN;
  return FreeImage_GetFIFFromFilename(("picture" + extension).c_str());
}

Picture openPicture(const PictureFile& file, std::ostream& stream) {
  startLibraryMessages();
  // FreeImage's memory streams count in 32 bits.
  if (file.bytes.empty() || file.bytes.size() > kMaxPictureBytes) {
    reportLoadFailure(stream);
    return nullptr;
  }
  const MemoryStream memory = openMemory(file.bytes);
  FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
  {
    const QuietStderr quiet;
    format = formatOf(memory.get(), file.path);
  }
  const SizeClaim claimed = [&] {
    return claimedSize(format, memory.get(), file.bytes);
  };
  const PictureLoader load = [&](int flags) {
    FreeImage_SeekMemory(memory.get(), 0, SEEK_SET);
    return FreeImage_LoadFromMemory(format, memory.get(), flags);
  };
  return decodePicture(format, claimed, load, stream);
}

Picture decodePicture(FREE_IMAGE_FORMAT format, const SizeClaim& claimed,
                      const PictureLoader& load, std::ostream& stream) {
  Picture picture;
  std::string tooLarge;
  {
    const QuietStderr quiet;
    if (format != FIF_UNKNOWN && FreeImage_FIFSupportsReading(format)) {
      tooLarge = tooLargeReason(claimed());
      if (tooLarge.empty()) picture.reset(load(0));
    }
  }
  if (!tooLarge.empty()) {
    stream << "The image couldn't be loaded" << std::endl
           << "Detail: " << tooLarge << std::endl;
    return nullptr;
  }
  if (!picture || !canSample(picture.get())) {
    // A picture of an unsupported kind loaded fine; the library has
    // nothing to add about it, and an older message would mislead.
    if (picture) startLibraryMessages();
    reportLoadFailure(stream);
    return nullptr;
  }
  return picture;
}

bool canSample(FIBITMAP* picture) {
  switch (FreeImage_GetImageType(picture)) {
    case FIT_BITMAP:
      switch (FreeImage_GetBPP(picture)) {
        case 1:
        case 4:
        case 8:
          return FreeImage_GetPalette(picture) != nullptr;
        case 16:
        case 24:
        case 32:
          return true;
        default:
          return false;
      }
    case FIT_UINT16:
    case FIT_RGB16:
    case FIT_RGBA16:
    case FIT_FLOAT:
    case FIT_RGBF:
    case FIT_RGBAF:
      return true;
    default:
      return false;
  }
}
