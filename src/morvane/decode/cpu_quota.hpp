// The readers of the cgroup CPU quota files, which cap available_parallelism.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane::decode {

// The CPU limit of one cgroup quota file: cgroup v2 "cpu.max" text
// ("<quota> <period>" or "max <period>"), or the two cgroup v1 values.
// Nothing when unlimited or unreadable.
std::optional<std::uint64_t> parse_cpu_max(std::string_view text);
std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota_us, std::string_view period_us);

}  // namespace morvane::decode
