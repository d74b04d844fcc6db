#include "tessel_compiler/allocation_validation.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tessel/integer.hpp"

namespace tessel_compiler {
namespace {

constexpr std::size_t MAX_USAGE_ENTRIES = 3;

// Positions of the allocations with a home address, keyed by (tensor, tile),
// for the keys that some alias names as its source. Sorted by key, then
// position, so each key's positions are consecutive and in allocation order.
class HomeIndex {
 public:
  explicit HomeIndex(const std::vector<Allocation>& allocations) {
    std::vector<Key> sources;
    for (const Allocation& allocation : allocations) {
      if (const auto* alias = allocation.kind.get_if<AllocationKind::HomeAlias>()) {
        sources.push_back({alias->source.index, allocation.tile});
      }
    }
    if (sources.empty()) return;
    std::ranges::sort(sources);
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    for (std::size_t position = 0; position < allocations.size(); ++position) {
      const Allocation& allocation = allocations[position];
      const Key key{allocation.tensor.index, allocation.tile};
      if (allocation.kind.has_home_address() && std::ranges::binary_search(sources, key)) {
        entries_.push_back({key, position});
      }
    }
    std::ranges::sort(entries_);
  }

  // Positions of the home-address allocations of `source` on `tile`, in
  // allocation order. Only defined for sources that some alias names.
  template <class Visit>
  void for_each(TensorId source, std::uint16_t tile, Visit visit) const {
    const Key key{source.index, tile};
    auto it = std::ranges::lower_bound(entries_, std::pair{key, std::size_t{0}});
    for (; it != entries_.end() && it->first == key; ++it) {
      if (!visit(it->second)) return;
    }
  }

 private:
  using Key = std::pair<std::uint64_t, std::uint16_t>;  // tensor index, tile
  std::vector<std::pair<Key, std::size_t>> entries_;
};

// Ends of allocations are compared exactly: an allocation may end at 2^32,
// just past the last byte address.
constexpr std::uint64_t ADDRESS_SPACE_END = std::uint64_t{1} << 32;

std::uint64_t end_of(const Allocation& allocation) { return std::uint64_t{allocation.address} + allocation.size; }

// The end as the alias lists show it, saturating at 2^32 - 1.
std::uint32_t saturated_end(const Allocation& allocation) {
  return tessel::saturating_add(allocation.address, allocation.size);
}

bool contains(const Allocation& outer, const Allocation& inner) {
  return outer.address <= inner.address && end_of(inner) <= end_of(outer) && outer.live_from <= inner.live_from &&
         outer.live_until >= inner.live_until;
}

tessel::Unexpected<CompileError> unbacked_alias(const Schedule& schedule, const HomeIndex& homes,
                                                const Allocation& alias, TensorId source) {
  std::vector<std::string> local;
  homes.for_each(source, alias.tile, [&](std::size_t position) {
    const Allocation& home = schedule.allocations[position];
    local.push_back(fmt::format("0x{:x}..0x{:x}@{}..{} {:?}", home.address, saturated_end(home), home.live_from,
                                home.live_until, home.kind));
    return true;
  });
  std::vector<std::string> global;
  for (const Allocation& other : schedule.allocations) {
    if (other.tensor != source) continue;
    global.push_back(fmt::format("tile{}:0x{:x}..0x{:x}@{}..{} {:?}", other.tile, other.address, saturated_end(other),
                                 other.live_from, other.live_until, other.kind));
  }
  return tessel::unexpected(CompileError::memory(fmt::format(
      "tensor {} alias 0x{:x}..0x{:x}@{}..{} on tile {} is not backed by source tensor {} (local: {}; global: {})",
      alias.tensor.index, alias.address, end_of(alias), alias.live_from, alias.live_until, alias.tile, source.index,
      fmt::join(local, ", "), fmt::join(global, ", "))));
}

tessel::Unexpected<CompileError> overlap(const Schedule& schedule, const Allocation& a, const Allocation& b) {
  return tessel::unexpected(CompileError::memory(fmt::format(
      "live tensors {} ({:?}; {}) and {} ({:?}; {}) overlap on tile {}: 0x{:x}..0x{:x} at phases {}..{} and "
      "0x{:x}..0x{:x} at phases {}..{}",
      a.tensor.index, a.kind, tensor_usage_text(schedule, a.tensor), b.tensor.index, b.kind,
      tensor_usage_text(schedule, b.tensor), a.tile, a.address, end_of(a), a.live_from, a.live_until, b.address,
      end_of(b), b.live_from, b.live_until)));
}

struct Event {
  std::uint64_t phase = 0;
  bool starts = false;  // false sorts first: ends before starts at equal phase
  std::size_t position = 0;
  auto operator<=>(const Event&) const = default;
};

// Sweeps the allocations of one tile (positions into the schedule) over time.
tessel::Expected<void, CompileError> sweep_tile(const Schedule& schedule, const std::vector<std::size_t>& positions,
                                                std::vector<Event>& events) {
  const auto& allocations = schedule.allocations;
  events.clear();
  for (const std::size_t position : positions) {
    const Allocation& allocation = allocations[position];
    events.push_back({allocation.live_from, true, position});
    if (allocation.live_until != LIVE_TO_END) events.push_back({allocation.live_until, false, position});
  }
  std::ranges::sort(events);

  // Active allocations keyed by (address, position); they never overlap.
  std::set<std::pair<std::uint32_t, std::size_t>> active;
  for (const Event& event : events) {
    const Allocation& a = allocations[event.position];
    const std::pair key{a.address, event.position};
    if (!event.starts) {
      active.erase(key);
      continue;
    }
    const auto next = active.upper_bound(key);
    if (next != active.begin()) {
      const Allocation& previous = allocations[std::prev(next)->second];
      if (end_of(previous) > a.address) return overlap(schedule, a, previous);
    }
    if (next != active.end()) {
      const Allocation& following = allocations[next->second];
      if (following.address < end_of(a)) return overlap(schedule, a, following);
    }
    active.insert(next, key);
  }
  return {};
}

}  // namespace

std::string tensor_usage_text(const Schedule& schedule, TensorId tensor) {
  std::vector<std::string> entries;
  for (std::size_t phase = 0; phase < schedule.phases.size() && entries.size() < MAX_USAGE_ENTRIES; ++phase) {
    const auto* compute = schedule.phases[phase].get_if<Phase::Compute>();
    if (compute == nullptr) continue;
    for (const KernelCommand& command : compute->commands) {
      if (entries.size() == MAX_USAGE_ENTRIES) break;
      if (command.output != tensor && std::ranges::find(command.inputs, tensor) == command.inputs.end()) continue;
      entries.push_back(fmt::format("{}:{}:{}", phase, command.specialization.operation, command.specialization.role));
    }
  }
  return fmt::format("{}", fmt::join(entries, ", "));
}

tessel::Expected<void, CompileError> Schedule::validate_allocations() const {
  const HomeIndex homes(allocations);

  std::vector<std::vector<std::size_t>> tiles(tile_count);
  for (std::size_t position = 0; position < allocations.size(); ++position) {
    const Allocation& allocation = allocations[position];
    if (allocation.tile >= tile_count) {
      return tessel::unexpected(
          CompileError::memory(fmt::format("tensor {} is allocated on tile {}, outside the {}-tile schedule",
                                           allocation.tensor.index, allocation.tile, tile_count)));
    }
    if (end_of(allocation) > ADDRESS_SPACE_END) {
      return tessel::unexpected(CompileError::memory(
          fmt::format("tensor {} allocation address overflows on tile {}", allocation.tensor.index, allocation.tile)));
    }
    if (allocation.size == 0 || allocation.live_from >= allocation.live_until) continue;
    if (const auto* alias = allocation.kind.get_if<AllocationKind::HomeAlias>()) {
      bool backed = false;
      homes.for_each(alias->source, allocation.tile, [&](std::size_t candidate) {
        backed = contains(allocations[candidate], allocation);
        return !backed;
      });
      if (!backed) return unbacked_alias(*this, homes, allocation, alias->source);
      continue;
    }
    tiles[allocation.tile].push_back(position);
  }

  std::vector<Event> events;
  for (const auto& positions : tiles) {
    TESSEL_TRY_VOID(sweep_tile(*this, positions, events));
  }
  return {};
}

}  // namespace tessel_compiler
