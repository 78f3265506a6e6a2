#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "morvane/error.hpp"
#include "morvane/source.hpp"

using namespace morvane;

TEST(ErrorDisplay, EveryVariantHasItsMessage) {
  EXPECT_EQ(Error(Error::InvalidBitCount{65}).display(), "cannot read 65 bits at once; maximum is 64");
  EXPECT_EQ(Error(Error::InvalidBitOffset{9, 8}).display(), "bit offset 9 is beyond the 8-bit input");
  EXPECT_EQ(Error(Error::UnexpectedEof{3, 8, 5}).display(), "unexpected end of input at bit 3: requested 8 bits, 5 remain");
  EXPECT_EQ(Error::invalid_stream_header().display(), "input does not start with a bzip2 BZh1-BZh9 header");
  EXPECT_EQ(Error::decode(32, DecodeError::CrcMismatch).display(), "bzip2 decode error at bit 32: bzip2 CRC mismatch");
  auto idx = Error::invalid_index("unsupported version");
  EXPECT_EQ(idx.display(), "invalid morvane index: unsupported version");
  EXPECT_EQ(idx.reason(), "unsupported version");
  EXPECT_EQ(Error::invalid_configuration("x").display(), "invalid configuration: x");
  EXPECT_EQ(Error::io(IoError::from_errno(2)).display(), "No such file or directory (os error 2)");
}

TEST(ErrorDisplay, DecodeKindsInOrder) {
  const char* messages[] = {"invalid bzip2 magic", "invalid bzip2 block size", "unexpected end of bzip2 stream",
                            "bzip2 CRC mismatch", "legacy randomized bzip2 block not supported",
                            "invalid bzip2 Huffman table", "invalid bzip2 block structure",
                            "bzip2 block exceeds its declared size"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(decode_error_message(static_cast<DecodeError>(i)), messages[i]);
  static_assert(sizeof(DecodeError) == 1);
}

TEST(ErrorDebugAndCause, StructuralFormAndCause) {
  auto e = Error::decode(7, DecodeError::InvalidHuffman);
  EXPECT_EQ(e.debug(), "Decode { bit_offset: 7, source: InvalidHuffman }");
  ASSERT_TRUE(std::holds_alternative<DecodeError>(e.cause()));
  EXPECT_EQ(decode_error_message(std::get<DecodeError>(e.cause())), "invalid bzip2 Huffman table");
  EXPECT_EQ(Error::invalid_index("a\"b").debug(), "InvalidIndex(\"a\\\"b\")");
  EXPECT_EQ(Error::io(IoError::from_errno(2)).debug(),
            "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })");
  EXPECT_TRUE(std::holds_alternative<const IoError*>(Error::io(IoError::from_errno(2)).cause()));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(Error::invalid_stream_header().cause()));
  EXPECT_EQ(static_cast<int>(Error::io(IoError::from_errno(2)).tag()), 7);
}

TEST(IoErrorValue, WrappedLibraryErrorKeepsItsText) {
  auto io = IoError::wrap(Error::decode(5, DecodeError::InvalidMagic));
  EXPECT_EQ(io.kind(), IoKind::Other);
  EXPECT_EQ(io.display(), "bzip2 decode error at bit 5: invalid bzip2 magic");
  ASSERT_NE(io.payload(), nullptr);
  EXPECT_EQ(io.payload()->tag(), Error::Tag::Decode);
  EXPECT_EQ(debug_quote("a'\x1b\t"), "\"a'\\u{1b}\\t\"");
}

namespace {
std::string temp_path(const char* name) { return testing::TempDir() + "/morvane_" + name + std::to_string(getpid()); }
}  // namespace

TEST(SourceOpen, RegularFilesEmptyFilesAndMissingFiles) {
  auto path = temp_path("regular");
  { std::ofstream(path, std::ios::binary) << "BZh9 data"; }
  auto src = Source::open(path);
  ASSERT_TRUE(src.has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(src->data()), src->size()), "BZh9 data");
  Source clone = *src;
  EXPECT_EQ(clone.data(), src->data());
  src = Source::from_vector({});
  EXPECT_EQ(clone.bytes()[0], 'B');  // the clone keeps the mapping alive
  std::remove(path.c_str());

  auto empty = temp_path("empty");
  { std::ofstream(empty, std::ios::binary); }
  auto e = Source::open(empty);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->size(), 0u);
  std::remove(empty.c_str());

  auto missing = Source::open(temp_path("missing"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");
  EXPECT_EQ(missing.error().kind(), IoKind::NotFound);

  auto nul = Source::open(std::string("a\0b", 3));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().kind(), IoKind::InvalidInput);
}

TEST(SourceOpen, FifoIsReadToItsEndAndDirectoryFails) {
  auto fifo = temp_path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string payload = "BZh9" + std::string(200000, 'x');
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << payload; });
  auto src = Source::open(fifo);
  writer.join();
  std::remove(fifo.c_str());
  ASSERT_TRUE(src.has_value());
  EXPECT_EQ(src->size(), payload.size());

  auto dir = Source::open(testing::TempDir());
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().display(), "Is a directory (os error 21)");
}

// /proc files are regular files that report length 0 yet have contents: they
// are read, not taken for empty. This thread's name is one such file whose
// contents the test chooses.
TEST(SourceOpen, ZeroLengthFileWithContentsIsRead) {
  const std::string comm = "/proc/thread-self/comm";
  struct stat st {};
  ASSERT_EQ(stat(comm.c_str(), &st), 0);
  ASSERT_TRUE(S_ISREG(st.st_mode) && st.st_size == 0) << "this kernel reports a length for /proc files";
  char name[16] = {};
  ASSERT_EQ(pthread_getname_np(pthread_self(), name, sizeof name), 0);
  ASSERT_EQ(pthread_setname_np(pthread_self(), "BZh9 in a name"), 0);
  auto src = Source::open(comm);
  pthread_setname_np(pthread_self(), name);
  ASSERT_TRUE(src.has_value()) << src.error().display();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(src->data()), src->size()), "BZh9 in a name\n");
}

// A stream cannot be mapped and may never end (a device, a pipe): its first
// bytes decide at once whether it can be bzip2 at all, before it is read on.
TEST(SourceOpen, AnUnmappableInputThatIsNotBzip2IsRefusedByItsFirstBytes) {
  auto fifo = temp_path("endless");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // the writer learns of the reader's refusal by EPIPE
  std::thread writer([&] {
    int fd = ::open(fifo.c_str(), O_WRONLY);
    const std::string chunk = "BZx9" + std::string(65532, 'x');
    for (int i = 0; i < 64 && ::write(fd, chunk.data(), chunk.size()) > 0; ++i) {}
    ::close(fd);
  });
  auto src = Source::open(fifo);
  writer.join();
  std::remove(fifo.c_str());
  ASSERT_FALSE(src.has_value());
  EXPECT_EQ(src.error().kind(), IoKind::InvalidData);
  EXPECT_EQ(src.error().display(), "input does not start with a bzip2 BZh1-BZh9 header");
  // Reported as the library's own error, as the decode would have.
  EXPECT_EQ(open_error(src.error()).tag(), Error::Tag::InvalidStreamHeader);
  EXPECT_EQ(open_error(IoError::from_errno(2)).tag(), Error::Tag::Io);

  // From a descriptor, as standard input is read. A byte that no header has
  // in its place refuses the stream at once; a stream that ends before a
  // whole header is left to the decode.
  const std::pair<std::string_view, bool> streams[] = {
      {"BZh0", false}, {"x", false}, {"BZ", true}, {"", true}, {"BZh1 and then any bytes", true}};
  for (auto [text, accepted] : streams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fds[1]);
    auto read = read_input(fds[0]);
    ::close(fds[0]);
    ASSERT_EQ(read.has_value(), accepted) << text;
    if (read) { EXPECT_EQ(std::string(read->begin(), read->end()), text); }
  }
}

// The bytes of a file, with a fresh mapping of it.
struct MappedFile {
  std::string path;
  Source source;
};

MappedFile mapped_file(const char* name, std::size_t pages) {
  std::string path = temp_path(name);
  { std::ofstream(path, std::ios::binary) << std::string(pages * 4096, 'm'); }
  auto source = Source::open(path);
  EXPECT_TRUE(source.has_value());
  return {path, std::move(*source)};
}

std::uint8_t read_byte(const Source& source, std::size_t at) {
  return *static_cast<const volatile std::uint8_t*>(source.data() + at);
}

// Another process may truncate a mapped input: the lost pages read as zeros
// instead of killing the process, and the source says it can no longer be trusted.
TEST(MappedInput, ATruncatedMappingReadsZerosAndReportsAnIoError) {
  MappedFile one = mapped_file("truncated", 4), other = mapped_file("kept", 4);
  EXPECT_TRUE(one.source.intact());
  ASSERT_EQ(truncate(one.path.c_str(), 4096 + 10), 0);
  EXPECT_EQ(read_byte(one.source, 4096 + 9), 'm');
  EXPECT_EQ(read_byte(one.source, 4096 + 10), 0);  // the rest of the last page is zeros, as ever
  EXPECT_EQ(read_byte(one.source, 2 * 4096), 0);  // a page past the end: a fault, answered with zeros
  EXPECT_EQ(read_byte(one.source, 3 * 4096), 0);
  auto lost = one.source.intact();
  ASSERT_FALSE(lost.has_value());
  EXPECT_EQ(lost.error().display(), "input file was truncated or became unreadable during the decode");
  EXPECT_EQ(lost.error().kind(), IoKind::Other);
  // Clones share the state; other mappings are untouched.
  Source clone = one.source;
  EXPECT_FALSE(clone.intact().has_value());
  EXPECT_EQ(read_byte(other.source, 3 * 4096), 'm');
  EXPECT_TRUE(other.source.intact());
  std::remove(one.path.c_str());
  std::remove(other.path.c_str());

  // Found without any read of the lost pages: a decode may stop on the zeros
  // of the last kept page before it reaches them.
  MappedFile unread = mapped_file("unread", 4);
  ASSERT_EQ(truncate(unread.path.c_str(), 100), 0);
  EXPECT_FALSE(unread.source.intact().has_value());
  std::remove(unread.path.c_str());
}

// The thread sanitizer takes the handler's replacing mmap for a plain write
// racing with the other threads' reads of those pages, which the kernel orders.
bool under_thread_sanitizer() {
#if defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  return false;
}

TEST(MappedInput, FaultsFromSeveralThreadsAtOnce) {
  if (under_thread_sanitizer()) GTEST_SKIP() << "the sanitizer does not model pages replaced by mmap";
  MappedFile file = mapped_file("threads", 64);
  ASSERT_EQ(truncate(file.path.c_str(), 0), 0);
  std::vector<std::thread> readers;
  std::atomic<int> zeros{0};
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      for (std::size_t page = t % 2; page < 64; page += 2) zeros += read_byte(file.source, page * 4096 + t) == 0;
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(zeros, 8 * 32);
  EXPECT_FALSE(file.source.intact().has_value());
  std::remove(file.path.c_str());
}

// Only faults inside the library's own mappings are answered; any other fault
// ends the process as it would have without the library.
// Under a sanitizer its own handler reports the fault and exits instead.
bool killed_by_bus_error(int status) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return status != 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return status != 0;
#endif
#endif
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
}

TEST(MappedInputDeathTest, OtherFaultsKeepTheirEffect) {
  MappedFile file = mapped_file("ours", 1);  // the handler is in place
  const std::string path = temp_path("foreign");
  { std::ofstream(path, std::ios::binary) << std::string(8192, 'f'); }
  int fd = ::open(path.c_str(), O_RDONLY);
  void* foreign = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(foreign, MAP_FAILED);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_EXIT((void)*static_cast<volatile std::uint8_t*>(foreign), killed_by_bus_error, "");
  EXPECT_EXIT(raise(SIGBUS), killed_by_bus_error, "");
  munmap(foreign, 8192);
  std::remove(path.c_str());
  std::remove(file.path.c_str());
}
