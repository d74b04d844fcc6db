#pragma once
// Record patches: what turns one instance's record into the next one's.
//
// A template keeps one record buffer in tile memory and rewrites it between
// instances. `template_record_patch` lists, in slot order, every slot whose
// word changes: a 16-bit `Delta` when both words are numbers that differ by
// -32768 to 32767, else the whole new `Word`. It is linear in the record
// length.
//
// For storage the record is divided at `split` into a primary part
// [0, split) and a secondary part [split, record_words); each part is cut in
// two at a midpoint aligned to 32 slots from its start, giving four patch
// ranges. Within a range, slots form segment groups of 32 counted from the
// range's start; a patch's share of a range is stored only for the groups
// from the first through the last group holding a change. The range
// functions do not fail.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "tessel/error.hpp"
#include "tessel/range.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace tessel_runtime::static_codegen {

using tessel::StepRange;
using SlotRange = tessel::Range<std::uint64_t>;  // record slots, half-open

// Slots per segment group of a patch range.
inline constexpr std::uint64_t PATCH_SEGMENT_SLOTS = 32;

// How one slot changes.
struct StaticTemplatePatchValue {
  // Replace the slot's word (a wide change).
  struct Word {
    StaticTemplateRecordWord word;
    bool operator==(const Word&) const = default;
  };
  // Add to the slot's numeric word (a narrow change).
  struct Delta {
    std::int16_t delta = 0;
    bool operator==(const Delta&) const = default;
  };

  using Value = std::variant<Word, Delta>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  StaticTemplatePatchValue(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }

  bool operator==(const StaticTemplatePatchValue&) const = default;
};

// One changed slot of a patch.
struct StaticTemplatePatchChange {
  std::uint16_t slot = 0;          // record slot
  StaticTemplatePatchValue change;  // how it changes

  bool operator==(const StaticTemplatePatchChange&) const = default;
};

// Changed slots in increasing slot order; empty when nothing changes.
using StaticTemplatePatch = std::vector<StaticTemplatePatchChange>;

// The four patch ranges, in order: primary first half, primary second half,
// secondary first half, secondary second half.
struct TemplatePatchRanges {
  SlotRange primary_first;
  SlotRange primary_second;
  SlotRange secondary_first;
  SlotRange secondary_second;

  [[nodiscard]] std::array<SlotRange, 4> ranges() const noexcept {
    return {primary_first, primary_second, secondary_first, secondary_second};
  }
  bool operator==(const TemplatePatchRanges&) const = default;
};

// The patch that turns `previous` into `next` (paired slot by slot, the
// shorter record bounding the pairing).
[[nodiscard]] tessel::Result<StaticTemplatePatch> template_record_patch(std::span<const StaticTemplateRecordWord> previous,
                                                                        std::span<const StaticTemplateRecordWord> next);

// The two halves of `range`, cut ceil(floor(length / 2) / 32) x 32 slots
// after its start (no further than its end): 2 to 32 slots lie wholly in the
// first half, 1 slot wholly in the second.
[[nodiscard]] std::pair<SlotRange, SlotRange> halves(SlotRange range) noexcept;

// `halves` of [0, split), then of [split, record_words).
[[nodiscard]] TemplatePatchRanges template_patch_ranges(std::uint64_t record_words, std::uint64_t split) noexcept;

// The segment groups of `slots` from the one holding the patch's first change
// in `slots` through the one holding its last, relative to the start of
// `slots` and clipped to its length; nothing when no change falls in `slots`.
[[nodiscard]] std::optional<SlotRange> template_patch_group_span(SlotRange slots,
                                                                 std::span<const StaticTemplatePatchChange> patch) noexcept;

// 32-bit words that the part of `patch` inside `slots` takes in tile memory:
// 1 + one per 32 slots of the group span + one per 32 changes + one per two
// deltas + one per wide change; 0 when no change falls in `slots`.
[[nodiscard]] std::uint64_t template_patch_storage_words_range(SlotRange slots,
                                                               std::span<const StaticTemplatePatchChange> patch) noexcept;

}  // namespace tessel_runtime::static_codegen

// Debug texts: Word(Value(9)), Delta(-1), and (131, Delta(4)) for a change.
template <>
struct fmt::formatter<tessel_runtime::static_codegen::StaticTemplatePatchValue> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  fmt::format_context::iterator format(const tessel_runtime::static_codegen::StaticTemplatePatchValue& value,
                                       fmt::format_context& context) const;
};

template <>
struct fmt::formatter<tessel_runtime::static_codegen::StaticTemplatePatchChange> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  fmt::format_context::iterator format(const tessel_runtime::static_codegen::StaticTemplatePatchChange& change,
                                       fmt::format_context& context) const {
    return fmt::format_to(context.out(), "({}, {})", change.slot, change.change);
  }
};
