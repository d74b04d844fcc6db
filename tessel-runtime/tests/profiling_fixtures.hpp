#pragma once
// Fixture builders and failure printers shared by the profiling tests.

#include <catch2/catch.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tessel_compiler/schedule.hpp"
#include "tessel_package/memory_profile.hpp"
#include "tessel_package/profile.hpp"
#include "tessel_runtime/profiling/profile_records.hpp"

namespace Catch {
template <>
struct StringMaker<tessel_package::ProfileMetadata> {
  static std::string convert(const tessel_package::ProfileMetadata& entry) { return fmt::format("{}", entry); }
};
template <>
struct StringMaker<tessel_package::ProfileStepKind> {
  static std::string convert(tessel_package::ProfileStepKind kind) { return fmt::format("{}", kind); }
};
template <>
struct StringMaker<tessel_package::memory_profile::MemoryRegion> {
  static std::string convert(const tessel_package::memory_profile::MemoryRegion& region) {
    return fmt::format("{}", region);
  }
};
template <>
struct StringMaker<tessel_runtime::ProfileBoundary> {
  static std::string convert(const tessel_runtime::ProfileBoundary& boundary) {
    return fmt::format("{{ after_sync: {}, after_step: {} }}", boundary.after_sync, boundary.after_step);
  }
};
}  // namespace Catch

namespace profiling_fixtures {

using Entries = std::vector<tessel_package::ProfileMetadata>;

inline tessel_compiler::SpecializationKey kernel(std::string operation, std::vector<std::uint64_t> shape,
                                                 std::string role) {
  return tessel_compiler::SpecializationKey{.operation = std::move(operation),
                                            .shape = std::move(shape),
                                            .worker_count = 6,
                                            .role = std::move(role),
                                            .alignment = 8};
}

// A command of `tile` writing `output`, reading `inputs`.
inline tessel_compiler::KernelCommand command(std::uint16_t tile, std::uint64_t output,
                                              std::vector<std::uint64_t> inputs,
                                              tessel_compiler::SpecializationKey specialization,
                                              tessel_compiler::Metadata metadata = {}) {
  tessel_compiler::KernelCommand result{.tile = tile,
                                        .output = tessel_compiler::TensorId(output),
                                        .inputs = {},
                                        .arguments = {},
                                        .specialization = std::move(specialization),
                                        .metadata = std::move(metadata)};
  for (const auto input : inputs) result.inputs.emplace_back(input);
  return result;
}

inline tessel_compiler::Transfer transfer(std::uint16_t source, std::uint16_t destination, std::uint64_t tensor,
                                          std::uint32_t bytes, std::optional<std::uint32_t> staging = std::nullopt) {
  return tessel_compiler::Transfer{.source_tile = source,
                                   .destination_tile = destination,
                                   .tensor = tessel_compiler::TensorId(tensor),
                                   .bytes = bytes,
                                   .staging_address = staging};
}

inline tessel_compiler::Phase exchange(std::vector<tessel_compiler::Transfer> transfers = {}) {
  return tessel_compiler::Phase::Exchange{.transfers = std::move(transfers)};
}

inline tessel_compiler::Phase compute(std::uint64_t op, std::vector<tessel_compiler::KernelCommand> commands = {}) {
  return tessel_compiler::Phase::Compute{.op = tessel_compiler::OpId(op), .commands = std::move(commands)};
}

inline tessel_compiler::Schedule schedule(std::uint16_t tile_count, std::vector<tessel_compiler::Phase> phases) {
  tessel_compiler::Schedule result;
  result.tile_count = tile_count;
  result.phases = std::move(phases);
  return result;
}

}  // namespace profiling_fixtures
