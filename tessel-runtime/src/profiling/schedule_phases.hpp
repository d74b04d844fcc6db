#pragma once
// Bounds-checked access to the phases of a schedule, shared by the profile
// builders: a phase index past the end reads as no phase at all.

#include <cstdint>
#include <limits>

#include "tessel_compiler/schedule.hpp"

namespace tessel_runtime {

// Phase `phase` if it exists and is an exchange phase.
[[nodiscard]] inline const tessel_compiler::Phase::Exchange* exchange_phase(const tessel_compiler::Schedule& schedule,
                                                                            std::uint64_t phase) noexcept {
  return phase < schedule.phases.size() ? schedule.phases[phase].get_if<tessel_compiler::Phase::Exchange>() : nullptr;
}

// Phase `phase` if it exists and is a compute phase.
[[nodiscard]] inline const tessel_compiler::Phase::Compute* compute_phase(const tessel_compiler::Schedule& schedule,
                                                                          std::uint64_t phase) noexcept {
  return phase < schedule.phases.size() ? schedule.phases[phase].get_if<tessel_compiler::Phase::Compute>() : nullptr;
}

// The phase after `phase`; the largest index has none and stays where it is,
// which no schedule can hold.
[[nodiscard]] constexpr std::uint64_t next_phase(std::uint64_t phase) noexcept {
  return phase == std::numeric_limits<std::uint64_t>::max() ? phase : phase + 1;
}

// Positions, phases and epochs are stored in profile steps as their low 32 bits.
[[nodiscard]] constexpr std::uint32_t low_32_bits(std::uint64_t value) noexcept {
  return static_cast<std::uint32_t>(value & 0xFFFF'FFFFU);
}

}  // namespace tessel_runtime
