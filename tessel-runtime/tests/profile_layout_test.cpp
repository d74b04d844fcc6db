#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "profiling_fixtures.hpp"
#include "tessel_runtime/profiling/profile_layout.hpp"

using tessel_package::ProfileStep;
using tessel_package::ProfileStepKind;
using tessel_runtime::ProfileLayout;
using tessel_runtime::ProfileTileLayout;

namespace {

constexpr std::uint64_t CLOCK_HZ = 1500000000;

ProfileStep sampled_step(std::uint32_t index) {
  return ProfileStep{.local_index = index,
                     .phase = index,
                     .epoch = 0,
                     .operation = fmt::format("step-{}", index),
                     .kind = ProfileStepKind::Compute,
                     .kernel = "test_kernel",
                     .metadata = {{"layer", std::to_string(index)}}};
}

std::vector<ProfileStep> sampled_steps(std::uint32_t count) {
  std::vector<ProfileStep> steps;
  for (std::uint32_t i = 0; i < count; ++i) steps.push_back(sampled_step(i));
  return steps;
}

ProfileTileLayout tile_layout(std::uint32_t physical_tile, std::uint64_t file_offset, std::uint32_t step_count,
                              bool boundary_samples) {
  return ProfileTileLayout{.physical_tile = physical_tile,
                           .file_offset = file_offset,
                           .steps = sampled_steps(step_count),
                           .boundary_samples = boundary_samples};
}

// The host result holding `values` as 32-bit little-endian words after `padding` bytes of 0xEE.
std::vector<std::uint8_t> host_result(std::size_t padding, const std::vector<std::uint32_t>& values) {
  std::vector<std::uint8_t> bytes(padding, 0xEE);
  for (const auto value : values) {
    for (unsigned shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  return bytes;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> cycles(const tessel_package::TileProfile& tile) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> result;
  for (const auto& sample : tile.samples) result.emplace_back(sample.start_cycle, sample.end_cycle);
  return result;
}

std::string decode_error(const ProfileLayout& layout, const std::vector<std::uint8_t>& output) {
  const auto report = layout.decode(output, CLOCK_HZ);
  REQUIRE_FALSE(report.has_value());
  return report.error().message;
}

}  // namespace

TEST_CASE("paired samples give each step its own start and end") {
  const ProfileLayout layout{.output_offset = 0, .tiles = {tile_layout(7, 0, 2, false)}};
  const auto report = layout.decode(host_result(0, {11, 23, 30, 47}), CLOCK_HZ).value();
  CHECK(report.clock_hz == CLOCK_HZ);
  REQUIRE(report.tiles.size() == 1);
  CHECK(report.tiles[0].physical_tile == 7);
  CHECK(cycles(report.tiles[0]) == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{11, 23}, {30, 47}});
  for (std::size_t i = 0; i < 2; ++i) CHECK(report.tiles[0].samples[i].step == layout.tiles[0].steps[i]);
}

TEST_CASE("boundary samples share each inner timestamp between adjacent steps") {
  const ProfileLayout layout{.output_offset = 0, .tiles = {tile_layout(7, 0, 3, true)}};
  const auto report = layout.decode(host_result(0, {11, 23, 47, 0x0403'0201}), CLOCK_HZ).value();
  CHECK(cycles(report.tiles[0]) ==
        std::vector<std::pair<std::uint32_t, std::uint32_t>>{{11, 23}, {23, 47}, {47, 0x0403'0201}});
}

TEST_CASE("values are read as they are, without ordering or scaling") {
  const ProfileLayout layout{.output_offset = 0, .tiles = {tile_layout(1, 0, 1, false)}};
  const auto report = layout.decode(host_result(0, {0xFFFF'FFFF, 5}), CLOCK_HZ).value();
  CHECK(cycles(report.tiles[0]) == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0xFFFF'FFFF, 5}});
}

TEST_CASE("tile ranges are relative to the profile area and may come in any order") {
  // Profile area from byte 16: tile 3 at area offset 12 (paired), tile 9 at 0 (boundary).
  const ProfileLayout layout{.output_offset = 16, .tiles = {tile_layout(3, 12, 1, false), tile_layout(9, 0, 2, true)}};
  const auto report = layout.decode(host_result(16, {1, 2, 3, 100, 200}), CLOCK_HZ).value();
  REQUIRE(report.tiles.size() == 2);
  CHECK(report.tiles[0].physical_tile == 3);
  CHECK(cycles(report.tiles[0]) == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{100, 200}});
  CHECK(report.tiles[1].physical_tile == 9);
  CHECK(cycles(report.tiles[1]) == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 2}, {2, 3}});
}

TEST_CASE("a layout without tiles decodes to an empty report") {
  const ProfileLayout layout{.output_offset = 4, .tiles = {}};
  const auto report = layout.decode(host_result(4, {}), 123).value();
  CHECK(report.tiles.empty());
  CHECK(report.clock_hz == 123);
}

TEST_CASE("decoding never reads outside the host result") {
  using Row = std::tuple<std::string, ProfileLayout, std::size_t, std::string>;
  const auto [name, layout, output_bytes, message] =
      GENERATE_REF(table<std::string, ProfileLayout, std::size_t, std::string>({
          Row{"paired steps need 8 bytes each",
              {0, {tile_layout(7, 0, 2, false)}},
              12,
              "profile tile range exceeds host result"},
          Row{"offset past the end", {13, {}}, 12, "profile output offset exceeds host result"},
          Row{"boundary samples need a timestamp without steps",
              {12, {tile_layout(7, 0, 0, true)}},
              12,
              "profile tile range exceeds host result"},
          Row{"range starting inside and ending outside",
              {4, {tile_layout(7, 5, 1, false)}},
              16,
              "profile tile range exceeds host result"},
          Row{"range starting past the end",
              {0, {tile_layout(7, 100, 0, false)}},
              16,
              "profile tile range exceeds host result"},
          Row{"end beyond 64 bits",
              {0, {tile_layout(7, std::numeric_limits<std::uint64_t>::max() - 3, 1, true)}},
              16,
              "profile tile range exceeds host result"},
          Row{"the first failing tile ends decoding",
              {0, {tile_layout(1, 0, 1, false), tile_layout(2, 12, 1, false), tile_layout(3, 0, 1, true)}},
              16,
              "profile tile range exceeds host result"},
      }));
  CAPTURE(name);
  CHECK(decode_error(layout, std::vector<std::uint8_t>(output_bytes, 0)) == message);
}

TEST_CASE("an empty profile area holds tiles that need no bytes") {
  const ProfileLayout layout{.output_offset = 12, .tiles = {tile_layout(7, 0, 0, false)}};
  const auto report = layout.decode(host_result(12, {}), CLOCK_HZ).value();
  REQUIRE(report.tiles.size() == 1);
  CHECK(report.tiles[0].samples.empty());
}

TEST_CASE("a range that exactly fills the profile area decodes") {
  const ProfileLayout layout{.output_offset = 4, .tiles = {tile_layout(7, 8, 1, true)}};
  const auto report = layout.decode(host_result(4, {0, 0, 5, 6}), CLOCK_HZ).value();
  CHECK(cycles(report.tiles[0]) == std::vector<std::pair<std::uint32_t, std::uint32_t>>{{5, 6}});
}

TEST_CASE("sample sizes are checked against 64 bits") {
  using tessel_runtime::profile_sample_bytes;
  const auto [steps, boundary, expected] = GENERATE(table<std::uint64_t, bool, std::uint64_t>({
      {0, false, 0},
      {0, true, 4},
      {3, false, 24},
      {3, true, 16},
      {(std::uint64_t{1} << 61) - 1, false, std::numeric_limits<std::uint64_t>::max() - 7},
      {(std::uint64_t{1} << 62) - 2, true, std::numeric_limits<std::uint64_t>::max() - 3},
  }));
  CAPTURE(steps, boundary);
  CHECK(profile_sample_bytes(steps, boundary).value() == expected);
}

TEST_CASE("sample sizes beyond 64 bits fail") {
  const auto [steps, boundary] = GENERATE(table<std::uint64_t, bool>({
      {std::uint64_t{1} << 61, false},
      {(std::uint64_t{1} << 62) - 1, true},
      {std::numeric_limits<std::uint64_t>::max(), true},
  }));
  CAPTURE(steps, boundary);
  CHECK(tessel_runtime::profile_sample_bytes(steps, boundary).error().message == "profile sample size overflow");
}
