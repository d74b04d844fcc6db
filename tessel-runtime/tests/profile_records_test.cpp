#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "profiling_fixtures.hpp"
#include "tessel_checks/check.hpp"
#include "tessel_runtime/profiling/profile_records.hpp"

using tessel_package::ProfileMetadata;
using tessel_runtime::profile_metadata;

TEST_CASE("profile metadata stores values as display text") {
  CHECK(profile_metadata("active", false) == ProfileMetadata{"active", "false"});
  CHECK(profile_metadata("active", true) == ProfileMetadata{"active", "true"});
  CHECK(profile_metadata("worker_count", std::uint8_t{6}) == ProfileMetadata{"worker_count", "6"});
  CHECK(profile_metadata("tile", std::uint16_t{1471}) == ProfileMetadata{"tile", "1471"});
  CHECK(profile_metadata("alignment", std::numeric_limits<std::uint32_t>::max()) ==
        ProfileMetadata{"alignment", "4294967295"});
  CHECK(profile_metadata("send_bytes", std::numeric_limits<std::uint64_t>::max()) ==
        ProfileMetadata{"send_bytes", "18446744073709551615"});
  CHECK(profile_metadata("output_tensor", std::uint64_t{0}) == ProfileMetadata{"output_tensor", "0"});
}

TEST_CASE("profile metadata copies text values and names of every form unchanged") {
  const std::string owned_name = "role";
  const std::string_view borrowed_name = "next_layer";
  std::string movable = "inner-block-3";
  CHECK(profile_metadata(owned_name, "") == ProfileMetadata{"role", ""});
  CHECK(profile_metadata(borrowed_name, std::string_view("3")) == ProfileMetadata{"next_layer", "3"});
  CHECK(profile_metadata(std::string("label"), std::move(movable)) == ProfileMetadata{"label", "inner-block-3"});
  CHECK(profile_metadata("text", std::string(" spaced \"x\" ")) == ProfileMetadata{"text", " spaced \"x\" "});
}

TEST_CASE("a default profile boundary has no flag set") {
  const tessel_runtime::ProfileBoundary boundary;
  CHECK_FALSE(boundary.after_sync);
  CHECK_FALSE(boundary.after_step);
}

TEST_CASE("check failures print lists of step kinds by name") {
  using tessel_package::ProfileStepKind;
  const std::vector kinds{ProfileStepKind::Synchronization, ProfileStepKind::Exchange};
  const std::vector expected{ProfileStepKind::Idle};
  CHECK_THROWS_MATCHES(TESSEL_CHECK_EQ(kinds, expected), tessel_runtime::checks::CheckFailure,
                       Catch::Matchers::Message(
                           "assertion failed: kinds == expected\n  left: [Synchronization, Exchange]\n right: [Idle]"));
}
