// The size syntax of --memory-limit and --max-output: decimal digits and an
// optional binary unit ("1G", "512kib", "7b").
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace morvane::cli {

// The size in bytes, or the usage message that quotes the whole value.
std::expected<std::uint64_t, std::string> parse_size(std::string_view text);

// The shortest text parse_size reads as `bytes`: the count in the largest unit
// that divides it exactly, "1G" for 1 GiB, "512M", "7".
std::string size_argument(std::uint64_t bytes);

}  // namespace morvane::cli
