#include <catch2/catch.hpp>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "tessel_checks/check.hpp"

using tessel_runtime::checks::registry;

TEST_CASE("the registry is sorted, unique and holds runnable checks") {
  const auto checks = registry();
  REQUIRE_FALSE(checks.empty());
  for (std::size_t i = 1; i < checks.size(); ++i) {
    CAPTURE(checks[i].name);
    CHECK(checks[i - 1].name < checks[i].name);
  }
  for (const auto& check : checks) {
    CAPTURE(check.name);
    CHECK(check.entry != nullptr);
    CHECK_FALSE(check.ignored);
    CHECK_FALSE(check.should_fail);
  }
}

TEST_CASE("the registry holds exactly the 28 checks, in name order") {
  const std::vector<std::string_view> expected{
      "blocked_data::tests::f143_encoding_matches_documented_rounding_examples",
      "blocked_data::tests::finite_f143_values_round_trip_for_every_scale",
      "blocked_data::tests::negative_underflow_encodes_zero_instead_of_nanoo",
      "blocked_data::tests::selected_scale_uses_the_available_normal_range",
      "placement::tests::reservations_are_clipped_merged_and_granularity_aligned",
      "siglip::tests::automatic_output_blocks_respect_weight_transfer_capacity",
      "siglip::tests::terminal_residual_add_fuses_into_following_layer_norm",
      "static_codegen::tests::leaves_irregular_or_argument_taking_calls_unrolled",
      "static_codegen::tests::plans_fixed_compute_abi_run_with_per_exchange_table",
      "static_codegen::tests::profiling_can_disable_compaction_without_changing_plan_extent",
      "static_codegen::tests::template_affine_reuse_requires_net_sram_savings",
      "static_codegen::tests::template_compute_accepts_three_inputs_with_three_arguments",
      "static_codegen::tests::template_patch_span_omits_empty_segment_groups",
      "static_codegen::tests::template_records_intern_repeated_instance_columns",
      "static_codegen::tests::templates_align_rotated_tile_work_by_global_phase",
      "tests::allocator_profile_covers_every_tile_and_labels_bindings",
      "tests::boundary_profile_reuses_adjacent_timestamps",
      "tests::compute_profile_preserves_kernel_semantics",
      "tests::exchange_profile_separates_sync_exchange_and_idle_compute",
      "tests::executable_objects_are_packed_without_order_induced_fragmentation",
      "tests::executable_objects_reserve_complete_memory_elements",
      "tests::executable_placement_reserves_complete_memory_elements",
      "tests::fine_profile_steps_include_their_semantic_region",
      "tests::host_phase_count_defers_the_last_rendezvous",
      "tests::measured_executable_relocation_updates_aliases_and_literal_addresses",
      "tests::phase_profile_groups_commands_and_keeps_compact_semantics",
      "tests::static_data_placement_uses_multiple_available_intervals",
      "tests::static_objects_use_multiple_gaps_when_no_single_gap_is_large_enough",
  };
  std::vector<std::string_view> names;
  for (const auto& check : registry()) names.push_back(check.name);
  CHECK(names == expected);
}

TEST_CASE("check assertions report their expression and values") {
  const int relocated = 3;
  CHECK_THROWS_MATCHES([&] { TESSEL_CHECK(relocated >= 4); }(), tessel_runtime::checks::CheckFailure,
                       Catch::Matchers::Message("assertion failed: relocated >= 4"));
  CHECK_THROWS_MATCHES(TESSEL_CHECK_EQ(relocated, 4), tessel_runtime::checks::CheckFailure,
                       Catch::Matchers::Message("assertion failed: relocated == 4\n  left: 3\n right: 4"));
  CHECK_NOTHROW(TESSEL_CHECK_EQ(relocated, 3));
}
