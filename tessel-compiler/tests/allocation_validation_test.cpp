#include <catch2/catch.hpp>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tessel_compiler/allocation_validation.hpp"

using namespace tessel_compiler;

namespace {

Allocation allocation(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                      std::uint64_t from, std::uint64_t until, AllocationKind kind = AllocationKind::Home{}) {
  return Allocation{TensorId(tensor), tile, address, size, from, until, kind};
}

Allocation alias(std::uint64_t tensor, std::uint64_t source, std::uint32_t address, std::uint32_t size,
                 std::uint64_t from, std::uint64_t until) {
  return allocation(tensor, 0, address, size, from, until, AllocationKind::HomeAlias{TensorId(source)});
}

Allocation staging(std::uint64_t tensor, std::uint32_t address, std::uint32_t size, std::uint64_t from,
                   std::uint64_t until) {
  return allocation(tensor, 0, address, size, from, until, AllocationKind::ExchangeStaging{from});
}

Schedule one_tile(std::vector<Allocation> allocations) {
  Schedule schedule;
  schedule.allocations = std::move(allocations);
  schedule.tile_count = 1;
  return schedule;
}

const std::string VALID = "valid";

// The display text of the validation error, or VALID.
std::string failure(const Schedule& schedule) {
  const auto result = schedule.validate_allocations();
  if (result) return VALID;
  return fmt::format("{}", result.error());
}

KernelCommand command(std::uint64_t output, std::vector<TensorId> inputs, std::string kernel, std::string role) {
  KernelCommand c;
  c.output = TensorId(output);
  c.inputs = std::move(inputs);
  c.specialization.operation = std::move(kernel);
  c.specialization.role = std::move(role);
  return c;
}

const Allocation TENSOR_1 = allocation(1, 0, 0x1000, 0x40, 0, 4);
const std::string PREFIX = "SRAM allocation failed: ";

}  // namespace

TEST_CASE("validation reports the first failure of a memory plan") {
  struct Case {
    const char* name;
    std::vector<Allocation> allocations;
    std::string message;
  };
  const auto c = GENERATE(values<Case>({
      {"overlapping homes",
       {TENSOR_1, allocation(2, 0, 0x1020, 0x40, 2, 6)},
       PREFIX + "live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: 0x1020..0x1060 at phases 2..6 and "
                "0x1000..0x1040 at phases 0..4"},
      {"a later start is compared with the next address above",
       {allocation(2, 0, 0x1020, 0x40, 0, 6), TENSOR_1},
       PREFIX + "live tensors 1 (Home; ) and 2 (Home; ) overlap on tile 0: 0x1000..0x1040 at phases 0..4 and "
                "0x1020..0x1060 at phases 0..6"},
      {"lifetimes that touch", {TENSOR_1, allocation(2, 0, 0x1020, 0x40, 4, 6)}, VALID},
      {"ranges that touch", {TENSOR_1, allocation(2, 0, 0x1040, 0x40, 2, 6)}, VALID},
      {"backed alias", {TENSOR_1, alias(3, 1, 0x1010, 0x10, 1, 3), allocation(4, 0, 0x1040, 0x10, 0, 4)}, VALID},
      {"alias outliving its source",
       {TENSOR_1, alias(3, 1, 0x1010, 0x10, 1, 5)},
       PREFIX + "tensor 3 alias 0x1010..0x1020@1..5 on tile 0 is not backed by source tensor 1 (local: "
                "0x1000..0x1040@0..4 Home; global: tile0:0x1000..0x1040@0..4 Home)"},
      {"alias without a source",
       {alias(3, 9, 0x1010, 0x10, 1, 5)},
       PREFIX + "tensor 3 alias 0x1010..0x1020@1..5 on tile 0 is not backed by source tensor 9 (local: ; global: )"},
      {"alias backed by an alias", {TENSOR_1, alias(3, 1, 0x1000, 0x20, 0, 4), alias(4, 3, 0x1010, 0x10, 1, 2)}, VALID},
      {"alias not backed by a staging buffer",
       {staging(1, 0x1000, 0x40, 0, 4), alias(3, 1, 0x1010, 0x10, 1, 3)},
       PREFIX + "tensor 3 alias 0x1010..0x1020@1..3 on tile 0 is not backed by source tensor 1 (local: ; global: "
                "tile0:0x1000..0x1040@0..4 ExchangeStaging { phase: 0 })"},
      {"unbacked empty alias occupies nothing", {alias(3, 9, 0x1010, 0, 1, 5), alias(4, 9, 0x1010, 4, 5, 5)}, VALID},
      {"tile outside the schedule, even when empty",
       {allocation(7, 1, 0x1000, 0, 0, 1)},
       PREFIX + "tensor 7 is allocated on tile 1, outside the 1-tile schedule"},
      {"address overflow",
       {allocation(5, 0, 0xFFFFFFF0, 0x20, 0, 1)},
       PREFIX + "tensor 5 allocation address overflows on tile 0"},
      {"end exactly at 2^32", {allocation(5, 0, 0xFFFFFFE0, 0x20, 0, 1)}, VALID},
      {"overlap at the top of the address space",
       {allocation(5, 0, 0xFFFFFFE0, 0x20, 0, 2), allocation(6, 0, 0xFFFFFFFF, 0x1, 1, 2)},
       PREFIX + "live tensors 6 (Home; ) and 5 (Home; ) overlap on tile 0: 0xffffffff..0x100000000 at phases 1..2 "
                "and 0xffffffe0..0x100000000 at phases 0..2"},
      {"alias ending at 2^32 inside its source",
       {allocation(1, 0, 0xFFFFFF00, 0x100, 0, 4), alias(3, 1, 0xFFFFFFF0, 0x10, 1, 2)},
       VALID},
      {"allocation errors come before overlaps",
       {TENSOR_1, allocation(2, 0, 0x1020, 0x40, 2, 6), allocation(5, 0, 0xFFFFFFF0, 0x20, 0, 1)},
       PREFIX + "tensor 5 allocation address overflows on tile 0"},
      {"empty allocations never overlap",
       {TENSOR_1, allocation(2, 0, 0x1000, 0, 0, 4), allocation(3, 0, 0x1000, 0x40, 3, 3),
        allocation(4, 0, 0x1000, 0x40, 4, 2)},
       VALID},
      {"staging buffers overlap like homes",
       {staging(1, 0x1000, 0x40, 0, 4), staging(2, 0x1020, 0x40, 1, 2)},
       PREFIX + "live tensors 2 (ExchangeStaging { phase: 1 }; ) and 1 (ExchangeStaging { phase: 0 }; ) overlap on "
                "tile 0: 0x1020..0x1060 at phases 1..2 and 0x1000..0x1040 at phases 0..4"},
      {"a staging buffer overlaps a home",
       {TENSOR_1, staging(2, 0x1000, 0x1, 3, 4)},
       PREFIX + "live tensors 2 (ExchangeStaging { phase: 3 }; ) and 1 (Home; ) overlap on tile 0: 0x1000..0x1001 "
                "at phases 3..4 and 0x1000..0x1040 at phases 0..4"},
      {"allocations live to the end keep conflicting",
       {allocation(1, 0, 0x1000, 0x40, 0, LIVE_TO_END), allocation(2, 0, 0x1000, 0x40, 100, 101)},
       PREFIX + "live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: 0x1000..0x1040 at phases 100..101 and "
                "0x1000..0x1040 at phases 0..18446744073709551615"},
  }));
  CAPTURE(c.name);
  CHECK(failure(one_tile(c.allocations)) == c.message);
}

TEST_CASE("alias messages list every allocation of the source") {
  Schedule schedule = one_tile({allocation(1, 1, 0x1000, 0x40, 0, 4), allocation(1, 0, 0x1000, 0x8, 0, 9),
                                allocation(1, 0, 0x2000, 0x40, 0, 9, AllocationKind::ExchangeStaging{2}),
                                allocation(1, 0, 0xFFFFFFF0, 0x10, 0, 9), alias(3, 1, 0x1010, 0x10, 1, 5)});
  schedule.tile_count = 2;
  CHECK(failure(schedule) ==
        PREFIX +
            "tensor 3 alias 0x1010..0x1020@1..5 on tile 0 is not backed by source tensor 1 (local: "
            "0x1000..0x1008@0..9 Home, 0xfffffff0..0xffffffff@0..9 Home; global: tile1:0x1000..0x1040@0..4 "
            "Home, tile0:0x1000..0x1008@0..9 Home, tile0:0x2000..0x2040@0..9 ExchangeStaging { phase: 2 }, "
            "tile0:0xfffffff0..0xffffffff@0..9 Home)");
}

TEST_CASE("overlap messages name how the compute phases use each tensor") {
  Schedule schedule = one_tile({TENSOR_1, allocation(2, 0, 0x1020, 0x40, 2, 6)});
  schedule.phases = {
      Phase::Exchange{},
      Phase::Compute{OpId(0), {command(5, {TensorId(2)}, "copy", "first")}},
      Phase::Exchange{},
      Phase::Compute{OpId(1),
                     {command(1, {}, "add_f16", ""), command(2, {TensorId(1), TensorId(1)}, "mul_f16", "inner"),
                      command(7, {TensorId(1)}, "gemm", "a"), command(8, {TensorId(1)}, "gemm", "b")}},
      Phase::Compute{OpId(2), {command(9, {TensorId(1)}, "late", "")}},
  };
  CHECK(tensor_usage_text(schedule, TensorId(1)) == "3:add_f16:, 3:mul_f16:inner, 3:gemm:a");
  CHECK(tensor_usage_text(schedule, TensorId(6)).empty());
  CHECK(failure(schedule) == PREFIX +
                                 "live tensors 2 (Home; 1:copy:first, 3:mul_f16:inner) and 1 (Home; 3:add_f16:, "
                                 "3:mul_f16:inner, 3:gemm:a) overlap on tile 0: 0x1020..0x1060 at phases 2..6 and "
                                 "0x1000..0x1040 at phases 0..4");
}

namespace {

bool shares_a_byte(const Allocation& a, const Allocation& b) {
  return std::max(a.address, b.address) < std::min(a.address + a.size, b.address + b.size);
}

bool live_together(const Allocation& a, const Allocation& b) {
  return std::max(a.live_from, b.live_from) < std::min(a.live_until, b.live_until);
}

bool occupies(const Allocation& a) { return a.size > 0 && a.live_from < a.live_until; }

bool backed(const std::vector<Allocation>& allocations, const Allocation& alias, TensorId source) {
  return std::ranges::any_of(allocations, [&](const Allocation& home) {
    return home.tensor == source && home.tile == alias.tile && home.kind.has_home_address() &&
           home.address <= alias.address &&
           std::uint64_t{alias.address} + alias.size <= std::uint64_t{home.address} + home.size &&
           home.live_from <= alias.live_from && home.live_until >= alias.live_until;
  });
}

}  // namespace

TEST_CASE("validation matches a brute-force check on random plans") {
  std::mt19937 random(6021);
  const auto draw = [&](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  };
  for (int round = 0; round < 500; ++round) {
    Schedule schedule;
    schedule.tile_count = 2;
    const auto count = draw(1, 7);
    for (std::uint32_t tensor = 0; tensor < count; ++tensor) {
      const auto tile = static_cast<std::uint16_t>(draw(0, 1));
      const auto from = draw(0, 5);
      const auto until = draw(0, 9) == 0 ? LIVE_TO_END : std::uint64_t{draw(0, 7)};
      const auto kind_draw = draw(0, 4);
      const AllocationKind kind = kind_draw == 0   ? AllocationKind{AllocationKind::HomeAlias{TensorId(draw(0, count))}}
                                  : kind_draw == 1 ? AllocationKind{AllocationKind::ExchangeStaging{from}}
                                                   : AllocationKind{AllocationKind::Home{}};
      schedule.allocations.push_back(allocation(tensor, tile, draw(0, 120), draw(0, 40), from, until, kind));
    }
    const auto& allocations = schedule.allocations;
    CAPTURE(round);

    std::optional<std::string> unbacked;
    for (const auto& a : allocations) {
      const auto* as_alias = a.kind.get_if<AllocationKind::HomeAlias>();
      if (as_alias != nullptr && occupies(a) && !backed(allocations, a, as_alias->source)) {
        unbacked = fmt::format("tensor {} alias", a.tensor.index);
        break;
      }
    }
    bool any_overlap = false;
    for (std::size_t i = 0; i < allocations.size(); ++i) {
      for (std::size_t j = i + 1; j < allocations.size(); ++j) {
        const auto& a = allocations[i];
        const auto& b = allocations[j];
        const bool swept = !a.kind.is<AllocationKind::HomeAlias>() && !b.kind.is<AllocationKind::HomeAlias>();
        if (swept && a.tile == b.tile && occupies(a) && occupies(b) && shares_a_byte(a, b) && live_together(a, b)) {
          any_overlap = true;
        }
      }
    }

    const auto result = schedule.validate_allocations();
    if (unbacked) {
      REQUIRE_FALSE(result.has_value());
      CHECK_THAT(fmt::format("{}", result.error()), Catch::StartsWith(PREFIX + *unbacked));
    } else if (any_overlap) {
      REQUIRE_FALSE(result.has_value());
      const std::string message = fmt::format("{}", result.error());
      CHECK_THAT(message, Catch::StartsWith(PREFIX + "live tensors "));
      // The two tensors named really do share a byte while both live.
      std::uint64_t first = 0;
      std::uint64_t second = 0;
      REQUIRE(std::sscanf(message.c_str(), "SRAM allocation failed: live tensors %lu (%*[^)]) and %lu", &first,
                          &second) == 2);
      CHECK((shares_a_byte(allocations[first], allocations[second]) &&
             live_together(allocations[first], allocations[second])));
    } else {
      CHECK(result.has_value());
    }
  }
}
