// Record patches, patch ranges and storage sizes, and the record and patch
// layout in tile memory.
#include <catch2/catch.hpp>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tessel_runtime/static_codegen/template_layout.hpp"
#include "tessel_runtime/static_codegen/template_patches.hpp"

using namespace static_codegen_test;
using tessel_runtime::static_codegen::halves;
using tessel_runtime::static_codegen::layout_template_records;
using tessel_runtime::static_codegen::PatchSegmentAddresses;
using tessel_runtime::static_codegen::RecordWords;
using tessel_runtime::static_codegen::SlotRange;
using tessel_runtime::static_codegen::StaticTemplatePatch;
using tessel_runtime::static_codegen::template_patch_group_span;
using tessel_runtime::static_codegen::template_patch_ranges;
using tessel_runtime::static_codegen::template_patch_storage_words_range;
using tessel_runtime::static_codegen::template_record_patch;
using tessel_runtime::static_codegen::TemplatePatchRanges;

namespace {

// The records of the rotated-work template: sender instruction, plan word 2,
// plan address, activity, kernel, second input address.
RecordWords first_record() {
  return {value(0x78001238), value(3), value(0x52000), value(1), symbol("tessel_stack_gemm_f16_accumulate"),
          value(0x54000)};
}
RecordWords second_record() {
  return {value(0), value(4), value(0x52020), value(0), symbol("tessel_stack_add_f16"), value(0x5C000)};
}

}  // namespace

TEST_CASE("a record patch lists every changed slot as a delta or a whole word") {
  CHECK(template_record_patch(first_record(), second_record()).value() ==
        StaticTemplatePatch{word(0, value(0)), delta(1, 1), delta(2, 32), delta(3, -1),
                            word(4, symbol("tessel_stack_add_f16")), word(5, value(0x5C000))});
  CHECK(template_record_patch(second_record(), first_record()).value() ==
        StaticTemplatePatch{word(0, value(0x78001238)), delta(1, -1), delta(2, -32), delta(3, 1),
                            word(4, symbol("tessel_stack_gemm_f16_accumulate")), delta(5, -32768)});
  CHECK(template_record_patch(first_record(), first_record()).value().empty());

  SECTION("deltas run from -32768 to 32767, across the whole 32-bit range") {
    const auto [before, after, expected] = GENERATE(table<std::uint32_t, std::uint32_t, std::string>({
        {100, 32867, "(0, Delta(32767))"},
        {100, 32868, "(0, Word(Value(32868)))"},
        {32868, 100, "(0, Delta(-32768))"},
        {32869, 100, "(0, Word(Value(100)))"},
        {0, 0xFFFFFFFF, "(0, Word(Value(4294967295)))"},
        {0xFFFFFFFF, 0xFFFF8000, "(0, Delta(-32767))"},
        {0xFFFFFFFF, 0, "(0, Word(Value(0)))"},
    }));
    CAPTURE(before, after);
    const auto patch = template_record_patch(RecordWords{value(before)}, RecordWords{value(after)}).value();
    CHECK(fmt::format("{}", fmt::join(patch, ", ")) == expected);
  }

  SECTION("symbols are replaced whole, even by a number") {
    CHECK(template_record_patch(RecordWords{symbol("a"), value(1)}, RecordWords{value(1), symbol("a")}).value() ==
          StaticTemplatePatch{word(0, value(1)), word(1, symbol("a"))});
  }

  SECTION("the shorter record bounds the pairing") {
    CHECK(template_record_patch(RecordWords{value(1), value(2)}, RecordWords{value(3)}).value() ==
          StaticTemplatePatch{delta(0, 2)});
  }

  SECTION("a change beyond slot 65535 cannot be encoded") {
    RecordWords before(0x10001, value(0));
    RecordWords after = before;
    after.back() = value(1);
    CHECK(error_of(template_record_patch(before, after)) == "out of range integral type conversion attempted");
    after = before;
    after[0xFFFF] = value(1);
    CHECK(template_record_patch(before, after).value() == StaticTemplatePatch{delta(0xFFFF, 1)});
  }
}

TEST_CASE("halves cut a range at a 32-slot midpoint from its start") {
  const auto [start, end, midpoint] = GENERATE(table<std::uint64_t, std::uint64_t, std::uint64_t>({
      {0, 0, 0},
      {5, 6, 5},
      {10, 12, 12},
      {0, 32, 32},
      {0, 33, 32},
      {0, 65, 32},
      {0, 66, 64},
      {7, 136, 71},
      {100, 230, 196},
      {0, 130, 96},
  }));
  CAPTURE(start, end);
  const auto [first, second] = halves(SlotRange{start, end});
  CHECK(first == SlotRange{start, midpoint});
  CHECK(second == SlotRange{midpoint, end});
}

TEST_CASE("the four patch ranges of a record") {
  const auto [record_words, split, expected] = GENERATE(table<std::uint64_t, std::uint64_t, TemplatePatchRanges>({
      {6, 3, {{0, 3}, {3, 3}, {3, 6}, {6, 6}}},
      {1, 1, {{0, 0}, {0, 1}, {1, 1}, {1, 1}}},
      {100, 50, {{0, 32}, {32, 50}, {50, 82}, {82, 100}}},
      {200, 100, {{0, 64}, {64, 100}, {100, 164}, {164, 200}}},
      {0, 0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
  }));
  CAPTURE(record_words, split);
  CHECK(template_patch_ranges(record_words, split) == expected);
}

TEST_CASE("patch spans and storage words count only the groups that hold changes") {
  const StaticTemplatePatch patch{delta(131, 4), word(134, value(9))};
  const auto [start, end, span_start, span_end, words] =
      GENERATE(table<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>({
          {64, 256, 64, 96, 5},
          {131, 135, 0, 4, 5},
          {120, 133, 0, 13, 4},  // only the delta at 131: 1 + 1 + 1 + 1
          {132, 140, 0, 8, 4},   // only the word at 134: 1 + 1 + 1 + 1
          {0, 131, 0, 0, 0},
          {135, 1000, 0, 0, 0},
      }));
  CAPTURE(start, end);
  const SlotRange slots{start, end};
  const auto span = template_patch_group_span(slots, patch);
  if (span_start == span_end) {
    CHECK_FALSE(span.has_value());
  } else {
    CHECK(span == std::optional{SlotRange{span_start, span_end}});
  }
  CHECK(template_patch_storage_words_range(slots, patch) == words);
  CHECK(template_patch_storage_words_range(slots, {}) == 0);
}

TEST_CASE("storage words: a span word per 32 slots, a word per 32 changes, per two deltas and per wide change") {
  StaticTemplatePatch patch;
  for (std::uint16_t slot = 0; slot < 100; slot += 2) patch.push_back(delta(slot, 1));  // 50 deltas in [0, 99)
  patch.push_back(word(100, symbol("k")));
  // Span [0, 101) of a 128-slot range: 4 groups; 51 changes: 2 words; 50 deltas: 25 words; 1 wide word.
  CHECK(template_patch_group_span(SlotRange{0, 128}, patch) == std::optional{SlotRange{0, 128}});
  CHECK(template_patch_storage_words_range(SlotRange{0, 128}, patch) == 1 + 4 + 2 + 25 + 1);
  // Clipped to a 101-slot range the span still covers 4 groups.
  CHECK(template_patch_group_span(SlotRange{0, 101}, patch) == std::optional{SlotRange{0, 101}});
  CHECK(template_patch_storage_words_range(SlotRange{0, 101}, patch) == 1 + 4 + 2 + 25 + 1);
}

TEST_CASE("records and patches of the rotated-work template are laid out from the cursor") {
  const std::vector<RecordWords> rows{first_record(), second_record()};
  const auto layout = layout_template_records(rows, true, 0x53002).value();
  const std::uint32_t p = 0x53004;
  CHECK(layout.record_split == 3);
  CHECK(layout.record_addresses == std::vector<std::uint32_t>{p, p});
  CHECK(layout.record_secondary_addresses == std::vector<std::uint32_t>{p + 12, p + 12});
  REQUIRE(layout.patches.size() == 3);
  CHECK(layout.patches[0].empty());
  CHECK(layout.patches[1] == template_record_patch(rows[0], rows[1]).value());
  CHECK(layout.patches[2] == template_record_patch(rows[1], rows[0]).value());
  CHECK(layout.patch_addresses == std::vector<PatchSegmentAddresses>{{p + 24, p + 24, p + 24, p + 24},
                                                                       {p + 24, p + 44, p + 44, p + 68},
                                                                       {p + 68, p + 88, p + 88, p + 108}});
  CHECK(layout.cursor == p + 108);

  const auto open = layout_template_records(rows, false, 0x53002).value();
  CHECK(open.patches.size() == 2);
  CHECK(open.cursor == p + 68);
}

TEST_CASE("records of no slots and of one slot") {
  SECTION("no slots: every address is the aligned cursor") {
    const std::vector<RecordWords> rows(3);
    const auto layout = layout_template_records(rows, true, 0x60001).value();
    CHECK(layout.record_split == 0);
    CHECK(layout.record_addresses == std::vector<std::uint32_t>(3, 0x60004));
    CHECK(layout.record_secondary_addresses == std::vector<std::uint32_t>(3, 0x60004));
    CHECK(layout.patches == std::vector<StaticTemplatePatch>(4));
    CHECK(layout.patch_addresses == std::vector<PatchSegmentAddresses>(4, {0x60004, 0x60004, 0x60004, 0x60004}));
    CHECK(layout.cursor == 0x60004);
  }

  SECTION("one slot: the secondary part is empty") {
    const std::vector<RecordWords> rows{{value(1)}, {value(2)}};
    const auto layout = layout_template_records(rows, false, 0x60000).value();
    CHECK(layout.record_split == 1);
    CHECK(layout.record_secondary_addresses == std::vector<std::uint32_t>(2, 0x60004));
    // The one slot lies in the primary second half: 1 + 1 + 1 + 1 words there.
    CHECK(layout.patch_addresses ==
          std::vector<PatchSegmentAddresses>{{0x60004, 0x60004, 0x60004, 0x60004}, {0x60004, 0x60004, 0x60014, 0x60014}});
    CHECK(layout.cursor == 0x60014);
  }

  SECTION("no instances at all") {
    const auto layout = layout_template_records({}, true, 0x60000).value();
    CHECK(layout.patches == std::vector<StaticTemplatePatch>(1));
    CHECK(layout.record_addresses.empty());
    CHECK(layout.cursor == 0x60000);
  }
}

TEST_CASE("layouts that would pass the top of the address space are refused") {
  const std::vector<RecordWords> empty_rows(2);
  const std::vector<RecordWords> six{first_record(), second_record()};
  const std::vector<RecordWords> two{{value(1), value(5)}, {value(2), value(5)}};
  const auto layout_error = [](const std::vector<RecordWords>& rows, std::uint32_t cursor) {
    return error_of(layout_template_records(rows, true, cursor));
  };
  // Aligning a cursor within 3 bytes of 2^32 would wrap the records to address 0.
  CHECK(layout_error(empty_rows, 0xFFFFFFFD) == "static template record address overflow");
  CHECK(layout_template_records(empty_rows, true, 0xFFFFFFFC).value().cursor == 0xFFFFFFFC);
  CHECK(layout_error(six, 0xFFFFFFF4) == "static template record address overflow");
  CHECK(layout_error(six, 0xFFFFFFE8) == "static template record address overflow");
  // Records end at 0xFFFFFFFC; the first non-empty patch segment would pass 2^32.
  CHECK(layout_error(two, 0xFFFFFFF4) == "static template patch address overflow");
  CHECK(layout_template_records(two, false, 0xFFFFFFE4).value().cursor == 0xFFFFFFFC);
}

TEST_CASE("records of different lengths are refused") {
  const std::vector<RecordWords> rows{{value(1), value(2)}, {value(1)}};
  CHECK(error_of(layout_template_records(rows, false, 0)) == "static template records have different lengths");
}

namespace {

// A random word: mostly numbers near a few bases (so deltas of both signs and
// at the 16-bit limits occur), sometimes far-off numbers or symbols.
tessel_runtime::static_codegen::RecordWord random_word(std::mt19937& random) {
  static constexpr std::uint32_t bases[] = {0, 0x52000, 0x7FFF, 0xFFFF8000, 0xFFFFFFFF};
  switch (std::uniform_int_distribution<int>(0, 9)(random)) {
    case 0: return symbol(fmt::format("tessel_stack_k{}", std::uniform_int_distribution<int>(0, 2)(random)));
    case 1: return value(static_cast<std::uint32_t>(random()));
    default: {
      const std::uint32_t base = bases[std::uniform_int_distribution<std::size_t>(0, std::size(bases) - 1)(random)];
      const auto offset = std::uniform_int_distribution<std::int64_t>(-40000, 40000)(random);
      const std::int64_t number = std::clamp<std::int64_t>(std::int64_t{base} + offset, 0, UINT32_MAX);
      return value(static_cast<std::uint32_t>(number));
    }
  }
}

}  // namespace

TEST_CASE("property: patch k turns record k - 1 into record k, the cyclic patch record n - 1 into record 0") {
  std::mt19937 random(20260512);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t instances = std::uniform_int_distribution<std::size_t>(1, 6)(random);
    const std::size_t slots = std::uniform_int_distribution<std::size_t>(0, trial % 10 == 0 ? 400 : 70)(random);
    std::vector<RecordWords> rows(instances, RecordWords(slots, value(0)));
    for (auto& row : rows) {
      for (auto& slot_word : row) slot_word = random_word(random);
    }
    // Keep some slots equal across instances, as real records do.
    for (std::size_t slot = 0; slot < slots; slot += 3) {
      for (auto& row : rows) row[slot] = rows[0][slot];
    }
    const bool cyclic = trial % 2 == 0;
    const std::uint32_t cursor = std::uniform_int_distribution<std::uint32_t>(0x4C000, 0xE0000)(random);
    CAPTURE(trial, instances, slots, cyclic, cursor);

    const auto layout = layout_template_records(rows, cyclic, cursor).value();
    REQUIRE(layout.patches.size() == instances + (cyclic ? 1 : 0));
    CHECK(layout.patches[0].empty());
    for (std::size_t k = 1; k < layout.patches.size(); ++k) {
      CAPTURE(k);
      const auto& from = rows[k - 1];
      const auto& to = rows[k % instances];
      CHECK(apply_patch(from, layout.patches[k]) == std::optional{to});
      // Only changed slots are listed, each once and in order.
      for (std::size_t change = 0; change < layout.patches[k].size(); ++change) {
        const auto slot = layout.patches[k][change].slot;
        CHECK(from[slot] != to[slot]);
        if (change > 0) CHECK(layout.patches[k][change - 1].slot < slot);
      }
    }

    // The pieces follow one another from the aligned cursor, each a multiple
    // of 4 in size, with no room left between them.
    const std::uint32_t start = (cursor + 3) / 4 * 4;
    const auto split = layout.record_split;
    CHECK(split == (slots + 1) / 2);
    CHECK(layout.record_addresses == std::vector<std::uint32_t>(instances, start));
    std::uint64_t expected = start + 4 * std::uint64_t{split};
    CHECK(layout.record_secondary_addresses == std::vector<std::uint32_t>(instances, static_cast<std::uint32_t>(expected)));
    expected += 4 * (slots - split);
    const auto ranges = template_patch_ranges(slots, split).ranges();
    for (std::size_t patch = 0; patch < layout.patches.size(); ++patch) {
      for (std::size_t range = 0; range < 4; ++range) {
        CHECK(layout.patch_addresses[patch][range] == expected);
        expected += 4 * template_patch_storage_words_range(ranges[range], layout.patches[patch]);
      }
    }
    CHECK(layout.cursor == expected);
  }
}
