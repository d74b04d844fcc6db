#pragma once
// The schedule: the whole-machine compiled plan of phases, transfers, kernel
// commands and tile-memory allocations.
//
// Phase numbers are positions in `Schedule::phases`, counted from 0. Tiles
// are logical tiles, 0 to `tile_count` - 1.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "tessel/expected.hpp"
#include "tessel_compiler/error.hpp"
#include "tessel_compiler/ids.hpp"
#include "tessel_compiler/program.hpp"

namespace tessel_compiler {

// `live_until` of an allocation that lives to the end of the program.
inline constexpr std::uint64_t LIVE_TO_END = std::numeric_limits<std::uint64_t>::max();

enum class Sharding : std::uint8_t { Replicated = 0, Rows = 1, Columns = 2, Heads = 3 };

// How a tensor is distributed over tiles. Carried along, not read here.
struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;  // tiles holding a part or copy
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 0;  // bytes

  bool operator==(const Layout&) const = default;
};

struct Transfer {
  std::uint16_t source_tile = 0;       // sending tile
  std::uint16_t destination_tile = 0;  // receiving tile
  TensorId tensor;                     // tensor whose data moves
  std::uint32_t bytes = 0;             // bytes moved
  std::optional<std::uint32_t> staging_address;  // staging buffer address on the destination

  bool operator==(const Transfer&) const = default;
};

// A kernel invocation before lowering; addresses come from the allocations.
struct KernelCommand {
  std::uint16_t tile = 0;  // tile that runs it
  TensorId output;
  std::vector<TensorId> inputs;         // in operand order
  std::vector<std::uint32_t> arguments;  // scalar operands
  SpecializationKey specialization;
  Metadata metadata;  // "label", "output_block_row", "output_block_column", ...

  bool operator==(const KernelCommand&) const = default;
};

struct Phase {
  struct Exchange {
    std::vector<Transfer> transfers;
    bool operator==(const Exchange&) const = default;
  };
  struct Compute {
    OpId op;                              // graph operation (part of which) the phase runs
    std::vector<KernelCommand> commands;  // each names its tile
    bool operator==(const Compute&) const = default;
  };

  using Value = std::variant<Exchange, Compute>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  Phase(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }
  template <class V>
  [[nodiscard]] V* get_if() noexcept {
    return std::get_if<V>(&value);
  }

  bool operator==(const Phase&) const = default;
};

struct AllocationKind {
  // The tensor's own storage on the tile.
  struct Home {
    bool operator==(const Home&) const = default;
  };
  // The bytes lie inside the storage of tensor `source` on the same tile.
  struct HomeAlias {
    TensorId source;
    bool operator==(const HomeAlias&) const = default;
  };
  // A buffer into which exchange phase `phase` delivers the tensor.
  struct ExchangeStaging {
    std::uint64_t phase = 0;
    bool operator==(const ExchangeStaging&) const = default;
  };

  using Value = std::variant<Home, HomeAlias, ExchangeStaging>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  AllocationKind(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)
  AllocationKind() : value(Home{}) {}

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }
  template <class V>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<V>(value);
  }

  // True for `Home` and `HomeAlias`.
  [[nodiscard]] bool has_home_address() const noexcept { return !is<ExchangeStaging>(); }

  bool operator==(const AllocationKind&) const = default;
};

// A byte range [address, address + size) of one tile's memory holding one
// tensor during phases [live_from, live_until). An allocation of size 0 or
// with live_from >= live_until occupies nothing.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;         // logical tile
  std::uint32_t address = 0;      // first byte address
  std::uint32_t size = 0;         // bytes
  std::uint64_t live_from = 0;    // first phase in use
  std::uint64_t live_until = 0;   // first phase free again; LIVE_TO_END for never
  AllocationKind kind;

  bool operator==(const Allocation&) const = default;
};

struct Schedule {
  std::vector<Layout> layouts;          // carried along, not read
  std::vector<Phase> phases;            // in execution order
  std::vector<Allocation> allocations;  // in no required order; position breaks ties
  std::uint16_t tile_count = 0;         // valid tiles are 0 to tile_count - 1
  std::map<std::uint16_t, std::uint32_t> peak_sram;  // bytes per tile; carried along, not read

  // Checks the whole memory plan: tiles, address overflow, unbacked aliases
  // and overlapping live allocations. Returns the first problem found.
  [[nodiscard]] tessel::Expected<void, CompileError> validate_allocations() const;

  bool operator==(const Schedule&) const = default;
};

enum class MemoryPlacement : std::uint8_t { Low = 0, High = 1 };

// An address range [base, limit) in which the allocator may place data.
struct MemoryArena {
  std::uint32_t base = 0;   // first usable address
  std::uint32_t limit = 0;  // first address past the arena
  MemoryPlacement placement = MemoryPlacement::Low;

  [[nodiscard]] static constexpr MemoryArena low(std::uint32_t base, std::uint32_t limit) noexcept {
    return MemoryArena{base, limit, MemoryPlacement::Low};
  }

  bool operator==(const MemoryArena&) const = default;
};

// The parameters of one placement inside one arena.
struct MemoryConstraint {
  std::uint32_t base = 0;       // first usable address
  std::uint32_t limit = 0;      // first address past the usable range
  std::uint32_t alignment = 1;  // required alignment of the result, a power of two
  MemoryPlacement placement = MemoryPlacement::Low;

  bool operator==(const MemoryConstraint&) const = default;
};

}  // namespace tessel_compiler

// Debug texts: "Home", "HomeAlias { source: TensorId(3) }",
// "ExchangeStaging { phase: 2 }".
template <>
struct fmt::formatter<tessel_compiler::AllocationKind> : tessel::DebugFlagParser {
  fmt::format_context::iterator format(const tessel_compiler::AllocationKind& kind, fmt::format_context& context) const;
};
