#include "stack_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "shortest.h"

// The pixels go to the file as the machine holds its floats, and the file
// says "II".
static_assert(std::endian::native == std::endian::little);

using numerics::shortestText;

namespace {

// TIFF field types.
constexpr std::uint16_t kByte = 1;
constexpr std::uint16_t kAscii = 2;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;
constexpr std::uint16_t kRational = 5;

/// Room for one slice label, in characters; the longest a label can be,
/// "set -9223372036854775808, z -2.2250738585072014e-308, frame
/// -2147483648, failed", has 79.
constexpr std::uint64_t kLabelChars = 96;

/// The ImageJ metadata's header: "IJIJ", then one type, "labl", and the
/// number of labels, each a 32-bit number in the file's byte order; the
/// first byte count is its size.
constexpr std::uint32_t kMagic = 0x494a494a;
constexpr std::uint32_t kLabelType = 0x6c61626c;
constexpr std::uint32_t kMetadataHeaderBytes = 12;

void put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8 & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

/// One directory entry: tag, type, count and the value itself when it fits
/// in 4 bytes (a SHORT in the first two), else the offset of the values.
struct Entry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};

/// Where everything of one file is. Page k's directory is at 8 for k = 0,
/// else at directories + (k - 1) * directoryBytes; its pixels at pixels +
/// k * pageBytes. Example: 3 pages of 4 x 4 without resolution: page 0's
/// directory 8..181 (14 entries), the description from 182, the byte counts
/// and the labels after it, pages 1 and 2's directories (11 entries, 138
/// bytes each), then the 64 bytes of each page's pixels.
struct Layout {
  std::uint32_t pages = 0;
  bool resolution = false;
  std::uint64_t pageBytes = 0, rational = 0, description = 0,
                descriptionRoom = 0, counts = 0, metadata = 0, directories = 0,
                directoryBytes = 0, pixels = 0, end = 0;

  std::uint64_t directoryOf(std::uint32_t k) const {
    return k == 0 ? 8 : directories + (k - 1) * directoryBytes;
  }
  std::uint64_t pixelsOf(std::uint32_t k) const {
    return pixels + k * pageBytes;
  }
};

std::uint64_t alignUp(std::uint64_t at, std::uint64_t to) {
  return (at + to - 1) / to * to;
}

/// Entries of page 0; the other pages have three fewer (no description,
/// no metadata).
std::uint64_t firstPageEntries(bool resolution) { return resolution ? 17 : 14; }

Layout layoutOf(std::uint32_t pages, int n, bool resolution,
                std::uint64_t descriptionBytes) {
  Layout l;
  l.pages = pages;
  l.resolution = resolution;
  const auto edge = static_cast<std::uint64_t>(n);
  l.pageBytes = 4 * edge * edge;
  const std::uint64_t entries = firstPageEntries(resolution);
  l.directoryBytes = 2 + 12 * (entries - 3) + 4;
  std::uint64_t at = 8 + 2 + 12 * entries + 4;
  if (resolution) {
    l.rational = at;
    at += 16;
  }
  l.description = at;
  l.descriptionRoom = alignUp(descriptionBytes, 4);
  l.counts = at += l.descriptionRoom;
  l.metadata = at += 4 * (1 + std::uint64_t{pages});
  at += kMetadataHeaderBytes + 2 * kLabelChars * pages;
  l.directories = at = alignUp(at, 4);
  at += (pages - 1) * l.directoryBytes;
  l.pixels = alignUp(at, 16);
  l.end = l.pixelsOf(pages);
  return l;
}

/// The entries of page k in tag order, as TIFF wants them; page 0's name
/// its description (descriptionBytes with the closing NUL) and the first
/// labels of its metadata.
std::vector<Entry> entriesOf(const Layout& l, int n, std::uint32_t k,
                             std::uint32_t descriptionBytes,
                             std::uint32_t labels, std::uint32_t labelBytes) {
  const auto edge = static_cast<std::uint32_t>(n);
  const auto at = [](std::uint64_t offset) {
    return static_cast<std::uint32_t>(offset);
  };
  std::vector<Entry> e{{256, kLong, 1, edge},
                       {257, kLong, 1, edge},
                       {258, kShort, 1, 32},  // bits per sample
                       {259, kShort, 1, 1},   // no compression
                       {262, kShort, 1, 1}};  // black is zero
  if (k == 0) e.push_back({270, kAscii, descriptionBytes, at(l.description)});
  e.push_back({273, kLong, 1, at(l.pixelsOf(k))});
  e.push_back({277, kShort, 1, 1});    // samples per pixel
  e.push_back({278, kLong, 1, edge});  // rows per strip: one strip
  e.push_back({279, kLong, 1, at(l.pageBytes)});
  if (l.resolution) {
    e.push_back({282, kRational, 1, at(l.rational)});
    e.push_back({283, kRational, 1, at(l.rational + 8)});
  }
  e.push_back({284, kShort, 1, 1});                    // one plane
  if (l.resolution) e.push_back({296, kShort, 1, 1});  // no absolute unit
  e.push_back({339, kShort, 1, 3});                    // IEEE floats
  if (k == 0) {
    e.push_back({50838, kLong, 1 + labels, at(l.counts)});
    e.push_back(
        {50839, kByte, kMetadataHeaderBytes + labelBytes, at(l.metadata)});
  }
  return e;
}

std::string directoryBytes(const std::vector<Entry>& entries,
                           std::uint64_t next) {
  std::string out;
  put16(out, static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    put16(out, e.tag);
    put16(out, e.type);
    put32(out, e.count);
    put32(out, e.value);  // a SHORT's value lands in the first two bytes
  }
  put32(out, static_cast<std::uint32_t>(next));
  return out;
}

/// x as a TIFF RATIONAL, numerator and denominator at most 0xFFFFFFFF: the
/// last convergent of x's continued fraction that fits, which is x itself
/// when x is a fraction that fits (1 / 3.45e-6 = 20000000 / 69, so ImageJ
/// shows a pixel of 3.45e-6 and not 3.4499999997e-6) and otherwise within
/// 1 / 0xFFFFFFFF of x relatively, for x from 1 / 0xFFFFFFFF to 0xFFFFFFFF
/// (what resolutionProblem lets through). Doubles hold the whole numbers
/// exactly as long as they fit.
std::array<std::uint32_t, 2> fractionOf(double x) {
  constexpr double kMax = 4294967295.0;
  double h0 = 0.0, k0 = 1.0, h1 = 1.0, k1 = 0.0, y = x;
  for (int i = 0; i < 64; ++i) {
    const double a = std::floor(y);
    const double h2 = a * h1 + h0, k2 = a * k1 + k0;
    if (h2 > kMax || k2 > kMax) break;
    h0 = h1, k0 = k1, h1 = h2, k1 = k2;
    if (h1 / k1 == x || y == a) break;
    y = 1.0 / (y - a);
  }
  if (h1 == 0.0) return {1, 0xFFFFFFFF};  // x just above 1 / 0xFFFFFFFF
  return {static_cast<std::uint32_t>(h1), static_cast<std::uint32_t>(k1)};
}

/// "set 12, z 0.155, frame 3", and ", failed" for a set that wrote
/// nothing, as UTF-16 in the file's byte order (what ImageJ 1.53t reads in
/// a little-endian file).
std::string labelBytes(const StackPage& page, bool failed) {
  std::string text = "set " + std::to_string(page.set) + ", z " +
                     shortestText(page.z) + ", frame " +
                     std::to_string(page.frame) + (failed ? ", failed" : "");
  text.resize(std::min<std::size_t>(text.size(), kLabelChars));
  std::string utf16;
  for (const char c : text) utf16 += {c, '\0'};
  return utf16;
}

std::string systemReason(int error) { return std::strerror(error); }

/// Writes all of bytes at offset; the reason it could not, empty when it
/// did.
std::string writeAt(int fd, const void* bytes, std::size_t count,
                    std::uint64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t written =
        ::pwrite(fd, static_cast<const char*>(bytes) + done, count - done,
                 static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return systemReason(errno);
    if (written == 0) return systemReason(EIO);
    done += static_cast<std::size_t>(written);
  }
  return {};
}

std::string writeAt(int fd, const std::string& bytes, std::uint64_t offset) {
  return writeAt(fd, bytes.data(), bytes.size(), offset);
}

bool knownPitch(double pitch) { return std::isfinite(pitch) && pitch != 0.0; }

/// The description's dimension lines for a file of frames frames.
DescriptionLines headOf(const StackShape& shape, const StackRecord& record,
                        int frames) {
  const int slices = shape.slices;
  DescriptionLines head{{"images", std::to_string(frames * slices)}};
  if (slices > 1) head.push_back({"slices", std::to_string(slices)});
  if (frames > 1) head.push_back({"frames", std::to_string(frames)});
  if (slices > 1 && frames > 1) head.push_back({"hyperstack", "true"});
  if (slices > 1 && knownPitch(record.spacing)) {
    head.push_back({"spacing", shortestText(record.spacing)});
  }
  head.push_back({"loop", "false"});
  if (!knownPitch(record.tiff.pitch) && !record.noCommonPitch.empty()) {
    head.push_back({"resolution", "none (" + record.noCommonPitch + ")"});
  }
  return head;
}

}  // namespace

/// The file being written: one complete hyperstack of the run's stack.
struct StackWriter::Part {
  int fd = -1;
  std::string temporary, final;
  Layout layout;
  std::uint32_t written = 0;          // pages written
  std::uint32_t labelBytes = 0;       // of the labels written
  std::uint32_t wholeLabelBytes = 0;  // of those of the whole frames
};

StackWriter::StackWriter() = default;

StackWriter::StackWriter(StackWriter&& other) noexcept {
  *this = std::move(other);
}

StackWriter& StackWriter::operator=(StackWriter&& other) noexcept {
  if (this != &other) {
    close();
    base_ = std::move(other.base_);
    shape_ = other.shape_;
    record_ = std::move(other.record_);
    maxFileBytes_ = other.maxFileBytes_;
    framesPerPart_ = other.framesPerPart_;
    appended_ = other.appended_;
    partNumber_ = other.partNumber_;
    part_ = std::move(other.part_);
    open_ = std::exchange(other.open_, false);
    failed_ = other.failed_;
    other.clear();
  }
  return *this;
}

StackWriter::~StackWriter() { close(); }

void StackWriter::clear() noexcept {
  part_.reset();
  open_ = failed_ = false;
  appended_ = 0;
  partNumber_ = 0;
}

std::string StackWriter::open(const std::string& directory,
                              const std::string& name, const StackShape& shape,
                              const StackRecord& record,
                              std::uint64_t maxFileBytes) {
  close();
  if (shape.n <= 0 || shape.slices <= 0 || shape.frames <= 0) {
    return "the stack is empty";
  }
  std::string description;
  const std::string refused = describeImageJ(
      record.tiff, headOf(shape, record, shape.frames), description);
  if (!refused.empty()) return refused;
  base_ = directory + "/" + name;
  shape_ = shape;
  record_ = record;
  maxFileBytes_ = std::min(maxFileBytes, kMaxStackFileBytes);
  // The most frames one file holds: its size grows with them.
  const auto fits = [&](int frames) {
    describeImageJ(record.tiff, headOf(shape, record, frames), description);
    const std::uint64_t pages = static_cast<std::uint64_t>(frames) *
                                static_cast<std::uint64_t>(shape.slices);
    return pages <= std::numeric_limits<std::uint32_t>::max() &&
           layoutOf(static_cast<std::uint32_t>(pages), shape.n,
                    knownPitch(record.tiff.pitch) &&
                        resolutionProblem(record.tiff.pitch).empty(),
                    description.size() + 1)
                   .end <= maxFileBytes_;
  };
  int low = 0, high = shape.frames;  // fits(low), and nothing beyond high
  while (low < high) {
    const int middle = high - (high - low) / 2;
    if (fits(middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  if (low == 0) {
    return "a frame of " + std::to_string(shape.slices) + " pages of " +
           std::to_string(shape.n) + " x " + std::to_string(shape.n) +
           " floats does not fit into one TIFF file of at most " +
           std::to_string(maxFileBytes_) + " bytes";
  }
  framesPerPart_ = low;
  open_ = true;
  const std::string reason = startPart();
  if (!reason.empty()) clear();
  return reason;
}

std::string StackWriter::startPart() {
  ++partNumber_;
  const int frames = std::min(
      framesPerPart_, shape_.frames - (partNumber_ - 1) * framesPerPart_);
  const auto pages = static_cast<std::uint32_t>(frames * shape_.slices);
  std::string description;
  describeImageJ(record_.tiff, headOf(shape_, record_, frames), description);
  const double pitch = record_.tiff.pitch;
  const bool resolution = knownPitch(pitch) && resolutionProblem(pitch).empty();
  auto part = std::make_unique<Part>();
  part->layout = layoutOf(pages, shape_.n, resolution, description.size() + 1);
  part->final = base_;  // phase.tif, phase_2.tif, ...
  if (partNumber_ > 1)
    part->final.append("_").append(std::to_string(partNumber_));
  part->final.append(".tif");
  part->temporary = part->final + ".partial";
  // Page 0's directory and the room for the description, which close()
  // fills in, then the other pages' directories a batch at a time; the
  // labels' room is written as the pages come.
  const Layout& l = part->layout;
  std::string head = "II";  // little endian
  put16(head, 42);
  put32(head, 8);  // page 0's directory follows
  const std::string first = directoryBytes(entriesOf(l, shape_.n, 0, 0, 0, 0),
                                           pages > 1 ? l.directoryOf(1) : 0);
  head.append(first);
  if (resolution) {
    const auto [numerator, denominator] = fractionOf(1.0 / std::fabs(pitch));
    for (int i = 0; i < 2; ++i)
      put32(head, numerator), put32(head, denominator);
  }
  head.resize(l.counts, '\0');
  put32(head, kMetadataHeaderBytes);
  head.resize(l.metadata, '\0');
  put32(head, kMagic);
  put32(head, kLabelType);
  // O_NOFOLLOW: a link planted under the temporary name is not followed.
  part->fd =
      ::open(part->temporary.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (part->fd < 0) return systemReason(errno);
  part_ = std::move(part);
  std::string reason = writeAt(part_->fd, head, 0);
  constexpr std::uint32_t kBatch = 1024;
  for (std::uint32_t k = 1; k < pages && reason.empty(); k += kBatch) {
    std::string batch;
    for (std::uint32_t j = k; j < std::min(pages, k + kBatch); ++j) {
      batch += directoryBytes(entriesOf(l, shape_.n, j, 0, 0, 0),
                              j + 1 < pages ? l.directoryOf(j + 1) : 0);
    }
    reason = writeAt(part_->fd, batch, l.directoryOf(k));
  }
  if (!reason.empty()) finishPart();  // no page: the file goes
  return reason;
}

std::string StackWriter::append(const double* const* values,
                                const StackPage& page) {
  return appendPage(values, page, false);
}

std::string StackWriter::appendFailed(const StackPage& page) {
  return appendPage(nullptr, page, true);
}

std::string StackWriter::appendPage(const double* const* values,
                                    const StackPage& page, bool failed) {
  if (!open_) return "the stack is not open";
  if (failed_) return {};
  const std::int64_t total = std::int64_t{shape_.slices} * shape_.frames;
  if (appended_ == total) {
    return "the stack already holds its " + std::to_string(total) + " pages";
  }
  std::string reason = part_ ? std::string() : startPart();
  if (!reason.empty()) {
    failed_ = true;
    return reason;
  }
  Part& part = *part_;
  const Layout& l = part.layout;
  const int n = shape_.n;
  const auto edge = static_cast<std::size_t>(n);
  // Whole lines of floats, about a megabyte at a time, top line first.
  const std::size_t linesAtOnce = std::max<std::size_t>(1, (1 << 18) / edge);
  std::vector<float> lines(std::min<std::size_t>(linesAtOnce, edge) * edge);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::uint64_t at = l.pixelsOf(part.written);
  for (int y = 0; y < n && reason.empty();) {
    std::size_t filled = 0;
    for (; filled < lines.size() && y < n; filled += edge, ++y) {
      float* line = lines.data() + filled;
      if (values == nullptr) {
        std::fill(line, line + edge, nan);
        continue;
      }
      const double* row = values[n - 1 - y];
      for (std::size_t j = 0; j < edge; ++j) line[j] = tiffFloat(row[j]);
    }
    reason = writeAt(part.fd, lines.data(), filled * sizeof(float), at);
    at += filled * sizeof(float);
  }
  const std::string label = labelBytes(page, failed);
  std::string count;
  put32(count, static_cast<std::uint32_t>(label.size()));
  if (reason.empty()) {
    reason = writeAt(part.fd, label,
                     l.metadata + kMetadataHeaderBytes + part.labelBytes);
  }
  if (reason.empty()) {
    reason = writeAt(part.fd, count, l.counts + 4 * (1 + part.written));
  }
  if (!reason.empty()) {
    failed_ = true;
    return reason;
  }
  ++appended_;
  ++part.written;
  part.labelBytes += static_cast<std::uint32_t>(label.size());
  if (part.written % static_cast<std::uint32_t>(shape_.slices) == 0) {
    part.wholeLabelBytes = part.labelBytes;
  }
  // A complete part goes into place at once.
  return part.written == l.pages ? finishPart() : std::string();
}

std::string StackWriter::finishPart() {
  Part& part = *part_;
  const Layout& l = part.layout;
  const std::uint32_t pages =
      part.written - part.written % static_cast<std::uint32_t>(shape_.slices);
  std::string reason;
  if (pages > 0) {
    std::string description;
    describeImageJ(
        record_.tiff,
        headOf(shape_, record_, static_cast<int>(pages) / shape_.slices),
        description);
    description.push_back('\0');
    const auto descriptionBytes =
        static_cast<std::uint32_t>(description.size());
    std::string header;
    put32(header, pages);
    std::string end;
    put32(end, 0);
    const std::string first =
        directoryBytes(entriesOf(l, shape_.n, 0, descriptionBytes, pages,
                                 part.wholeLabelBytes),
                       pages > 1 ? l.directoryOf(1) : 0);
    // Page 0's directory and what it names, then the chain's new end (page
    // 0's own link is in its directory).
    const std::pair<const std::string*, std::uint64_t> writes[] = {
        {&description, l.description},
        {&header, l.metadata + 8},
        {&first, 8},
        {&end, l.directoryOf(pages - 1) + l.directoryBytes - 4}};
    for (const auto& [bytes, offset] : writes) {
      if (reason.empty() && (bytes != &end || pages > 1)) {
        reason = writeAt(part.fd, *bytes, offset);
      }
    }
    if (reason.empty() &&
        ::ftruncate(part.fd, static_cast<off_t>(l.pixelsOf(pages))) != 0) {
      reason = systemReason(errno);
    }
  }
  const int closed = ::close(part.fd);
  if (reason.empty() && closed != 0) reason = systemReason(errno);
  if (reason.empty() && pages > 0 &&
      std::rename(part.temporary.c_str(), part.final.c_str()) != 0) {
    reason = systemReason(errno);
  }
  if (!reason.empty() || pages == 0) ::unlink(part.temporary.c_str());
  part_.reset();
  if (!reason.empty()) failed_ = true;
  return reason;
}

std::string StackWriter::close() {
  if (!open_) return {};
  const std::string reason = part_ ? finishPart() : std::string();
  clear();
  return reason;
}
