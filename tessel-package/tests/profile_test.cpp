#include <catch2/catch.hpp>

#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessel_package/package.hpp"

using tessel_package::ProfileMetadata;
using tessel_package::ProfileStepKind;
using tessel_package::memory_profile::MemoryRegion;

TEST_CASE("profile step kinds print their variant names") {
  const auto [kind, code, name] = GENERATE(table<ProfileStepKind, unsigned, std::string>({
      {ProfileStepKind::Exchange, 0, "Exchange"},
      {ProfileStepKind::Compute, 1, "Compute"},
      {ProfileStepKind::Synchronization, 2, "Synchronization"},
      {ProfileStepKind::Idle, 3, "Idle"},
  }));
  CAPTURE(name);
  CHECK(static_cast<unsigned>(kind) == code);
  CHECK(fmt::format("{}", kind) == name);
  CHECK(fmt::format("{:?}", kind) == name);
}

TEST_CASE("a list of kinds prints each variant name in order") {
  const std::vector kinds{ProfileStepKind::Synchronization, ProfileStepKind::Exchange, ProfileStepKind::Idle};
  CHECK(fmt::format("{}", kinds) == "[Synchronization, Exchange, Idle]");
  CHECK(fmt::format("{}", static_cast<ProfileStepKind>(9)) == "ProfileStepKind(9)");
}

TEST_CASE("metadata entries and memory regions print as quoted records") {
  CHECK(fmt::format("{}", ProfileMetadata{"label", "say \"hi\""}) ==
        R"(ProfileMetadata { name: "label", value: "say \"hi\"" })");
  CHECK(
      fmt::format("{}", MemoryRegion{0xA0000, 4096, "home", "left", 3, 0, 5}) ==
      R"(MemoryRegion { address: 0xa0000, size: 4096, category: "home", name: "left", tensor: Some(3), live_from: 0, live_until: 5 })");
  CHECK(
      fmt::format("{}", MemoryRegion{0x4C000, 0, "home", "", std::nullopt, 1, 2}) ==
      R"(MemoryRegion { address: 0x4c000, size: 0, category: "home", name: "", tensor: None, live_from: 1, live_until: 2 })");
}
