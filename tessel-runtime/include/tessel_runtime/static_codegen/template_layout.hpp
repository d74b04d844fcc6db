#pragma once
// Tile-memory layout of one template's record buffer and record patches.
//
// A template keeps a single record buffer, rewritten between instances by
// record patches. From the instances' records (one row per instance, all of
// the same length) `layout_template_records` computes:
//   1. `record_split` = ceil(record_words / 2) slots in the primary part;
//   2. the patches: patch 0 is empty, patch k turns record k - 1 into record
//      k, and with `cyclic` one more patch turns the last record back into
//      the first;
//   3. the addresses, from `cursor` and in this order, each aligned up to a
//      multiple of 4: the primary part (4 x record_split bytes), the
//      secondary part, then for each patch its four segments in patch-range
//      order (4 x storage words each; an empty segment takes no space).
// It returns the advanced cursor. Every address computation that would pass
// 2^32 - 1, including aligning the cursor, is reported instead of wrapping;
// on failure nothing is returned.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_runtime/static_codegen/template_patches.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace tessel_runtime::static_codegen {

// Byte addresses of a patch's four segments, in patch-range order.
using PatchSegmentAddresses = std::array<std::uint32_t, 4>;

struct TemplateLayout {
  std::uint16_t record_split = 0;                          // slots in the primary part
  std::vector<std::uint32_t> record_addresses;             // per instance: primary part address (all equal)
  std::vector<std::uint32_t> record_secondary_addresses;   // per instance: secondary part address (all equal)
  std::vector<StaticTemplatePatch> patches;                // in application order
  std::vector<PatchSegmentAddresses> patch_addresses;      // per patch, its four segment addresses
  std::uint32_t cursor = 0;                                // first byte after the last segment
};

[[nodiscard]] tessel::Result<TemplateLayout> layout_template_records(std::span<const RecordWords> rows, bool cyclic,
                                                                     std::uint32_t cursor);

}  // namespace tessel_runtime::static_codegen
