#include "morvane/error.hpp"

#include <cstdio>

namespace morvane {

std::string_view decode_error_message(DecodeError kind) {
  switch (kind) {
    case DecodeError::InvalidMagic: return "invalid bzip2 magic";
    case DecodeError::InvalidLevel: return "invalid bzip2 block size";
    case DecodeError::Truncated: return "unexpected end of bzip2 stream";
    case DecodeError::CrcMismatch: return "bzip2 CRC mismatch";
    case DecodeError::RandomizedBlock: return "legacy randomized bzip2 block not supported";
    case DecodeError::InvalidHuffman: return "invalid bzip2 Huffman table";
    case DecodeError::InvalidBlock: return "invalid bzip2 block structure";
    case DecodeError::BlockOverflow: return "bzip2 block exceeds its declared size";
  }
  return "unknown bzip2 decode error";
}

std::string_view decode_error_name(DecodeError kind) {
  switch (kind) {
    case DecodeError::InvalidMagic: return "InvalidMagic";
    case DecodeError::InvalidLevel: return "InvalidLevel";
    case DecodeError::Truncated: return "Truncated";
    case DecodeError::CrcMismatch: return "CrcMismatch";
    case DecodeError::RandomizedBlock: return "RandomizedBlock";
    case DecodeError::InvalidHuffman: return "InvalidHuffman";
    case DecodeError::InvalidBlock: return "InvalidBlock";
    case DecodeError::BlockOverflow: return "BlockOverflow";
  }
  return "Unknown";
}

namespace {

// One visitor out of several lambdas. The deduction guide is spelled out because
// clang before 17 does not deduce template arguments for aggregates by itself.
template <class... Fs> struct Overload : Fs... { using Fs::operator()...; };
template <class... Fs> Overload(Fs...) -> Overload<Fs...>;

std::string num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string_view Error::reason() const {
  if (auto* e = get_if<InvalidIndex>()) return e->reason;
  if (auto* e = get_if<InvalidConfiguration>()) return e->reason;
  return {};
}

std::string Error::display() const {
  return std::visit(
      Overload{
          [](const InvalidBitCount& e) { return "cannot read " + num(e.count) + " bits at once; maximum is 64"; },
          [](const InvalidBitOffset& e) {
            return "bit offset " + num(e.bit_offset) + " is beyond the " + num(e.len_bits) + "-bit input";
          },
          [](const UnexpectedEof& e) {
            return "unexpected end of input at bit " + num(e.bit_offset) + ": requested " + num(e.requested) +
                   " bits, " + num(e.remaining) + " remain";
          },
          [](const InvalidStreamHeader&) {
            return std::string("input does not start with a bzip2 BZh1-BZh9 header");
          },
          [](const Decode& e) {
            return "bzip2 decode error at bit " + num(e.bit_offset) + ": " +
                   std::string(decode_error_message(e.source));
          },
          [](const InvalidIndex& e) { return "invalid morvane index: " + e.reason; },
          [](const InvalidConfiguration& e) { return "invalid configuration: " + e.reason; },
          [](const Io& e) { return e.error.display(); },
      },
      value_);
}

std::string Error::debug() const {
  return std::visit(
      Overload{
          [](const InvalidBitCount& e) { return "InvalidBitCount(" + num(e.count) + ")"; },
          [](const InvalidBitOffset& e) {
            return "InvalidBitOffset { bit_offset: " + num(e.bit_offset) + ", len_bits: " + num(e.len_bits) + " }";
          },
          [](const UnexpectedEof& e) {
            return "UnexpectedEof { bit_offset: " + num(e.bit_offset) + ", requested: " + num(e.requested) +
                   ", remaining: " + num(e.remaining) + " }";
          },
          [](const InvalidStreamHeader&) { return std::string("InvalidStreamHeader"); },
          [](const Decode& e) {
            return "Decode { bit_offset: " + num(e.bit_offset) + ", source: " +
                   std::string(decode_error_name(e.source)) + " }";
          },
          [](const InvalidIndex& e) { return "InvalidIndex(" + debug_quote(e.reason) + ")"; },
          [](const InvalidConfiguration& e) { return "InvalidConfiguration(" + debug_quote(e.reason) + ")"; },
          [](const Io& e) { return "Io(" + e.error.debug() + ")"; },
      },
      value_);
}

Error::Cause Error::cause() const {
  if (auto* e = get_if<Decode>()) return e->source;
  if (auto* e = get_if<Io>()) return &e->error;
  return std::monostate{};
}

}  // namespace morvane
