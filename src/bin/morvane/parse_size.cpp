#include "parse_size.hpp"

#include <array>
#include <optional>
#include <utility>

#include "morvane/error.hpp"

namespace morvane::cli {
namespace {

struct Unit {
  std::string_view name;
  std::uint64_t multiplier;
};

// Every unit is a power of 1024; "k", "kb" and "kib" mean the same.
constexpr std::uint64_t kKiB = 1ULL << 10;
constexpr std::uint64_t kMiB = 1ULL << 20;
constexpr std::uint64_t kGiB = 1ULL << 30;
constexpr std::uint64_t kTiB = 1ULL << 40;
constexpr std::array<Unit, 14> kUnits = {{
    {"", 1}, {"b", 1},
    {"k", kKiB}, {"kb", kKiB}, {"kib", kKiB},
    {"m", kMiB}, {"mb", kMiB}, {"mib", kMiB},
    {"g", kGiB}, {"gb", kGiB}, {"gib", kGiB},
    {"t", kTiB}, {"tb", kTiB}, {"tib", kTiB},
}};

std::optional<std::uint64_t> multiplier(std::string_view unit) {
  std::string lower(unit);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const Unit& u : kUnits) {
    if (u.name == lower) return u.multiplier;
  }
  return std::nullopt;
}

}  // namespace

std::string size_argument(std::uint64_t bytes) {
  for (const auto& [letter, unit] : {std::pair{'T', kTiB}, std::pair{'G', kGiB}, std::pair{'M', kMiB}, std::pair{'K', kKiB}}) {
    if (bytes != 0 && bytes % unit == 0) return std::to_string(bytes / unit) + letter;
  }
  return std::to_string(bytes);
}

std::expected<std::uint64_t, std::string> parse_size(std::string_view text) {
  // The longest leading run of ASCII digits; a sign or a blank ends it.
  std::size_t digits = 0;
  std::uint64_t value = 0;
  bool too_large = false;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    auto d = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (UINT64_MAX - d) / 10) too_large = true;
    value = value * 10 + d;
    ++digits;
  }
  if (digits == 0 || too_large) return std::unexpected("invalid size " + debug_quote(text));
  auto unit = multiplier(text.substr(digits));
  if (!unit) return std::unexpected("invalid size suffix in " + debug_quote(text));
  if (value > UINT64_MAX / *unit) return std::unexpected("size " + debug_quote(text) + " overflows this platform");
  return value * *unit;
}

}  // namespace morvane::cli
