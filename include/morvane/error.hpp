// The library's error value and the kinds of bzip2 decode failure. Errors are
// created where a failure is found and passed up unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "morvane/io_error.hpp"

namespace morvane {

enum class DecodeError : std::uint8_t {
  InvalidMagic = 0,
  InvalidLevel = 1,
  Truncated = 2,
  CrcMismatch = 3,
  RandomizedBlock = 4,
  InvalidHuffman = 5,
  InvalidBlock = 6,
  BlockOverflow = 7,
};

// "invalid bzip2 magic", ...: the display of a kind.
std::string_view decode_error_message(DecodeError kind);
// "InvalidMagic", ...: the debug form of a kind.
std::string_view decode_error_name(DecodeError kind);

// A value: copies are independent, and a const Error may be read from any
// number of threads at once.
class Error {
 public:
  struct InvalidBitCount { std::uint8_t count; };
  struct InvalidBitOffset { std::uint64_t bit_offset; std::uint64_t len_bits; };
  struct UnexpectedEof { std::uint64_t bit_offset; std::uint64_t requested; std::uint64_t remaining; };
  struct InvalidStreamHeader {};
  struct Decode { std::uint64_t bit_offset; DecodeError source; };
  struct InvalidIndex { std::string reason; };
  struct InvalidConfiguration { std::string reason; };
  struct Io { IoError error; };

  // The variants in their fixed order; the tag is the index.
  using Value = std::variant<InvalidBitCount, InvalidBitOffset, UnexpectedEof, InvalidStreamHeader,
                             Decode, InvalidIndex, InvalidConfiguration, Io>;
  enum class Tag : std::uint8_t {
    InvalidBitCount, InvalidBitOffset, UnexpectedEof, InvalidStreamHeader,
    Decode, InvalidIndex, InvalidConfiguration, Io,
  };

  Error(Value value) : value_(std::move(value)) {}  // NOLINT: implicit from a variant

  static Error decode(std::uint64_t bit_offset, DecodeError kind) { return Error(Decode{bit_offset, kind}); }
  static Error invalid_index(std::string reason) { return Error(InvalidIndex{std::move(reason)}); }
  static Error invalid_configuration(std::string reason) {
    return Error(InvalidConfiguration{std::move(reason)});
  }
  static Error io(IoError error) { return Error(Io{std::move(error)}); }
  static Error invalid_stream_header() { return Error(InvalidStreamHeader{}); }

  Tag tag() const { return static_cast<Tag>(value_.index()); }
  const Value& value() const { return value_; }
  template <class T> const T* get_if() const { return std::get_if<T>(&value_); }

  // The bare reason of InvalidIndex and InvalidConfiguration, else empty.
  std::string_view reason() const;

  // The message: "bzip2 decode error at bit 32: bzip2 CRC mismatch", ...
  std::string display() const;
  // The structural form: Decode { bit_offset: 32, source: CrcMismatch }, ...
  std::string debug() const;

  // The cause: the DecodeError of Decode, the I/O error of Io, else nothing.
  using Cause = std::variant<std::monostate, DecodeError, const IoError*>;
  Cause cause() const;

  friend bool operator==(const Error& a, const Error& b) { return a.display() == b.display() && a.tag() == b.tag(); }

 private:
  Value value_;
};

template <class T>
using Result = std::expected<T, Error>;

// Shorthand for returning a failure: `return fail(Error::decode(...));`
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// The quoted, escaped form of a string: double quotes around it; \" \\ \n \r
// \t \0 escaped and other control characters as \u{1b}.
std::string debug_quote(std::string_view text);

}  // namespace morvane
