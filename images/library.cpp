#include "library.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>

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

QuietStderr::QuietStderr() {
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

FREE_IMAGE_FORMAT formatOf(const std::string& path) {
  const FREE_IMAGE_FORMAT byContent = FreeImage_GetFileType(path.c_str(), 0);
  if (byContent != FIF_UNKNOWN) return byContent;
  return FreeImage_GetFIFFromFilename(path.c_str());
}

/// Why a picture whose pixels could not be held is refused before it is
/// decoded: a damaged or hostile header that claims 100000 x 100000 pixels
/// would otherwise have the decoder allocate and fill gigabytes before it
/// notices that the data is missing. Empty when the picture may be read.
std::string tooLargeReason(FREE_IMAGE_FORMAT format, const std::string& path) {
  const std::optional<ClaimedSize> size = claimedSize(format, path);
  if (!size) return {};
  const std::optional<std::size_t> available = availableMemoryBytes();
  if (size->bytes <= kMaxPictureBytes &&
      (!available || size->bytes <= *available)) {
    return {};
  }
  return "the picture claims " + std::to_string(size->width) + " x " +
         std::to_string(size->height) +
         " pixels, more than can be held in "
         "memory";
}

}  // namespace

Picture openPicture(const std::string& path, std::ostream& stream) {
  startLibraryMessages();
  Picture picture;
  std::string tooLarge;
  {
    const QuietStderr quiet;
    const FREE_IMAGE_FORMAT format = formatOf(path);
    if (format != FIF_UNKNOWN && FreeImage_FIFSupportsReading(format)) {
      tooLarge = tooLargeReason(format, path);
      if (tooLarge.empty())
        picture.reset(FreeImage_Load(format, path.c_str(), 0));
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
