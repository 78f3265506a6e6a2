// The inverse Burrows-Wheeler transform.
//
// The block is one cycle through tt: each entry holds its byte and the index
// of the entry whose byte follows. Walking that cycle is a chain of dependent
// loads that miss the cache, one per byte, so a plain walk runs at memory
// latency. Instead the cycle is cut into segments at sampled entries (every
// kSampleSpacing-th index, a spread of places in output order) and walked
// by kLanes independent chains at once, which keeps kLanes misses in flight
// instead of one. Each lane writes the segments it walks one after another
// into a scratch region of its own and records each segment's length and
// successor; chaining the segments from the first gives each its place, and
// one copy per segment puts the bytes in order. Should a lane's region fill
// up (possible only for damaged data with huge segments), the walk is done
// again in two passes: one to measure the segments, one to write them in place.
#include <algorithm>
#include <cstring>
#include <vector>

#include "morvane/constants.hpp"
#include "morvane/decoder/stages.hpp"

namespace morvane::decoder::stages {
namespace {

// The entry of tt, the Burrows-Wheeler vector, in 32 bits:
//   bits 0..7    the entry's byte, written by the symbol stage (symbols.cpp);
//   bits 8..27   its link: the index of the entry whose byte follows it in
//                the block, added by link_entries below (a block has at most
//                900000 entries, which 20 bits hold);
//   bits 28..30  zero;
//   bit 31       the boundary: the entry's successor starts a segment of the
//                lane walk (a sampled entry, or the walk's first entry).
inline constexpr std::uint32_t kByteMask = 0xFF;
inline constexpr std::uint32_t kLinkShift = 8;
inline constexpr std::uint32_t kLinkBits = 20;
inline constexpr std::uint32_t kLinkMask = (1u << kLinkBits) - 1;
inline constexpr std::uint32_t kBoundary = 1u << 31;
static_assert(kMaxBlockSymbols <= kLinkMask);
static_assert(kLinkShift + kLinkBits <= 31);

inline constexpr std::uint32_t kSampleShift = 10;
inline constexpr std::uint32_t kSampleSpacing = 1u << kSampleShift;  // entries
inline constexpr unsigned kLanes = 8;
// Below this many entries the block is cache-resident; walk it plainly.
inline constexpr std::uint32_t kMinLaneWalk = 16 * kSampleSpacing * kLanes;

inline std::uint8_t byte_of(std::uint32_t entry) { return static_cast<std::uint8_t>(entry & kByteMask); }
inline std::uint32_t link(std::uint32_t entry) { return (entry >> kLinkShift) & kLinkMask; }

// Gives each entry, above its byte, the index of the entry that follows it,
// and the boundary bit when that one is sampled: entry i goes to the next free
// place of its byte's range. The text before the transform is full of runs,
// so consecutive entries usually bump the same counter, one store-to-load
// round trip each; four quarters of tt, each with counters of its own, run
// interleaved to overlap those round trips.
void link_entries(std::uint32_t* tt, std::uint32_t n) {
  constexpr unsigned kParts = 4;
  const std::uint32_t part = n / kParts;
  std::array<std::array<std::uint32_t, 256>, kParts> next{};
  // First the byte counts of each quarter (the last one with the tail),
  // interleaved for the same reason.
  for (std::uint32_t j = 0; j < part; ++j) {
    for (unsigned q = 0; q < kParts; ++q) ++next[q][byte_of(tt[q * part + j])];
  }
  for (std::uint32_t i = kParts * part; i < n; ++i) ++next[kParts - 1][byte_of(tt[i])];
  // Then where each quarter's entries of each byte begin.
  std::uint32_t at = 0;
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned q = 0; q < kParts; ++q) {
      const std::uint32_t count = next[q][b];
      next[q][b] = at;
      at += count;
    }
  }
  const auto place = [&](unsigned q, std::uint32_t i) {
    const std::uint32_t sampled = (i & (kSampleSpacing - 1)) == 0 ? kBoundary : 0;
    tt[next[q][byte_of(tt[i])]++] |= i << kLinkShift | sampled;
  };
  for (std::uint32_t j = 0; j < part; ++j) {
    for (unsigned q = 0; q < kParts; ++q) place(q, q * part + j);
  }
  for (std::uint32_t i = kParts * part; i < n; ++i) place(kParts - 1, i);  // the last quarter's tail
}

// The plain walk: n steps from the successor of `origin`.
void walk_plain(const std::uint32_t* tt, std::uint32_t n, std::uint32_t origin, std::uint8_t* out) {
  std::uint32_t t = link(tt[origin]);
  for (std::uint32_t j = 0; j < n; ++j) {
    const std::uint32_t entry = tt[t];
    out[j] = byte_of(entry);
    t = link(entry);
  }
}

// The segments: one per sampled entry (id = index / spacing) and, when the
// walk's first entry is not sampled, one more (id = `extra`) starting there.
struct Segments {
  std::uint32_t first;  // the walk's first entry
  std::uint32_t extra;  // id of the segment starting at `first` when it is not sampled
  std::uint32_t count;
  std::vector<std::uint32_t> length;
  std::vector<std::uint32_t> next;    // id of the following segment
  std::vector<std::uint32_t> source;  // where the lanes wrote it in the scratch
  std::vector<std::uint32_t> offset;  // place in the output

  std::uint32_t start(std::uint32_t id) const { return id == extra ? first : id << kSampleShift; }
  std::uint32_t id_of(std::uint32_t entry) const {
    return (entry & (kSampleSpacing - 1)) == 0 ? entry >> kSampleShift : extra;
  }
};

enum class Pass : std::uint8_t {
  Collect,  // bytes into the lanes' scratch regions, with lengths and successors
  Measure,  // lengths and successors only
  Place,    // bytes at the segments' known offsets
};

// Walks every segment to its end, kLanes at a time. Returns false when a
// lane's scratch region filled up (Collect only).
template <Pass kPass>
bool walk_segments(const std::uint32_t* tt, Segments& seg, std::uint8_t* out, std::size_t region) {
  struct Lane {
    std::uint32_t t;
    std::uint32_t id;
    std::uint32_t len;
    std::uint8_t* out;
    std::uint8_t* end;
  };
  std::uint32_t taken = 0;
  const auto begin = [&](Lane& lane) {
    const std::uint32_t id = taken++;
    lane.t = seg.start(id);
    lane.id = id;
    lane.len = 0;
    if constexpr (kPass == Pass::Place) lane.out = out + seg.offset[id];
  };
  bool full = false;
  // One step of a lane; true when it finished its segment (or filled its region).
  const auto step = [&](Lane& lane) {
    const std::uint32_t entry = tt[lane.t];
    lane.t = link(entry);
    if constexpr (kPass != Pass::Measure) *lane.out++ = byte_of(entry);
    ++lane.len;
    bool ends = (entry & kBoundary) != 0;
    if constexpr (kPass == Pass::Collect) ends |= lane.out == lane.end;
    if (!ends) [[likely]] return false;
    if constexpr (kPass == Pass::Collect) {
      if (!(entry & kBoundary)) {
        full = true;
        return true;
      }
      seg.source[lane.id] = static_cast<std::uint32_t>(lane.out - lane.len - out);
    }
    if constexpr (kPass != Pass::Place) {
      seg.length[lane.id] = lane.len;
      seg.next[lane.id] = seg.id_of(lane.t);
    }
    return true;
  };

  Lane lanes[kLanes];
  unsigned live = 0;
  while (live < kLanes && taken < seg.count) {
    if constexpr (kPass == Pass::Collect) {
      lanes[live].out = out + live * region;
      lanes[live].end = lanes[live].out + region;
    }
    begin(lanes[live++]);
  }
  // All lanes busy: each round issues kLanes independent loads.
  while (live == kLanes) {
    for (unsigned l = 0; l < kLanes; ++l) {
      if (step(lanes[l])) [[unlikely]] {
        if (full) return false;
        if (taken < seg.count) {
          begin(lanes[l]);
        } else {
          lanes[l] = lanes[--live];
          break;
        }
      }
    }
  }
  // The last few segments.
  while (live > 0) {
    for (unsigned l = 0; l < live;) {
      if (step(lanes[l])) {
        if (full) return false;
        lanes[l] = lanes[--live];
      } else {
        ++l;
      }
    }
  }
  return true;
}

// Gives each segment its offset, chaining them from the first. False unless
// they cover all n entries in one cycle (damaged data can link entries into
// several cycles, or leave some unreached).
bool place_segments(Segments& seg, std::uint32_t n) {
  const std::uint32_t head = seg.id_of(seg.first);
  std::uint64_t offset = 0;
  std::uint32_t id = head;
  for (std::uint32_t visited = 0; visited < seg.count; ++visited) {
    seg.offset[id] = static_cast<std::uint32_t>(offset);
    offset += seg.length[id];
    id = seg.next[id];
    if (id == head) break;
  }
  return id == head && offset == n;
}

}  // namespace

void inverse_transform(std::uint32_t* tt, std::uint32_t n, std::uint32_t origin,
                       std::uint8_t* out, std::span<std::uint8_t> scratch) {
  link_entries(tt, n);
  if (n < kMinLaneWalk) return walk_plain(tt, n, origin, out);

  Segments seg;
  seg.first = link(tt[origin]);
  tt[origin] |= kBoundary;  // the walk's first entry starts a segment too
  const std::uint32_t sampled = (n + kSampleSpacing - 1) >> kSampleShift;
  const bool first_sampled = (seg.first & (kSampleSpacing - 1)) == 0;
  seg.extra = first_sampled ? UINT32_MAX : sampled;
  seg.count = sampled + (first_sampled ? 0 : 1);
  seg.length.assign(seg.count, 0);
  seg.next.assign(seg.count, 0);
  seg.source.assign(seg.count, 0);
  seg.offset.assign(seg.count, 0);

  // Any other cycle than the one from the first entry means damaged data:
  // the plain walk then gives the bytes that such data asks for.
  const std::size_t region = scratch.size() / kLanes;
  if (region > 0 && walk_segments<Pass::Collect>(tt, seg, scratch.data(), region)) {
    if (!place_segments(seg, n)) return walk_plain(tt, n, origin, out);
    for (std::uint32_t id = 0; id < seg.count; ++id) {
      std::memcpy(out + seg.offset[id], scratch.data() + seg.source[id], seg.length[id]);
    }
    return;
  }
  walk_segments<Pass::Measure>(tt, seg, nullptr, 0);
  if (!place_segments(seg, n)) return walk_plain(tt, n, origin, out);
  walk_segments<Pass::Place>(tt, seg, out, 0);
}

}  // namespace morvane::decoder::stages
