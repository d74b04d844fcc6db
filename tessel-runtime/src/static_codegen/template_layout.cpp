#include "tessel_runtime/static_codegen/template_layout.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

#include "tessel/integer.hpp"

namespace tessel_runtime::static_codegen {

namespace {

constexpr std::string_view RECORD_ADDRESS_OVERFLOW = "static template record address overflow";

// `cursor` aligned up to a word, then advanced by `bytes`; nothing on overflow.
std::optional<std::uint32_t> align_and_advance(std::uint32_t& cursor, std::uint32_t bytes) {
  const auto start = tessel::checked_align_up<std::uint32_t>(cursor, 4);
  if (!start) return std::nullopt;
  const auto end = tessel::checked_add(*start, bytes);
  if (!end) return std::nullopt;
  cursor = *end;
  return start;
}

}  // namespace

tessel::Result<TemplateLayout> layout_template_records(std::span<const RecordWords> rows, bool cyclic,
                                                       std::uint32_t cursor) {
  const std::size_t record_words = rows.empty() ? 0 : rows.front().size();
  // Patches and segment sizes are computed over `record_words` slots; a
  // longer or shorter record would lose or invent changes.
  if (std::any_of(rows.begin(), rows.end(), [&](const RecordWords& row) { return row.size() != record_words; })) {
    return tessel::fail("static template records have different lengths");
  }
  TESSEL_TRY(record_split, tessel::narrow<std::uint16_t>(record_words / 2 + record_words % 2));

  TemplateLayout layout;
  layout.record_split = record_split;
  layout.patches.reserve(rows.size() + (cyclic ? 1 : 0));
  layout.patches.emplace_back();
  for (std::size_t row = 0; row + 1 < rows.size(); ++row) {
    TESSEL_TRY(patch, template_record_patch(rows[row], rows[row + 1]));
    layout.patches.push_back(std::move(patch));
  }
  if (cyclic && !rows.empty()) {
    TESSEL_TRY(patch, template_record_patch(rows.back(), rows.front()));
    layout.patches.push_back(std::move(patch));
  }

  // 4 x a 16-bit split always fits 32 bits.
  const auto primary_address = align_and_advance(cursor, 4U * std::uint32_t{record_split});
  if (!primary_address) return tessel::fail("{}", RECORD_ADDRESS_OVERFLOW);
  TESSEL_TRY(secondary_slots, tessel::narrow<std::uint32_t>(record_words - record_split));
  const auto secondary_bytes = tessel::checked_mul<std::uint32_t>(secondary_slots, 4);
  const auto secondary_address =
      secondary_bytes ? align_and_advance(cursor, *secondary_bytes) : std::optional<std::uint32_t>{};
  if (!secondary_address) return tessel::fail("{}", RECORD_ADDRESS_OVERFLOW);

  const auto ranges = template_patch_ranges(record_words, record_split).ranges();
  layout.patch_addresses.reserve(layout.patches.size());
  for (const auto& patch : layout.patches) {
    PatchSegmentAddresses addresses{};
    for (std::size_t range = 0; range < ranges.size(); ++range) {
      TESSEL_TRY(words, tessel::narrow<std::uint32_t>(template_patch_storage_words_range(ranges[range], patch)));
      const auto bytes = tessel::checked_mul<std::uint32_t>(words, 4);
      if (!bytes) return tessel::fail("static template patch size overflow");
      const auto address = align_and_advance(cursor, *bytes);
      if (!address) return tessel::fail("static template patch address overflow");
      addresses[range] = *address;
    }
    layout.patch_addresses.push_back(addresses);
  }

  layout.record_addresses.assign(rows.size(), *primary_address);
  layout.record_secondary_addresses.assign(rows.size(), *secondary_address);
  layout.cursor = cursor;
  return layout;
}

}  // namespace tessel_runtime::static_codegen
