#include "morvane/decode/options.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

#include "morvane/constants.hpp"
#include "morvane/decode/cpu_quota.hpp"

namespace morvane::decode {
namespace {

inline constexpr const char* kCgroupRoot = "/sys/fs/cgroup";

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::uint64_t> quota_limit(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) return std::nullopt;
  return std::max<std::uint64_t>(quota / period, 1);
}

// The CPUs of the affinity mask. The mask is sized for the largest CPU
// number the kernel knows, growing the buffer until the kernel accepts it.
std::optional<std::uint64_t> affinity_count() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    int rc = sched_getaffinity(0, size, set);
    int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    bool too_small = rc != 0 && errno == EINVAL;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::optional<std::uint64_t>(count) : std::nullopt;
    if (!too_small) return std::nullopt;
  }
  return std::nullopt;
}

// The smallest quota on the way from the process's cgroup up to the root of
// the mount: a limit set on a parent applies to its children as well, and in
// a container without its own cgroup namespace the listed path does not
// exist below the mount, which then holds the container's own limit.
template <class Read>
std::optional<std::uint64_t> smallest_on_path(const std::string& mount, std::string path, Read read_limit) {
  std::optional<std::uint64_t> best;
  for (;;) {
    if (auto limit = read_limit(mount + path)) best = best ? std::min(*best, *limit) : *limit;
    if (path.empty() || path == "/") return best;
    path.resize(path.rfind('/'));
  }
}

std::optional<std::uint64_t> read_v2(const std::string& dir) {
  auto text = read_file(dir + "/cpu.max");
  return text ? parse_cpu_max(*text) : std::nullopt;
}

std::optional<std::uint64_t> read_v1(const std::string& dir) {
  auto quota = read_file(dir + "/cpu.cfs_quota_us");
  auto period = read_file(dir + "/cpu.cfs_period_us");
  return quota && period ? parse_cfs_quota(*quota, *period) : std::nullopt;
}

std::optional<std::uint64_t> cgroup_limit() {
  auto listing = read_file("/proc/self/cgroup");
  if (!listing) return read_v2(kCgroupRoot);
  std::optional<std::uint64_t> best;
  auto keep = [&](std::optional<std::uint64_t> limit) {
    if (limit) best = best ? std::min(*best, *limit) : *limit;
  };
  std::istringstream lines(*listing);
  for (std::string line; std::getline(lines, line);) {
    // "<id>:<controllers>:<path>"; cgroup v2 is id 0 with no controllers.
    auto first = line.find(':');
    auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      keep(smallest_on_path(kCgroupRoot, path, read_v2));
      continue;
    }
    std::string list = "," + controllers + ",";
    if (list.find(",cpu,") == std::string::npos) continue;
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
      keep(smallest_on_path(mount, path, read_v1));
    }
  }
  return best;
}

}  // namespace

std::optional<std::uint64_t> parse_cpu_max(std::string_view text) {
  auto space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  auto quota = parse_u64(text.substr(0, space));  // "max" gives nothing: no limit
  auto period = parse_u64(text.substr(space + 1));
  if (!quota || !period) return std::nullopt;
  return quota_limit(*quota, *period);
}

std::optional<std::uint64_t> parse_cfs_quota(std::string_view quota_us, std::string_view period_us) {
  auto quota = parse_u64(quota_us);  // -1 (no limit) does not parse
  auto period = parse_u64(period_us);
  if (!quota || !period) return std::nullopt;
  return quota_limit(*quota, *period);
}

namespace {

// The cgroup limit takes a dozen file reads, more than a small decode costs,
// and changes seldom: it is read again at most once a second.
std::optional<std::uint64_t> recent_cgroup_limit() {
  using Clock = std::chrono::steady_clock;
  static std::atomic<std::int64_t> read_at{INT64_MIN};
  static std::atomic<std::uint64_t> cached{0};  // 0: no limit
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
  const std::int64_t last = read_at.load(std::memory_order_acquire);
  if (last != INT64_MIN && now - last < 1000) {
    const std::uint64_t limit = cached.load(std::memory_order_relaxed);
    return limit == 0 ? std::nullopt : std::optional<std::uint64_t>(limit);
  }
  const auto limit = cgroup_limit();
  cached.store(limit.value_or(0), std::memory_order_relaxed);
  read_at.store(now, std::memory_order_release);
  return limit;
}

}  // namespace

std::uint64_t available_parallelism() {
  auto cpus = affinity_count();
  auto quota = recent_cgroup_limit();
  if (cpus && quota) return std::min(*cpus, *quota);
  return cpus.value_or(quota.value_or(1));
}

std::uint64_t DecodeOptions::resolved_threads() const {
  return threads != 0 ? threads : available_parallelism();
}

Result<void> check_options(const DecodeOptions& options) {
  if (options.memory_limit < MAX_BLOCK_OUTPUT) {
    return fail(Error::invalid_configuration("memory limit must be at least " + std::to_string(MAX_BLOCK_OUTPUT) +
                                             " bytes"));
  }
  return {};
}

}  // namespace morvane::decode
