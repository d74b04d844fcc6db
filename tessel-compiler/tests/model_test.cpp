#include <catch2/catch.hpp>

#include <unordered_set>

#include "tessel_compiler/compiler.hpp"
#include "tessel_exchange/instruction.hpp"

using namespace tessel_compiler;
using tessel_exchange::ExchangeError;

TEST_CASE("identifier and allocation kind debug texts") {
  CHECK(fmt::format("{}", TensorId(7)) == "TensorId(7)");
  CHECK(fmt::format("{}", OpId(4)) == "OpId(4)");
  CHECK(fmt::format("{}", AllocationKind{AllocationKind::Home{}}) == "Home");
  CHECK(fmt::format("{}", AllocationKind{AllocationKind::HomeAlias{TensorId(3)}}) == "HomeAlias { source: TensorId(3) }");
  CHECK(fmt::format("{}", AllocationKind{AllocationKind::ExchangeStaging{2}}) == "ExchangeStaging { phase: 2 }");
}

TEST_CASE("tensor ids hash and compare by index") {
  std::unordered_set<TensorId> seen{TensorId(1), TensorId(2), TensorId(1)};
  CHECK(seen.size() == 2);
  CHECK(TensorId(3) == TensorId(3));
  CHECK(TensorId(3) < TensorId(4));
}

TEST_CASE("compile error display, debug and source") {
  using Row = std::tuple<CompileError, std::string, std::string>;
  auto [error, display, debug] = GENERATE(table<CompileError, std::string, std::string>({
      Row{CompileError::memory("no arena can hold a 48-byte SRAM allocation"),
          "SRAM allocation failed: no arena can hold a 48-byte SRAM allocation",
          "Memory(\"no arena can hold a 48-byte SRAM allocation\")"},
      Row{CompileError::graph("tensor \"x\"\n"), "invalid graph: tensor \"x\"\n", "Graph(\"tensor \\\"x\\\"\\n\")"},
      Row{CompileError{CompileError::Exchange{ExchangeError::Tile{1500}}},
          "exchange lowering failed: logical tile 1500 is out of range", "Exchange(Tile(1500))"},
  }));
  CHECK(fmt::format("{}", error) == display);
  CHECK(fmt::format("{:?}", error) == debug);
  CHECK((error.source() != nullptr) == (error.get_if<CompileError::Exchange>() != nullptr));
}

TEST_CASE("the source of an exchange lowering error is the exchange error") {
  const CompileError error{CompileError::Exchange{ExchangeError::Count{0}}};
  REQUIRE(error.source() != nullptr);
  CHECK(*error.source() == ExchangeError{ExchangeError::Count{0}});
}

TEST_CASE("allocation kinds with a home address") {
  CHECK(AllocationKind{AllocationKind::Home{}}.has_home_address());
  CHECK(AllocationKind{AllocationKind::HomeAlias{TensorId(1)}}.has_home_address());
  CHECK_FALSE(AllocationKind{AllocationKind::ExchangeStaging{0}}.has_home_address());
}

TEST_CASE("low arenas") {
  const auto arena = MemoryArena::low(0x88000, 0xE8000);
  CHECK(arena.base == 0x88000U);
  CHECK(arena.limit == 0xE8000U);
  CHECK(arena.placement == MemoryPlacement::Low);
}

TEST_CASE("copying an exchange step shares its row") {
  const LoweredTileStep step = LoweredTileStep::Exchange{3, 1, make_row({tessel_exchange::sans(1)})};
  const LoweredTileStep copy = step;  // NOLINT(performance-unnecessary-copy-initialization)
  const auto* original_row = step.get_if<LoweredTileStep::Exchange>();
  const auto* copied_row = copy.get_if<LoweredTileStep::Exchange>();
  REQUIRE(original_row != nullptr);
  REQUIRE(copied_row != nullptr);
  CHECK(original_row->row.get() == copied_row->row.get());
  CHECK(original_row->row.use_count() == 2);
  CHECK(copy == step);
  CHECK(LoweredTileStep{LoweredTileStep::Exchange{3, 1, make_row({tessel_exchange::sans(1)})}} == step);
}

TEST_CASE("step phases and row activity") {
  LoweredComputeCommand command;
  command.phase = 5;
  CHECK(LoweredTileStep{LoweredTileStep::Compute{command}}.phase() == 5);
  CHECK(LoweredTileStep{LoweredTileStep::IdleCompute{OpId(2), 7}}.phase() == 7);
  CHECK(LoweredTileStep{LoweredTileStep::Exchange{9, 0, make_row({})}}.phase() == 9);

  CHECK_FALSE(row_is_active(make_row({tessel_exchange::sans(0)})));
  CHECK_FALSE(row_is_active(make_row({tessel_exchange::sans(0), tessel_exchange::sans(1)})));
  CHECK(row_is_active(make_row({tessel_exchange::sans(1)})));
  CHECK(row_is_active(make_row({})));
}

TEST_CASE("call interface compares kernel, addresses and arguments only") {
  LoweredComputeCommand left;
  left.specialization.operation = "add_u32";
  left.output_address = 0x60000;
  left.input_addresses = {0x61000};
  left.arguments = {64};
  auto right = left;
  right.phase = 9;
  right.output = TensorId(99);
  right.metadata["label"] = "other";
  CHECK(same_call_interface(left, right));
  right.arguments = {65};
  CHECK_FALSE(same_call_interface(left, right));
}
