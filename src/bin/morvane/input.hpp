// The bytes of one input: a named file mapped through Source, or all of
// standard input read into memory for "-".
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "morvane/error.hpp"
#include "morvane/io_error.hpp"
#include "morvane/source.hpp"
#include "morvane/writer.hpp"

namespace morvane::cli {

inline constexpr std::string_view kStdinArgument = "-";
inline constexpr std::string_view kStdinName = "stdin";

struct Input {
  Source source;
  std::string name;  // shown on the progress line: the argument, or "stdin"

  std::span<const std::uint8_t> bytes() const { return source.bytes(); }

  // `result`, computed from the bytes, unless the mapped file lost pages
  // meanwhile: then the I/O error that says so, whatever the decode made of
  // the zeros in their place.
  template <class T>
  Result<T> checked(Result<T> result) const {
    if (auto intact = source.intact(); !intact) return fail(Error::io(std::move(intact.error())));
    return result;
  }
};

// Passes blocks on to `inner` only while the input is intact, so no block
// decoded from a mapping that lost pages reaches the destination.
template <Writer W>
class IntactInputWriter {
 public:
  IntactInputWriter(const Input& input, W& inner) : input_(input), inner_(inner) {}
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) {
    if (auto intact = input_.source.intact(); !intact) return intact;
    return inner_.write_all(bytes);
  }
  std::expected<void, IoError> flush() { return inner_.flush(); }

 private:
  const Input& input_;
  W& inner_;
};

// Opens a named input with Source::open; a failure is Error::Io, or the
// InvalidStreamHeader of an input that cannot be mapped and does not begin as
// bzip2 does.
Result<Input> open_input(const std::string& path);

// "-" reads standard input to its end (refused as soon as its first bytes
// cannot begin a stream header); anything else is opened by name.
Result<Input> load_input(const std::string& argument);

}  // namespace morvane::cli
