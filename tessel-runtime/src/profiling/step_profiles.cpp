#include "tessel_runtime/profiling/step_profiles.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessel/integer.hpp"

#include "tessel_runtime/profiling/profile_records.hpp"
#include "schedule_phases.hpp"

namespace tessel_runtime {

using tessel_compiler::KernelCommand;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::Schedule;
using tessel_compiler::Transfer;
using tessel_package::ProfileMetadata;
using tessel_package::ProfileStep;
using tessel_package::ProfileStepKind;

namespace {

std::string address_text(std::uint32_t address) { return fmt::format("{:#x}", address); }

// What an exchange epoch of one tile moves, and the command that follows it.
struct ExchangeView {
  std::vector<const Transfer*> sends;     // transfers the tile sends, in phase order
  std::vector<const Transfer*> receives;  // transfers the tile receives, in phase order
  const KernelCommand* next = nullptr;    // next compute command, if any
};

ExchangeView exchange_view(const Schedule& schedule, std::uint16_t tile, std::uint64_t phase) {
  ExchangeView view;
  if (const auto* exchange = exchange_phase(schedule, phase)) {
    for (const auto& transfer : exchange->transfers) {
      if (transfer.source_tile == tile) view.sends.push_back(&transfer);
      if (transfer.destination_tile == tile) view.receives.push_back(&transfer);
    }
  }
  if (const auto* compute = compute_phase(schedule, next_phase(phase)); compute && !compute->commands.empty()) {
    const auto own = std::ranges::find(compute->commands, tile, &KernelCommand::tile);
    view.next = own != compute->commands.end() ? &*own : &compute->commands.front();
  }
  return view;
}

std::uint64_t total_bytes(const std::vector<const Transfer*>& transfers) {
  std::uint64_t total = 0;
  for (const auto* transfer : transfers) total = tessel::saturating_add<std::uint64_t>(total, transfer->bytes);
  return total;
}

// The exchange step; `with_transfers` adds the per-transfer entries.
ProfileStep exchange_step(const Schedule& schedule, std::uint16_t tile, std::uint64_t local_index, std::uint64_t phase,
                          std::uint64_t epoch, bool active, bool with_transfers) {
  const ExchangeView view = exchange_view(schedule, tile, phase);
  ProfileStep step{
      .local_index = low_32_bits(local_index),
      .phase = low_32_bits(phase),
      .epoch = low_32_bits(epoch),
      .operation = view.next ? fmt::format("exchange for {} ({})", view.next->specialization.operation,
                                           view.next->specialization.role)
                             : fmt::format("exchange phase {}", phase),
      .kind = ProfileStepKind::Exchange,
      .kernel = {},
      .metadata = {},
  };
  auto& metadata = step.metadata;
  metadata.push_back(profile_metadata("active", active));
  metadata.push_back(profile_metadata("send_count", std::uint64_t{view.sends.size()}));
  metadata.push_back(profile_metadata("receive_count", std::uint64_t{view.receives.size()}));
  metadata.push_back(profile_metadata("send_bytes", total_bytes(view.sends)));
  metadata.push_back(profile_metadata("receive_bytes", total_bytes(view.receives)));
  if (with_transfers) {
    for (std::size_t i = 0; i < view.sends.size(); ++i) {
      const auto& send = *view.sends[i];
      metadata.push_back(profile_metadata(
          fmt::format("send_{}", i),
          fmt::format("tensor={},destination_tile={},bytes={}", send.tensor.index, send.destination_tile, send.bytes)));
    }
    for (std::size_t i = 0; i < view.receives.size(); ++i) {
      const auto& receive = *view.receives[i];
      metadata.push_back(profile_metadata(
          fmt::format("receive_{}", i),
          fmt::format("tensor={},source_tile={},bytes={}", receive.tensor.index, receive.source_tile, receive.bytes)));
    }
  }
  if (view.next) {
    metadata.push_back(profile_metadata("next_kernel", view.next->specialization.operation));
    metadata.push_back(profile_metadata("next_role", view.next->specialization.role));
    for (const auto& [key, value] : view.next->metadata) {
      if (key != "label") metadata.push_back(profile_metadata("next_" + key, value));
    }
  }
  return step;
}

bool kept_by_synchronization(const ProfileMetadata& entry) {
  return entry.name == "active" || entry.name == "next_kernel" || entry.name == "next_role" ||
         entry.name.starts_with("next_layer");
}

}  // namespace

std::string profile_shape_text(std::span<const std::uint64_t> shape) {
  return fmt::format("{}", fmt::join(shape, "x"));
}

ProfileStep compute_profile_step(std::uint64_t local_index, const LoweredComputeCommand& command) {
  const auto& key = command.specialization;
  const auto label = command.metadata.find("label");
  ProfileStep step{
      .local_index = low_32_bits(local_index),
      .phase = low_32_bits(command.phase),
      .epoch = 0,
      .operation = label != command.metadata.end() ? label->second
                   : key.role.empty()              ? key.operation
                                                   : fmt::format("{} ({})", key.operation, key.role),
      .kind = ProfileStepKind::Compute,
      .kernel = key.operation,
      .metadata = {},
  };
  auto& metadata = step.metadata;
  metadata.push_back(profile_metadata("role", key.role));
  metadata.push_back(profile_metadata("shape", profile_shape_text(key.shape)));
  metadata.push_back(profile_metadata("worker_count", key.worker_count));
  metadata.push_back(profile_metadata("alignment", key.alignment));
  metadata.push_back(profile_metadata("output_tensor", command.output.index));
  metadata.push_back(profile_metadata("output_address", address_text(command.output_address)));
  const std::size_t paired = std::min(command.inputs.size(), command.input_addresses.size());
  for (std::size_t i = 0; i < paired; ++i) {
    metadata.push_back(profile_metadata(fmt::format("input_{}_tensor", i), command.inputs[i].index));
    metadata.push_back(profile_metadata(fmt::format("input_{}_address", i), address_text(command.input_addresses[i])));
  }
  for (std::size_t i = 0; i < command.arguments.size(); ++i) {
    metadata.push_back(profile_metadata(fmt::format("argument_{}", i), command.arguments[i]));
  }
  for (const auto& [name, value] : command.metadata) metadata.push_back(profile_metadata(name, value));
  return step;
}

ProfileStep exchange_profile_step(const Schedule& schedule, std::uint16_t tile, std::uint64_t local_index,
                                  std::uint64_t phase, std::uint64_t epoch, bool active) {
  return exchange_step(schedule, tile, local_index, phase, epoch, active, true);
}

ProfileStep synchronization_profile_step(const Schedule& schedule, std::uint16_t tile, std::uint64_t local_index,
                                         std::uint64_t phase, std::uint64_t epoch, bool active) {
  // The per-transfer entries would be dropped below, so they are never built.
  ProfileStep step = exchange_step(schedule, tile, local_index, phase, epoch, active, false);
  step.operation = fmt::format("sync before {}", step.operation);
  std::erase_if(step.metadata, [](const ProfileMetadata& entry) { return !kept_by_synchronization(entry); });
  step.kind = ProfileStepKind::Synchronization;
  return step;
}

ProfileStep idle_compute_profile_step(const Schedule& schedule, std::uint64_t local_index, tessel_compiler::OpId op,
                                      std::uint64_t phase) {
  ProfileStep step{
      .local_index = low_32_bits(local_index),
      .phase = low_32_bits(phase),
      .epoch = 0,
      .operation = {},
      .kind = ProfileStepKind::Idle,
      .kernel = {},
      .metadata = {profile_metadata("active", false)},
  };
  const auto* compute = compute_phase(schedule, phase);
  if (!compute || compute->commands.empty()) {
    step.operation = fmt::format("idle compute op {}", op.index);
    return step;
  }
  const auto& commands = compute->commands;
  const auto& first = commands.front();
  step.operation = fmt::format("idle during {} ({})", first.specialization.operation, first.specialization.role);
  auto& metadata = step.metadata;
  metadata.push_back(profile_metadata("scheduled_kernel", first.specialization.operation));
  metadata.push_back(profile_metadata("scheduled_role", first.specialization.role));
  metadata.push_back(profile_metadata("scheduled_shape", profile_shape_text(first.specialization.shape)));
  for (const auto& entry : first.metadata) {
    if (entry.first == "label") continue;
    const bool shared = std::ranges::all_of(commands, [&entry](const KernelCommand& command) {
      const auto found = command.metadata.find(entry.first);
      return found != command.metadata.end() && found->second == entry.second;
    });
    if (shared) metadata.push_back(profile_metadata(entry.first, entry.second));
  }
  return step;
}

}  // namespace tessel_runtime
