#pragma once
// Profile records: the description of every measured step of a tile and the
// cycle samples the device writes for it.
//
// A tile's profile steps are numbered from 0 in execution order; a decoded
// `TileProfile` holds one `CycleSample` per step, in the same order. Values
// wider than 32 bits (step positions, phase and epoch indices) are stored as
// their low 32 bits.

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel/text.hpp"

namespace tessel_package {

// What a profile step measures; the numbers are the stored codes.
enum class ProfileStepKind : std::uint8_t {
  Exchange = 0,         // the data movement of one exchange epoch
  Compute = 1,          // one command, or all of a tile's commands of a compute phase
  Synchronization = 2,  // the synchronisation before one exchange epoch
  Idle = 3,             // a compute phase in which the tile runs no command
};

// One named annotation of a step. Values are always text: numbers in decimal,
// addresses as "0x" and lower-case hexadecimal, booleans "true" or "false".
struct ProfileMetadata {
  std::string name;   // key
  std::string value;  // value as text

  bool operator==(const ProfileMetadata&) const = default;
};

// One measured step of one tile.
struct ProfileStep {
  std::uint32_t local_index = 0;  // position in the tile's list of profile steps
  std::uint32_t phase = 0;        // schedule phase the step belongs to
  std::uint32_t epoch = 0;        // exchange epoch within the phase; 0 for compute and idle steps
  std::string operation;          // human-readable name of the step
  ProfileStepKind kind = ProfileStepKind::Compute;
  std::string kernel;                     // kernel name of compute steps; empty otherwise
  std::vector<ProfileMetadata> metadata;  // in the order added; names may repeat

  bool operator==(const ProfileStep&) const = default;
};

// One measured step with its two cycle-counter readings.
struct CycleSample {
  ProfileStep step;               // copy of the step that was measured
  std::uint32_t start_cycle = 0;  // device cycles when the step began
  std::uint32_t end_cycle = 0;    // device cycles when the step ended

  bool operator==(const CycleSample&) const = default;
};

struct TileProfile {
  std::uint32_t physical_tile = 0;   // physical tile number
  std::vector<CycleSample> samples;  // one per profile step, in step order

  bool operator==(const TileProfile&) const = default;
};

// The decoded profile of one run.
struct ProfileReport {
  std::uint64_t clock_hz = 0;      // device clock, hertz
  std::vector<TileProfile> tiles;  // in the order of the decoded layout's tiles

  bool operator==(const ProfileReport&) const = default;
};

}  // namespace tessel_package

// Debug text of a kind: its variant name ("Synchronization").
template <>
struct fmt::formatter<tessel_package::ProfileStepKind> : tessel::DebugFlagParser {
  fmt::format_context::iterator format(tessel_package::ProfileStepKind kind, fmt::format_context& context) const;
};

// Debug text of an entry: ProfileMetadata { name: "role", value: "activation" }.
template <>
struct fmt::formatter<tessel_package::ProfileMetadata> : tessel::DebugFlagParser {
  fmt::format_context::iterator format(const tessel_package::ProfileMetadata& entry,
                                       fmt::format_context& context) const;
};
