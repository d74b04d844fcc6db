#include "tessel_runtime/static_codegen/template_patches.hpp"

#include <algorithm>

#include "tessel/integer.hpp"
#include "tessel/text.hpp"

namespace tessel_runtime::static_codegen {

namespace {

constexpr std::uint64_t ceil_div(std::uint64_t value, std::uint64_t divisor) noexcept {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// Offsets from the start of `slots` of the patch's changes inside it.
template <class F>
void for_each_change_in(SlotRange slots, std::span<const StaticTemplatePatchChange> patch, F&& visit) {
  for (const auto& change : patch) {
    if (slots.contains(change.slot)) visit(change.slot - slots.start, change.change);
  }
}

}  // namespace

tessel::Result<StaticTemplatePatch> template_record_patch(std::span<const StaticTemplateRecordWord> previous,
                                                          std::span<const StaticTemplateRecordWord> next) {
  StaticTemplatePatch patch;
  const std::size_t slots = std::min(previous.size(), next.size());
  for (std::size_t slot = 0; slot < slots; ++slot) {
    const auto& before = previous[slot];
    const auto& after = next[slot];
    if (before == after) continue;
    TESSEL_TRY(narrow_slot, tessel::narrow<std::uint16_t>(slot));
    const auto* before_value = before.get_if<StaticTemplateRecordWord::Value>();
    const auto* after_value = after.get_if<StaticTemplateRecordWord::Value>();
    std::optional<std::int16_t> delta;
    if (before_value != nullptr && after_value != nullptr) {
      delta = tessel::try_narrow<std::int16_t>(static_cast<std::int64_t>(after_value->value) -
                                               static_cast<std::int64_t>(before_value->value));
    }
    if (delta) {
      patch.push_back({narrow_slot, StaticTemplatePatchValue::Delta{*delta}});
    } else {
      patch.push_back({narrow_slot, StaticTemplatePatchValue::Word{after}});
    }
  }
  return patch;
}

std::pair<SlotRange, SlotRange> halves(SlotRange range) noexcept {
  const std::uint64_t length = range.length();
  const std::uint64_t local_midpoint = std::min(ceil_div(length / 2, PATCH_SEGMENT_SLOTS) * PATCH_SEGMENT_SLOTS, length);
  const std::uint64_t midpoint = range.start + local_midpoint;
  return {SlotRange{range.start, midpoint}, SlotRange{midpoint, range.end}};
}

TemplatePatchRanges template_patch_ranges(std::uint64_t record_words, std::uint64_t split) noexcept {
  const auto [primary_first, primary_second] = halves(SlotRange{0, split});
  const auto [secondary_first, secondary_second] = halves(SlotRange{split, record_words});
  return {primary_first, primary_second, secondary_first, secondary_second};
}

std::optional<SlotRange> template_patch_group_span(SlotRange slots,
                                                   std::span<const StaticTemplatePatchChange> patch) noexcept {
  std::optional<std::uint64_t> first;
  std::uint64_t last = 0;
  for_each_change_in(slots, patch, [&](std::uint64_t offset, const StaticTemplatePatchValue&) {
    first = std::min(first.value_or(offset), offset);
    last = std::max(last, offset);
  });
  if (!first) return std::nullopt;
  // `last` is below the 2^16 slot numbers, so rounding it up cannot overflow.
  return SlotRange{*first / PATCH_SEGMENT_SLOTS * PATCH_SEGMENT_SLOTS,
                   std::min(ceil_div(last + 1, PATCH_SEGMENT_SLOTS) * PATCH_SEGMENT_SLOTS, slots.length())};
}

std::uint64_t template_patch_storage_words_range(SlotRange slots,
                                                 std::span<const StaticTemplatePatchChange> patch) noexcept {
  std::uint64_t narrow = 0;
  std::uint64_t wide = 0;
  for_each_change_in(slots, patch, [&](std::uint64_t, const StaticTemplatePatchValue& change) {
    if (change.get_if<StaticTemplatePatchValue::Delta>() != nullptr) {
      ++narrow;
    } else {
      ++wide;
    }
  });
  const auto span = template_patch_group_span(slots, patch);
  if (!span) return 0;
  return 1 + ceil_div(span->length(), PATCH_SEGMENT_SLOTS) + ceil_div(narrow + wide, PATCH_SEGMENT_SLOTS) +
         ceil_div(narrow, 2) + wide;
}

}  // namespace tessel_runtime::static_codegen

auto fmt::formatter<tessel_runtime::static_codegen::StaticTemplatePatchValue>::format(
    const tessel_runtime::static_codegen::StaticTemplatePatchValue& value, fmt::format_context& context) const
    -> fmt::format_context::iterator {
  using P = tessel_runtime::static_codegen::StaticTemplatePatchValue;
  return std::visit(tessel::Overloaded{
                        [&](const P::Word& word) { return fmt::format_to(context.out(), "Word({})", word.word); },
                        [&](const P::Delta& delta) { return fmt::format_to(context.out(), "Delta({})", delta.delta); },
                    },
                    value.value);
}
