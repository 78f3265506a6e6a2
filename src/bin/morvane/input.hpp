// The bytes of one input: a named file mapped through Source, or all of
// standard input read into memory for "-".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "morvane/error.hpp"
#include "morvane/source.hpp"

namespace morvane::cli {

inline constexpr std::string_view kStdinArgument = "-";
inline constexpr std::string_view kStdinName = "stdin";

struct Input {
  Source source;
  std::string name;  // shown on the progress line: the argument, or "stdin"

  std::span<const std::uint8_t> bytes() const { return source.bytes(); }

};

// Opens a named input with Source::open; a failure is Error::Io, or the
// InvalidStreamHeader of an input that cannot be mapped and does not begin as
// bzip2 does.
Result<Input> open_input(const std::string& path);

// "-" reads standard input to its end (refused as soon as its first bytes
// cannot begin a stream header); anything else is opened by name.
Result<Input> load_input(const std::string& argument);

}  // namespace morvane::cli
