// Checks of the siglip module: GEMM output block widths and the deferral of
// a terminal residual addition into the following LayerNorm.
#include <utility>

#include "tessel_checks/check.hpp"
#include "tessel_checks/siglip_fixtures.hpp"
#include "tessel_exchange/instruction.hpp"
#include "tessel_runtime/siglip/gemm_output_blocks.hpp"
#include "tessel_runtime/siglip/residual_deferral.hpp"

namespace tessel_runtime::siglip::tests {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::GemmDataType;
using tessel_compiler::KernelCommand;
using tessel_compiler::OpId;
using tessel_compiler::Phase;
using tessel_compiler::Schedule;
using tessel_compiler::TensorId;

KernelCommand command(std::string operation, std::uint64_t output, const std::vector<std::uint64_t>& inputs) {
  KernelCommand built;
  built.tile = 0;
  built.output = TensorId(output);
  for (const std::uint64_t input : inputs) built.inputs.emplace_back(input);
  built.arguments = {1, 16, 1};
  built.specialization = {.operation = std::move(operation), .shape = {1, 16}, .worker_count = 6, .role = "",
                          .alignment = 8};
  return built;
}

void automatic_output_blocks_respect_weight_transfer_capacity() {
  const GemmDataType data_type = GemmDataType::F16{};
  const std::uint16_t width = choose_gemm_output_block_columns(4096, 18, 128, 1152, 1472, data_type, 0).value();
  const std::uint32_t bytes = std::uint32_t{width} * 128 * data_type.weight_element_bytes();
  TESSEL_CHECK(bytes <= tessel_exchange::MAX_TRANSFER_WORDS * 4);
  TESSEL_CHECK(!choose_gemm_output_block_columns(4096, 18, 128, 1152, 1472, data_type, 128).has_value());
}

void terminal_residual_add_fuses_into_following_layer_norm() {
  Schedule schedule;
  schedule.tile_count = 1;
  for (std::uint64_t tensor = 1; tensor <= 4; ++tensor) {
    schedule.allocations.push_back(Allocation{.tensor = TensorId(tensor),
                                              .tile = 0,
                                              .address = static_cast<std::uint32_t>(0x60000 + 256 * tensor),
                                              .size = 32,
                                              .live_from = 0,
                                              .live_until = tessel_compiler::LIVE_TO_END,
                                              .kind = AllocationKind::Home{}});
  }
  schedule.phases.emplace_back(Phase::Exchange{});
  schedule.phases.emplace_back(Phase::Compute{OpId(1), {command("add_f16", 1, {1, 2})}});

  auto deferred = defer_terminal_residual_add(schedule).value();
  TESSEL_CHECK(deferred.has_value());
  if (!schedule.phases.empty()) throw checks::CheckFailure("assertion failed: schedule.phases.is_empty()");

  schedule.phases.emplace_back(Phase::Exchange{});
  schedule.phases.emplace_back(Phase::Compute{OpId(1), {command("layer_norm_affine_f16", 4, {1, 3})}});
  fuse_deferred_residual_into_layer_norm(schedule, 0, std::move(*deferred)).value();

  const auto* fused = schedule.phases.size() > 1 ? schedule.phases[1].get_if<Phase::Compute>() : nullptr;
  if (fused == nullptr) throw checks::CheckFailure("expected fused compute phase");
  TESSEL_CHECK(!fused->commands.empty());
  TESSEL_CHECK_EQ(fused->commands[0].specialization.operation, "add_layer_norm_affine_f16");
  const std::vector<TensorId> expected_inputs{TensorId(1), TensorId(2), TensorId(3)};
  TESSEL_CHECK_EQ(fused->commands[0].inputs, expected_inputs);
}

}  // namespace tessel_runtime::siglip::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> siglip_checks() {
  static constexpr CheckDescriptor checks[] = {
      {"siglip::tests::automatic_output_blocks_respect_weight_transfer_capacity",
       &siglip::tests::automatic_output_blocks_respect_weight_transfer_capacity},
      {"siglip::tests::terminal_residual_add_fuses_into_following_layer_norm",
       &siglip::tests::terminal_residual_add_fuses_into_following_layer_norm},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
