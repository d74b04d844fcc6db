// Schedule::validate_allocations against a quadratic oracle on small random
// schedules: the tile and overflow tests in allocation order, then aliases
// backed by a containing home or alias of their source, then the lowest tile
// on which two live non-alias allocations share a byte. An overlap report
// must name a pair that really overlaps on that tile, the second of which
// was live first.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_compiler/allocation_validation.hpp"
#include "tessel_compiler/schedule.hpp"

namespace {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::LIVE_TO_END;
using tessel_compiler::Schedule;
using tessel_compiler::TensorId;

constexpr std::uint64_t TOP = std::uint64_t{1} << 32;

void require(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t end_of(const Allocation& a) { return std::uint64_t{a.address} + a.size; }
std::uint64_t saturated_end(const Allocation& a) { return std::min(end_of(a), TOP - 1); }
bool occupies(const Allocation& a) { return a.size > 0 && a.live_from < a.live_until; }
bool is_alias(const Allocation& a) { return a.kind.is<AllocationKind::HomeAlias>(); }

bool overlap(const Allocation& a, const Allocation& b) {
  return a.address < end_of(b) && b.address < end_of(a) && a.live_from < b.live_until && b.live_from < a.live_until;
}

std::string usage(const Schedule& schedule, TensorId tensor) {
  std::vector<std::string> entries;
  for (std::size_t phase = 0; phase < schedule.phases.size(); ++phase) {
    const auto* compute = schedule.phases[phase].get_if<tessel_compiler::Phase::Compute>();
    if (compute == nullptr) continue;
    for (const auto& command : compute->commands) {
      const bool uses = command.output == tensor ||
                        std::find(command.inputs.begin(), command.inputs.end(), tensor) != command.inputs.end();
      if (uses && entries.size() < 3) {
        entries.push_back(fmt::format("{}:{}:{}", phase, command.specialization.operation, command.specialization.role));
      }
    }
  }
  return fmt::format("{}", fmt::join(entries, ", "));
}

std::string memory(const std::string& reason) { return "SRAM allocation failed: " + reason; }

std::string overlap_message(const Schedule& schedule, const Allocation& a, const Allocation& b) {
  return memory(fmt::format(
      "live tensors {} ({:?}; {}) and {} ({:?}; {}) overlap on tile {}: 0x{:x}..0x{:x} at phases {}..{} and "
      "0x{:x}..0x{:x} at phases {}..{}",
      a.tensor.index, a.kind, usage(schedule, a.tensor), b.tensor.index, b.kind, usage(schedule, b.tensor), a.tile,
      a.address, end_of(a), a.live_from, a.live_until, b.address, end_of(b), b.live_from, b.live_until));
}

std::string alias_message(const Schedule& schedule, const Allocation& alias, TensorId source) {
  std::vector<std::string> local;
  std::vector<std::string> global;
  for (const Allocation& other : schedule.allocations) {
    if (other.tensor != source) continue;
    if (other.tile == alias.tile && other.kind.has_home_address()) {
      local.push_back(fmt::format("0x{:x}..0x{:x}@{}..{} {:?}", other.address, saturated_end(other), other.live_from,
                                  other.live_until, other.kind));
    }
    global.push_back(fmt::format("tile{}:0x{:x}..0x{:x}@{}..{} {:?}", other.tile, other.address, saturated_end(other),
                                 other.live_from, other.live_until, other.kind));
  }
  return memory(fmt::format(
      "tensor {} alias 0x{:x}..0x{:x}@{}..{} on tile {} is not backed by source tensor {} (local: {}; global: {})",
      alias.tensor.index, alias.address, end_of(alias), alias.live_from, alias.live_until, alias.tile, source.index,
      fmt::join(local, ", "), fmt::join(global, ", ")));
}

// The error of the per-allocation pass, in allocation order.
std::optional<std::string> first_allocation_error(const Schedule& schedule) {
  for (const Allocation& a : schedule.allocations) {
    if (a.tile >= schedule.tile_count) {
      return memory(fmt::format("tensor {} is allocated on tile {}, outside the {}-tile schedule", a.tensor.index,
                                a.tile, schedule.tile_count));
    }
    if (end_of(a) > TOP) {
      return memory(fmt::format("tensor {} allocation address overflows on tile {}", a.tensor.index, a.tile));
    }
    if (!occupies(a) || !is_alias(a)) continue;
    const TensorId source = a.kind.get_if<AllocationKind::HomeAlias>()->source;
    const bool backed = std::any_of(schedule.allocations.begin(), schedule.allocations.end(), [&](const Allocation& home) {
      return home.tensor == source && home.tile == a.tile && home.kind.has_home_address() && home.address <= a.address &&
             end_of(a) <= end_of(home) && home.live_from <= a.live_from && home.live_until >= a.live_until;
    });
    if (!backed) return alias_message(schedule, a, source);
  }
  return std::nullopt;
}

Allocation make_allocation(FuzzedDataProvider& input, std::uint16_t tile_count, bool near_top) {
  Allocation a;
  a.tensor = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5));
  a.tile = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, 15) == 0 ? tile_count
                                                                               : input.ConsumeIntegralInRange(0, tile_count - 1));
  const std::uint64_t base = near_top ? TOP - 256 : 0x1000;
  a.address = static_cast<std::uint32_t>(base + input.ConsumeIntegralInRange(0U, 15U) * 16U + input.ConsumeIntegralInRange(0U, 15U));
  a.size = input.ConsumeIntegralInRange(0, 15) == 0 ? 0 : input.ConsumeIntegralInRange<std::uint32_t>(1, 96);
  a.live_from = input.ConsumeIntegralInRange<std::uint64_t>(0, 6);
  a.live_until = input.ConsumeIntegralInRange(0, 7) == 0 ? LIVE_TO_END : input.ConsumeIntegralInRange<std::uint64_t>(0, 8);
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
    case 1: a.kind = AllocationKind::Home{}; break;
    case 2: a.kind = AllocationKind::HomeAlias{TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5))}; break;
    default: a.kind = AllocationKind::ExchangeStaging{input.ConsumeIntegralInRange<std::uint64_t>(0, 4)}; break;
  }
  return a;
}

// A few compute phases whose commands use the tensors, for the usage texts.
void add_phases(FuzzedDataProvider& input, Schedule& schedule) {
  const int phases = input.ConsumeIntegralInRange(0, 3);
  for (int p = 0; p < phases; ++p) {
    if (input.ConsumeBool()) {
      schedule.phases.emplace_back(tessel_compiler::Phase::Exchange{});
      continue;
    }
    tessel_compiler::Phase::Compute compute;
    const int commands = input.ConsumeIntegralInRange(0, 3);
    for (int c = 0; c < commands; ++c) {
      tessel_compiler::KernelCommand command;
      command.output = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5));
      command.inputs = {TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5))};
      command.specialization.operation = input.PickValueInArray({"add_f16", "gemm_f16_accumulate"});
      command.specialization.role = input.PickValueInArray({"", "inner"});
      compute.commands.push_back(std::move(command));
    }
    schedule.phases.emplace_back(std::move(compute));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Schedule schedule;
  schedule.tile_count = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(1, 3));
  const bool near_top = input.ConsumeIntegralInRange(0, 7) == 0;
  const int count = input.ConsumeIntegralInRange(0, 14);
  for (int i = 0; i < count; ++i) schedule.allocations.push_back(make_allocation(input, schedule.tile_count, near_top));
  add_phases(input, schedule);

  const auto result = schedule.validate_allocations();
  if (const auto expected = first_allocation_error(schedule)) {
    require(!result && fmt::format("{}", result.error()) == *expected);
    return 0;
  }

  // The lowest tile with an overlapping pair, and every message the sweep
  // may give for it.
  const auto& all = schedule.allocations;
  std::vector<std::string> reports;
  for (std::uint16_t tile = 0; tile < schedule.tile_count && reports.empty(); ++tile) {
    for (const Allocation& a : all) {
      for (const Allocation& b : all) {
        if (&a == &b || a.tile != tile || b.tile != tile) continue;
        if (!occupies(a) || !occupies(b) || is_alias(a) || is_alias(b) || !overlap(a, b)) continue;
        if (b.live_from <= a.live_from) reports.push_back(overlap_message(schedule, a, b));
      }
    }
  }
  if (reports.empty()) {
    require(result.has_value());
  } else {
    require(!result);
    require(std::find(reports.begin(), reports.end(), fmt::format("{}", result.error())) != reports.end());
  }
  return 0;
}
