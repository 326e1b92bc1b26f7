// Matching two builds of an x86-64 program for the address map of a patch.
//
// Both builds are compared with every address field zeroed, so that code
// which did not change but moved, or calls code that moved, reads the same
// in both. A greedy scan over the new build finds runs that equal a run of
// the old one: first where the last run's shift continues (the usual case
// after a changed instruction), else through a hash of the next 32 bytes.
// Code that changed in place between two runs takes the old addresses
// between the same runs. The runs become segments of addresses, split at
// section ends; runs in the symbols' string table become segments of its
// own addresses.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>

#include "tool_delta.h"

namespace VireoTool {
namespace {

using PeAddress::Layout;
using PeAddress::Segment;

constexpr std::size_t kWindow = 32;        // bytes hashed to find a run
// A shorter run is not worth a segment: in the code of two builds short runs
// are mostly chance, and one cuts the stretch between two real runs apart.
constexpr std::size_t kShortestRun = 64;
constexpr int kCandidates = 32;            // runs tried per position

std::string Masked(std::string_view image, const Layout& layout) {
  std::string masked(image);
  for (const PeAddress::Field& field : PeAddress::FindFields(image, layout, PeAddress::Form::kPlain)) {
    const std::size_t size = field.kind == PeAddress::FieldKind::kVa64 ? 8 : 4;
    std::fill_n(masked.begin() + field.offset, size, '\0');
  }
  return masked;
}

std::uint64_t WindowHash(const char* p) {
  std::uint64_t h = 0;
  for (std::size_t k = 0; k < kWindow; k += 8) {
    std::uint64_t v = 0;
    for (std::size_t b = 0; b < 8; ++b) v |= std::uint64_t{static_cast<unsigned char>(p[k + b])} << (8 * b);
    h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h;
}

bool Flat(const char* p) { return std::all_of(p, p + kWindow, [p](char c) { return c == p[0]; }); }

struct Run {
  std::size_t target = 0;  // file offset in the new build
  std::size_t base = 0;    // file offset in the old build
  std::size_t length = 0;
};

std::vector<Run> FindRuns(const std::string& base, const std::string& target) {
  std::vector<Run> runs;
  if (base.size() < kWindow || target.size() < kWindow) return runs;
  int bits = 10;
  while (bits < 24 && (std::size_t{1} << bits) < base.size()) ++bits;
  // Chains of the old build's positions by hash, 4 bytes a position (both
  // builds are under 4 GiB).
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  std::vector<std::uint32_t> head(std::size_t{1} << bits, kNone);
  std::vector<std::uint32_t> previous(base.size(), kNone);
  for (std::size_t j = 0; j + kWindow <= base.size(); ++j) {
    if (Flat(base.data() + j)) continue;
    const std::size_t bucket = WindowHash(base.data() + j) >> (64 - bits);
    previous[j] = head[bucket];
    head[bucket] = static_cast<std::uint32_t>(j);
  }
  const auto common = [&](std::size_t i, std::size_t j) {
    std::size_t n = 0;
    while (i + n < target.size() && j + n < base.size() && target[i + n] == base[j + n]) ++n;
    return n;
  };
  std::int64_t shift = 0;
  bool haveShift = false;
  std::size_t free = 0;  // the new build's bytes before this are in runs
  std::size_t i = 0;
  while (i + kWindow <= target.size()) {
    std::size_t bestLength = 0;
    std::size_t bestBase = 0;
    if (haveShift) {
      const std::int64_t j = static_cast<std::int64_t>(i) + shift;
      if (j >= 0 && static_cast<std::size_t>(j) < base.size()) {
        bestLength = common(i, static_cast<std::size_t>(j));
        bestBase = static_cast<std::size_t>(j);
      }
    }
    if (bestLength < kWindow && !Flat(target.data() + i)) {
      std::uint32_t j = head[WindowHash(target.data() + i) >> (64 - bits)];
      for (int tried = 0; j != kNone && tried < kCandidates; ++tried, j = previous[j]) {
        const std::size_t length = common(i, j);
        if (length > bestLength) {
          bestLength = length;
          bestBase = j;
        }
      }
    }
    if (bestLength < kShortestRun) {
      ++i;
      continue;
    }
    std::size_t back = 0;  // the run may begin before the position that found it
    while (i - back > free && bestBase - back > 0 && target[i - back - 1] == base[bestBase - back - 1]) ++back;
    runs.push_back({i - back, bestBase - back, bestLength + back});
    shift = static_cast<std::int64_t>(bestBase) - static_cast<std::int64_t>(i);
    haveShift = true;
    i += bestLength;
    free = i;
  }
  return runs;
}

// The stretches between consecutive runs (in the new build's order) that
// lie between the same runs in the old build as well: code that changed in
// place, an instruction or a function. Each takes the old stretch's
// addresses, its first half after the run before it and its second half
// before the run after it, so that references into it, and its own, still
// map where it kept its length.
std::vector<Run> Between(const std::vector<Run>& runs) {
  std::vector<Run> stretches;
  for (std::size_t k = 0; k + 1 < runs.size(); ++k) {
    const Run& before = runs[k];
    const Run& after = runs[k + 1];
    const std::size_t target = before.target + before.length;
    const std::size_t base = before.base + before.length;
    if (after.target <= target || after.base <= base) continue;
    const std::size_t shared = std::min(after.target - target, after.base - base);
    const std::size_t tail = shared / 2;
    stretches.push_back({target, base, shared - tail});
    if (tail > 0) stretches.push_back({after.target - tail, after.base - tail, tail});
  }
  return stretches;
}

void AddSegment(std::vector<Segment>* segments, std::uint64_t newStart, std::uint64_t length, std::uint64_t oldStart) {
  if (length == 0 || newStart + length > (std::uint64_t{1} << 32) || oldStart + length > (std::uint64_t{1} << 32))
    return;
  segments->push_back({static_cast<std::uint32_t>(newStart), static_cast<std::uint32_t>(length),
                       static_cast<std::uint32_t>(oldStart)});
}

// The parts of a build whose addresses the map gives: its sections, and its
// symbols' string table as one more, whose offsets are addresses from
// PeAddress::kStringSpace on.
Layout WithStrings(Layout layout) {
  const std::uint32_t size = std::min(layout.stringSize, PeAddress::kStringSpace);
  if (size != 0)
    layout.sections.push_back({"(strings)", PeAddress::kStringSpace, size, layout.stringOffset, size, false});
  return layout;
}

}  // namespace

std::vector<Segment> MatchBuilds(std::string_view base, std::string_view target) {
  Layout oldLayout;
  Layout newLayout;
  std::vector<Segment> segments;
  if (!PeAddress::ReadLayout(base, &oldLayout) || !PeAddress::ReadLayout(target, &newLayout)) return segments;
  const std::string oldMasked = Masked(base, oldLayout);
  const std::string newMasked = Masked(target, newLayout);
  const Layout oldRegions = WithStrings(oldLayout);
  const Layout newRegions = WithStrings(newLayout);

  const auto addRuns = [&](const std::vector<Run>& runs, std::vector<Segment>* into) {
    for (Run run : runs) {
      while (run.length > 0) {
        const PeAddress::Section* n = PeAddress::SectionHolding(newRegions, run.target, 1);
        const PeAddress::Section* o = PeAddress::SectionHolding(oldRegions, run.base, 1);
        if (!n || !o) {
          ++run.target, ++run.base, --run.length;
          continue;
        }
        const std::size_t chunk = std::min({run.length, std::size_t{n->fileOffset} + n->fileSize - run.target,
                                            std::size_t{o->fileOffset} + o->fileSize - run.base});
        AddSegment(into, std::uint64_t{n->rva} + (run.target - n->fileOffset), chunk,
                   std::uint64_t{o->rva} + (run.base - o->fileOffset));
        run.target += chunk, run.base += chunk, run.length -= chunk;
      }
    }
  };
  const std::vector<Run> runs = FindRuns(oldMasked, newMasked);
  addRuns(runs, &segments);
  std::vector<Segment> between;
  addRuns(Between(runs), &between);

  // The rest of each section corresponds to the same-named section of the
  // old build from the sections' starts: its uninitialised tail (.bss), and
  // tables whose bytes are addresses that moved (.idata).
  std::vector<Segment> fills;
  std::vector<Segment> placed(segments);
  placed.insert(placed.end(), between.begin(), between.end());
  std::sort(placed.begin(), placed.end(), [](const Segment& a, const Segment& b) { return a.newStart < b.newStart; });
  for (const PeAddress::Section& n : newRegions.sections) {
    const auto o = std::find_if(oldRegions.sections.begin(), oldRegions.sections.end(),
                                [&n](const PeAddress::Section& s) { return s.name == n.name; });
    if (o == oldRegions.sections.end()) continue;
    const std::uint64_t size = std::min(std::max(n.virtualSize, n.fileSize), std::max(o->virtualSize, o->fileSize));
    std::uint64_t at = n.rva;
    const std::uint64_t end = n.rva + size;
    auto next = std::lower_bound(placed.begin(), placed.end(), at, [](const Segment& s, std::uint64_t a) {
      return std::uint64_t{s.newStart} + s.length <= a;
    });
    while (at < end) {
      const std::uint64_t gapEnd = next == placed.end() ? end : std::min<std::uint64_t>(end, next->newStart);
      if (gapEnd > at) AddSegment(&fills, at, gapEnd - at, o->rva + (at - n.rva));
      if (next == placed.end()) break;
      at = std::max<std::uint64_t>(at, std::uint64_t{next->newStart} + next->length);
      ++next;
    }
  }

  // One new address for each old one, so that the applier can map back:
  // the old addresses that an earlier segment has are cut out of a later
  // one; the matched runs come first, then the stretches between them, then
  // the fills, each longer ones first.
  const auto longerFirst = [](const Segment& a, const Segment& b) { return a.length > b.length; };
  std::stable_sort(segments.begin(), segments.end(), longerFirst);
  std::stable_sort(between.begin(), between.end(), longerFirst);
  std::stable_sort(fills.begin(), fills.end(), longerFirst);
  segments.insert(segments.end(), between.begin(), between.end());
  segments.insert(segments.end(), fills.begin(), fills.end());
  std::map<std::uint64_t, std::uint64_t> taken;  // old start -> old end
  std::vector<Segment> kept;
  for (const Segment& s : segments) {
    const std::uint64_t oldEnd = std::uint64_t{s.oldStart} + s.length;
    std::uint64_t from = s.oldStart;
    auto it = taken.upper_bound(from);
    if (it != taken.begin() && std::prev(it)->second > from) from = std::prev(it)->second;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
    while (from < oldEnd) {
      const std::uint64_t to = it == taken.end() ? oldEnd : std::min<std::uint64_t>(oldEnd, it->first);
      if (to > from) pieces.emplace_back(from, to);
      if (it == taken.end()) break;
      from = std::max(from, it->second);
      ++it;
    }
    for (const auto& [begin, end] : pieces) {
      taken.emplace(begin, end);
      AddSegment(&kept, s.newStart + (begin - s.oldStart), end - begin, begin);
    }
  }

  // By address, none overlapping another, neighbours with one shift joined.
  std::sort(kept.begin(), kept.end(), [](const Segment& a, const Segment& b) { return a.newStart < b.newStart; });
  std::vector<Segment> joined;
  for (Segment s : kept) {
    if (!joined.empty()) {
      Segment& last = joined.back();
      const std::uint64_t lastEnd = std::uint64_t{last.newStart} + last.length;
      if (s.newStart < lastEnd) {  // trim the overlap off the later one
        const std::uint64_t cut = lastEnd - s.newStart;
        if (cut >= s.length) continue;
        s.newStart += static_cast<std::uint32_t>(cut), s.oldStart += static_cast<std::uint32_t>(cut);
        s.length -= static_cast<std::uint32_t>(cut);
      }
      if (s.newStart == lastEnd && std::uint64_t{s.oldStart} == std::uint64_t{last.oldStart} + last.length) {
        last.length += s.length;
        continue;
      }
    }
    joined.push_back(s);
  }
  return joined;
}

}  // namespace VireoTool
