#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "memory.h"

namespace {

std::string systemReason(int error) { return std::strerror(error); }

/// Closes a descriptor on every path out of a function.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  /// Closes now and reports the close's own error (0 when none).
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

/// Writes all of bytes, resuming after interruptions and short writes; 0 or
/// the error that stopped it.
int writeAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

/// The name a file is written under until it is whole: hidden, in the same
/// directory (so that the rename stays on one file system and is atomic),
/// and unique to this process and call. "dir/result_01.png" gives
/// "dir/.result_01.png.4711-3.tmp".
std::string temporaryName(const std::string& path) {
  static std::atomic<unsigned> calls{0};
  const std::size_t slash = path.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  // Short enough that the whole name stays below NAME_MAX (255).
  const std::string name = path.substr(start, 200);
  return path.substr(0, start) + "." + name + "." + std::to_string(::getpid()) +
         "-" + std::to_string(calls++) + ".tmp";
}

/// Writes bytes straight into what path names, when that is no regular file
/// of ours to replace: a device such as /dev/null, or a FIFO with a reader.
/// O_NONBLOCK: a FIFO without a reader fails at once instead of blocking.
std::string writeInPlace(const std::string& path, std::string_view bytes) {
  Descriptor file(
      ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return systemReason(errno);
  int error = writeAll(file.get(), bytes);
  const int closeError = file.close();
  if (error == 0) error = closeError;
  return error == 0 ? std::string() : systemReason(error);
}

}  // namespace

std::string readWholeFile(const std::string& path, std::string& bytes,
                          std::size_t limit) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return systemReason(errno);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  // O_NONBLOCK: should the name have become a FIFO since the check, the
  // open returns at once instead of waiting for a writer.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return systemReason(errno);
  if (::fstat(file.get(), &status) != 0) return systemReason(errno);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size > limit) return "the file is larger than the memory available";
  std::string data(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(file.get(), data.data() + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return systemReason(errno);
    }
    if (got == 0) break;  // shrank while we read: take what is there
    done += static_cast<std::size_t>(got);
  }
  data.resize(done);
  bytes = std::move(data);
  return {};
}

std::string readWholeFile(const std::string& path, std::string& bytes) {
  const std::optional<std::size_t> available = availableMemoryBytes();
  return readWholeFile(path, bytes,
                       available ? *available : static_cast<std::size_t>(-1));
}

std::string writeWholeFile(const std::string& path, std::string_view bytes) {
  // Through a symbolic link to its target, which is then what is replaced;
  // a link that leads nowhere is refused as the system refuses to open it.
  std::string target = path;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    std::error_code error;
    target = std::filesystem::canonical(path, error).string();
    if (error) return systemReason(ENOENT);
  }
  if (::stat(target.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    if (S_ISDIR(status.st_mode)) return systemReason(EISDIR);
    return writeInPlace(target, bytes);
  }
  const std::string temporary = temporaryName(target);
  Descriptor file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (file.get() < 0) return systemReason(errno);
  int error = writeAll(file.get(), bytes);
  const int closeError = file.close();
  if (error == 0) error = closeError;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error == 0) return {};
  ::unlink(temporary.c_str());
  return systemReason(error);
}
