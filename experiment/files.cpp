#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

/// Opens path for writing. created tells whether this call made the file:
/// only then may a failed write remove it. O_EXCL also refuses a symbolic
/// link, which is then opened the ordinary way, through the link.
int openForWriting(const std::string& path, bool& created) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  created = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  }
  return fd;
}

/// Removes path if it is still the regular file this call created.
void removeOurs(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    ::unlink(path.c_str());
  }
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
  bool created = false;
  Descriptor file(openForWriting(path, created));
  if (file.get() < 0) return systemReason(errno);
  int error = writeAll(file.get(), bytes);
  const int closeError = file.close();
  if (error == 0) error = closeError;
  if (error == 0) return {};
  if (created) removeOurs(path);
  return systemReason(error);
}
