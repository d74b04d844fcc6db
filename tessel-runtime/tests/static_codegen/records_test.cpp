#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

using namespace static_codegen_test;
using tessel_runtime::static_codegen::add_immediate_steps;
using tessel_runtime::static_codegen::RecordWords;
using tessel_runtime::static_codegen::TemplateRecords;

TEST_CASE("add-immediate steps of an offset, each step adding a signed 16-bit immediate") {
  const auto [offset, steps] = GENERATE(table<std::int32_t, std::uint64_t>({
      {0, 0},
      {1, 1},
      {32767, 1},
      {32768, 2},
      {65534, 2},
      {65535, 3},
      {131072, 5},
      {-1, 1},
      {-32768, 1},
      {-32769, 2},
      {-65536, 2},
      {-65537, 3},
      {std::numeric_limits<std::int32_t>::max(), 65539},
      {std::numeric_limits<std::int32_t>::min(), 65536},
  }));
  CAPTURE(offset);
  CHECK(add_immediate_steps(offset) == steps);
}

TEST_CASE("numeric columns become constants, shared words, record slots or offsets") {
  SECTION("equal values below 0x100000 are constants, from 0x100000 shared entries") {
    TemplateRecords records(2);
    CHECK(records.values({0xFFFFF, 0xFFFFF}).value() == constant(0xFFFFF));
    CHECK(records.values({0, 0}).value() == constant(0));
    CHECK(records.values({0x100000, 0x100000}).value() == shared(0));
    CHECK(records.values({0xFFFFFFFF, 0xFFFFFFFF}).value() == shared(1));
    CHECK(records.values({0x100000, 0x100000}).value() == shared(0));
    CHECK(records.record_words() == 0);
    CHECK(records.shared_words == RecordWords{value(0x100000), value(0xFFFFFFFF)});
  }

  SECTION("an exact repeat reuses its slot even when an affine key also matches") {
    TemplateRecords records(3);
    CHECK(records.values({10, 20, 30}).value() == record(0));
    CHECK(records.values({11, 21, 31}).value() == record_offset(0, 1));
    // A costly offset falls back to a new slot with the same affine key...
    CHECK(records.values({0x40000, 0x4000A, 0x40014}).value() == record(1));
    // ...after which the key names the newer slot, but exact repeats still
    // find their own.
    CHECK(records.values({0x40001, 0x4000B, 0x40015}).value() == record_offset(1, 1));
    CHECK(records.values({10, 20, 30}).value() == record(0));
    CHECK(records.values({0x40000, 0x4000A, 0x40014}).value() == record(1));
    CHECK(records.record_words() == 2);
  }

  SECTION("negative offsets, and offsets that do not fit 32 bits, are priced or refused") {
    TemplateRecords records(3);
    CHECK(records.values({0xFFFFFFF0, 0xFFFFFFF1, 0xFFFFFFF2}).value() == record(0));
    CHECK(records.values({0xFFFF7FF0, 0xFFFF7FF1, 0xFFFF7FF2}).value() == record_offset(0, -32768));
    // 0x10 - 0xFFFFFFF0 is below the 32-bit signed range: a new slot.
    CHECK(records.values({0x10, 0x11, 0x12}).value() == record(1));
    CHECK(records.rows[0] == RecordWords{value(0xFFFFFFF0), value(0x10)});
  }

  SECTION("an offset is used only when it costs fewer steps than instances") {
    const auto [instances, offset, reused] = GENERATE(table<std::uint32_t, std::uint32_t, bool>({
        {2, 32767, true},
        {2, 32768, false},
        {3, 65534, true},
        {3, 65535, false},
    }));
    CAPTURE(instances, offset);
    TemplateRecords records(instances);
    std::vector<std::uint32_t> base(instances);
    std::vector<std::uint32_t> moved(instances);
    for (std::uint32_t instance = 0; instance < instances; ++instance) {
      base[instance] = instance * 4;
      moved[instance] = instance * 4 + offset;
    }
    REQUIRE(records.values(base).value() == record(0));
    const auto expected = reused ? record_offset(0, static_cast<std::int32_t>(offset)) : record(1);
    CHECK(records.values(moved).value() == expected);
  }
}

TEST_CASE("word columns are shared when equal and interned otherwise, never offset") {
  TemplateRecords records(2);
  CHECK(records.words({symbol("tessel_stack_add_f16"), symbol("tessel_stack_add_f16")}).value() == shared(0));
  CHECK(records.words({symbol("tessel_stack_gemm"), symbol("tessel_stack_add_f16")}).value() == record(0));
  CHECK(records.words({symbol("tessel_stack_gemm"), symbol("tessel_stack_add_f16")}).value() == record(0));
  CHECK(records.words({value(4), value(5)}).value() == record(1));
  // `words` leaves no affine key behind, so a numeric column one above it is
  // a slot of its own.
  CHECK(records.values({5, 6}).value() == record(2));
  // A numeric column equal to a word column shares its slot.
  CHECK(records.values({4, 5}).value() == record(1));
  CHECK(records.shared(symbol("tessel_stack_add_f16")).value() == shared(0));
  CHECK(records.shared(value(7)).value() == shared(1));
  CHECK(records.rows == std::vector<RecordWords>{{symbol("tessel_stack_gemm"), value(4), value(5)},
                                                  {symbol("tessel_stack_add_f16"), value(5), value(6)}});
}

TEST_CASE("the 65,537th slot or shared word fails and leaves the builder unchanged") {
  SECTION("slots") {
    TemplateRecords records(2);
    for (std::uint32_t slot = 0; slot <= 0xFFFF; ++slot) {
      REQUIRE(records.push_column({value(slot), value(slot + 1)}).value() == slot);
    }
    CHECK(error_of(records.push_column({value(0), value(1)})) == "out of range integral type conversion attempted");
    CHECK(error_of(records.values({7, 9})) == "out of range integral type conversion attempted");
    CHECK(error_of(records.words({symbol("a"), symbol("b")})) == "out of range integral type conversion attempted");
    CHECK(records.record_words() == 0x10000);
    CHECK(records.columns.empty());
    CHECK(records.affine_columns.empty());
    // Requests that need no slot still succeed.
    CHECK(records.values({7, 7}).value() == constant(7));
    CHECK(records.words({symbol("a"), symbol("a")}).value() == shared(0));
  }

  SECTION("shared words") {
    TemplateRecords records(2);
    for (std::uint32_t index = 0; index <= 0xFFFF; ++index) {
      REQUIRE(records.shared(value(0x100000 + index)).value() == shared(static_cast<std::uint16_t>(index)));
    }
    CHECK(error_of(records.values({0x200000, 0x200000})) == "out of range integral type conversion attempted");
    CHECK(records.shared_words.size() == 0x10000);
    CHECK(records.shared_values.size() == 0x10000);
    CHECK(records.values({0x100005, 0x100005}).value() == shared(5));
  }
}

TEST_CASE("a column must hold one word per instance") {
  TemplateRecords records(2);
  CHECK(error_of(records.values({1, 2, 3})) == "template record column has 3 words for 2 instances");
  CHECK(error_of(records.words({value(1)})) == "template record column has 1 words for 2 instances");
  CHECK(error_of(records.push_column({})) == "template record column has 0 words for 2 instances");
  CHECK(records.record_words() == 0);

  TemplateRecords none(0);
  CHECK(error_of(none.values({})) == "template record column is empty");
  CHECK(error_of(none.words({})) == "template record column is empty");
}

TEST_CASE("template values and record words have debug texts") {
  CHECK(fmt::format("{}", constant(16)) == "Constant(16)");
  CHECK(fmt::format("{}", record(3)) == "Record(3)");
  CHECK(fmt::format("{:?}", record_offset(0, -1)) == "RecordOffset { slot: 0, offset: -1 }");
  CHECK(fmt::format("{}", shared(2)) == "Shared(2)");
  CHECK(fmt::format("{}", value(10)) == "Value(10)");
  CHECK(fmt::format("{}", symbol("tessel_stack_add_f16")) == "Symbol(\"tessel_stack_add_f16\")");
}

namespace {

// The word that `value` gives instance `instance`, by the template's own
// rules: a constant, a record slot, a slot plus an offset, or a shared word.
std::optional<tessel_runtime::static_codegen::RecordWord> materialise(const TemplateRecords& records,
                                                                      const tessel_runtime::static_codegen::TemplateValue& value,
                                                                      std::size_t instance) {
  using V = tessel_runtime::static_codegen::TemplateValue;
  using W = tessel_runtime::static_codegen::RecordWord;
  if (const auto* constant = value.get_if<V::Constant>()) {
    if (constant->value >= 0x100000) return std::nullopt;
    return W::Value{constant->value};
  }
  if (const auto* slot = value.get_if<V::Record>()) return records.rows.at(instance).at(slot->slot);
  if (const auto* offset = value.get_if<V::RecordOffset>()) {
    const auto* base = records.rows.at(instance).at(offset->slot).get_if<W::Value>();
    if (base == nullptr) return std::nullopt;
    return W::Value{static_cast<std::uint32_t>(std::int64_t{base->value} + offset->offset)};
  }
  return records.shared_words.at(value.get_if<V::Shared>()->index);
}

}  // namespace

TEST_CASE("property: every value the builder returns reproduces its column for every instance") {
  std::mt19937 random(7031);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t instances = std::uniform_int_distribution<std::size_t>(2, 30)(random);
    TemplateRecords records(instances);
    std::vector<std::pair<RecordWords, tessel_runtime::static_codegen::TemplateValue>> requests;
    std::vector<std::uint32_t> previous(instances, 0x50000);
    for (int request = 0; request < 40; ++request) {
      std::vector<std::uint32_t> column = previous;
      switch (std::uniform_int_distribution<int>(0, 5)(random)) {
        case 0: column.assign(instances, static_cast<std::uint32_t>(random())); break;  // equal values
        case 1: break;                                                                   // an exact repeat
        case 2: {                                                                        // an affine shift
          const auto shift = static_cast<std::uint32_t>(std::uniform_int_distribution<int>(0, 200000)(random));
          for (auto& entry : column) entry += shift;
          break;
        }
        case 3: {  // a symbol column
          RecordWords words;
          for (std::size_t instance = 0; instance < instances; ++instance) {
            words.push_back(symbol(fmt::format("k{}", random() % 2)));
          }
          const auto result = records.words(words).value();
          requests.emplace_back(words, result);
          continue;
        }
        default:
          for (auto& entry : column) entry = static_cast<std::uint32_t>(random() % 0x100);
          break;
      }
      previous = column;
      const auto result = records.values(column).value();
      requests.emplace_back(tessel_runtime::static_codegen::value_words(column), result);
    }
    CAPTURE(trial, instances);
    for (const auto& [column, result] : requests) {
      CAPTURE(result);
      for (std::size_t instance = 0; instance < instances; ++instance) {
        CHECK(materialise(records, result, instance) == std::optional{column[instance]});
      }
    }
  }
}
