#include "morvane/source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>
#include <variant>

#include "morvane/mapping_guard.hpp"
#include "morvane/stream_header.hpp"
#include "morvane/unique_fd.hpp"

namespace morvane {

namespace {

struct MappedPages {
  void* base = nullptr;
  std::size_t length = 0;
  MappedPages(void* b, std::size_t n) : base(b), length(n) {}
  MappedPages(const MappedPages&) = delete;
  MappedPages& operator=(const MappedPages&) = delete;
  ~MappedPages() {
    if (base) munmap(base, length);
  }
};

// A whole-file mapping, guarded for as long as it exists: members go in
// reverse order, so the range is unregistered before its pages are unmapped
// and a fault at an address that has been mapped anew is never taken for ours.
struct Mapping {
  MappedPages pages;
  MappingGuard guard;
  Mapping(void* base, std::size_t length) : pages(base, length), guard(base, length) {}
};

// Opens for reading only, not inherited by child processes. The descriptor
// closes on every way out; a mapping stays valid without it.
std::expected<UniqueFd, IoError> open_read_only(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::unexpected(IoError::last_os_error());
  return file;
}

inline constexpr std::size_t kReadChunk = 64 * 1024;  // bytes: the first buffer when no length is known

// Whether the bytes read so far can still begin a stream header: each byte
// that has arrived of the first four is the one a header has there.
bool may_begin_header(std::span<const std::uint8_t> first) {
  const std::span<const std::uint8_t> magic(kStreamMagic);
  for (std::size_t i = 0; i < first.size() && i < kStreamHeaderBytes; ++i) {
    if (i < magic.size() ? first[i] != magic[i] : first[i] < '0' + kMinLevel || first[i] > '0' + kMaxLevel) {
      return false;
    }
  }
  return true;
}

// Where reading stops early: after `max_bytes`, and with `bzip2_input` at the
// first byte that no stream header has in its place.
struct ReadLimits {
  std::uint64_t max_bytes = UINT64_MAX;
  const char* too_long = nullptr;  // the message past max_bytes
  bool bzip2_input = false;
};

// Reads to the end of the file. `expected`, the length the file system
// reports (0 when it knows none), only sizes the first buffer: one byte more,
// so that the read that finds the end needs no growth.
std::expected<std::vector<std::uint8_t>, IoError> read_sized(int fd, std::size_t expected, ReadLimits limits) {
  std::vector<std::uint8_t> out(expected > 0 ? expected + 1 : kReadChunk);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    std::size_t room = out.size() - used;
    // One byte past the limit shows that the file is longer than it.
    if (limits.max_bytes - used < room) room = static_cast<std::size_t>(limits.max_bytes - used) + 1;
    ssize_t n = ::read(fd, out.data() + used, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (n == 0) break;
    if (limits.bzip2_input && used < kStreamHeaderBytes &&
        !may_begin_header(std::span(out).first(used + static_cast<std::size_t>(n)))) {
      return std::unexpected(IoError::wrap(Error::invalid_stream_header(), IoKind::InvalidData));
    }
    used += static_cast<std::size_t>(n);
    if (used > limits.max_bytes) return std::unexpected(IoError::custom(IoKind::InvalidData, limits.too_long));
  }
  // The slack is kept: giving it back would copy the whole input once more.
  out.resize(used);
  return out;
}

}  // namespace

struct Source::Inner {
  std::variant<std::vector<std::uint8_t>, std::unique_ptr<Mapping>> storage;
};

Source::Source(std::shared_ptr<const Inner> inner) : inner_(std::move(inner)) {
  if (auto* v = std::get_if<std::vector<std::uint8_t>>(&inner_->storage)) {
    data_ = v->data();
    size_ = v->size();
  } else {
    const auto& m = std::get<std::unique_ptr<Mapping>>(inner_->storage);
    data_ = static_cast<const std::uint8_t*>(m->pages.base);
    size_ = m->pages.length;
  }
}

Source Source::from_vector(std::vector<std::uint8_t> bytes) {
  auto inner = std::make_shared<Inner>();
  inner->storage = std::move(bytes);
  return Source(std::move(inner));
}

std::expected<Source, IoError> Source::open(const std::string& path) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file.error()));

  struct stat st {};
  if (fstat(file->get(), &st) != 0) return std::unexpected(IoError::last_os_error());

  // A regular file of length 0 may still have contents (files under /proc
  // report 0): reading it settles the matter, and an empty file reads nothing.
  if (!S_ISREG(st.st_mode) || st.st_size == 0) {
    auto bytes = read_input(file->get());
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return from_vector(std::move(*bytes));
  }

  if (static_cast<std::uint64_t>(st.st_size) > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::unexpected(IoError::custom(IoKind::InvalidData, "memory map length overflows isize"));
  }
  auto length = static_cast<std::size_t>(st.st_size);
  void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED, file->get(), 0);
  if (base == MAP_FAILED) return std::unexpected(IoError::last_os_error());
  auto inner = std::make_shared<Inner>();
  inner->storage = std::make_unique<Mapping>(base, length);
  return Source(std::move(inner));
}

std::expected<void, IoError> Source::intact() const {
  const auto* mapping = std::get_if<std::unique_ptr<Mapping>>(&inner_->storage);
  if (!mapping) return {};
  // A read of the last byte faults, and so marks the mapping, when the file
  // has lost its last page: the decode may have stopped on the zeros of an
  // earlier, partly kept page before it reached a lost one.
  (void)*static_cast<const volatile std::uint8_t*>(data_ + size_ - 1);
  if ((*mapping)->guard.faulted()) {
    return std::unexpected(
        IoError::custom(IoKind::Other, "input file was truncated or became unreadable during the decode"));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, IoError> read_file(const std::string& path, std::uint64_t max_bytes,
                                                            const char* too_long) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file.error()));
  struct stat st {};
  if (fstat(file->get(), &st) != 0) return std::unexpected(IoError::last_os_error());
  const bool sized = S_ISREG(st.st_mode);
  if (sized && static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    return std::unexpected(IoError::custom(IoKind::InvalidData, too_long));
  }
  return read_sized(file->get(), sized ? static_cast<std::size_t>(st.st_size) : 0,
                    ReadLimits{.max_bytes = max_bytes, .too_long = too_long});
}

std::expected<std::vector<std::uint8_t>, IoError> read_input(int fd) {
  return read_sized(fd, 0, ReadLimits{.bzip2_input = true});
}

Error open_error(IoError error) {
  if (const Error* carried = error.payload()) return *carried;
  return Error::io(std::move(error));
}

}  // namespace morvane
