#pragma once
// Template values and the per-instance record builder.
//
// A template is one piece of shared code run once per instance. Every operand
// of that code is a `TemplateValue`: a constant, a slot of the current
// instance's record, such a slot plus a fixed offset, or an entry of a word
// list shared by all instances.
//
// `TemplateRecords` decides, column by column (one word per instance, in
// instance order), which form an operand takes, and collects the records and
// the shared list while doing so:
//   1. a column whose words are all equal becomes a `Constant` (numbers below
//      0x100000) or a `Shared` entry; it never takes a slot;
//   2. an exact repeat of an earlier column reuses that column's slot;
//   3. a numeric column equal to an earlier one plus a constant becomes a
//      `RecordOffset` when the add-immediate steps of the offset cost less
//      than the one word per instance a new slot would cost;
//   4. anything else takes the next slot.
// Slots and shared indexes are numbered in request order from 0, so the same
// requests always give the same records. The hash maps are only looked up.
// A request that fails (more than 65,536 slots or shared words, or a column
// whose length is not the number of instances) leaves the builder unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "tessel/error.hpp"

namespace tessel_runtime::static_codegen {

// Values below this bound can be materialised as a `Constant`.
inline constexpr std::uint32_t TEMPLATE_CONSTANT_LIMIT = 0x100000;

// How one operand of the shared code obtains its value for the instance being run.
struct TemplateValue {
  // The same value for every instance, below `TEMPLATE_CONSTANT_LIMIT`.
  struct Constant {
    std::uint32_t value = 0;
    bool operator==(const Constant&) const = default;
  };
  // The word at `slot` of the current instance's record.
  struct Record {
    std::uint16_t slot = 0;
    bool operator==(const Record&) const = default;
  };
  // The word at `slot` of the current instance's record plus `offset`, applied
  // in `add_immediate_steps(offset)` steps.
  struct RecordOffset {
    std::uint16_t slot = 0;
    std::int32_t offset = 0;
    bool operator==(const RecordOffset&) const = default;
  };
  // The word at `index` of the template's shared word list.
  struct Shared {
    std::uint16_t index = 0;
    bool operator==(const Shared&) const = default;
  };

  using Value = std::variant<Constant, Record, RecordOffset, Shared>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  TemplateValue(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }

  bool operator==(const TemplateValue&) const = default;
};

// One word of a record or of the shared list.
struct StaticTemplateRecordWord {
  // A plain numeric word.
  struct Value {
    std::uint32_t value = 0;
    bool operator==(const Value&) const = default;
  };
  // A word standing for a named symbol (a kernel entry), resolved later.
  struct Symbol {
    std::string name;
    bool operator==(const Symbol&) const = default;
  };

  using Word = std::variant<Value, Symbol>;
  Word word;

  template <class V>
    requires std::is_constructible_v<Word, V>
  StaticTemplateRecordWord(V variant) : word(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&word);
  }

  bool operator==(const StaticTemplateRecordWord&) const = default;
};

using RecordWord = StaticTemplateRecordWord;
using RecordWords = std::vector<StaticTemplateRecordWord>;  // one record, or one column

// `Value` words of `values`, in order.
[[nodiscard]] RecordWords value_words(const std::vector<std::uint32_t>& values);

// Hashes of words and of word and delta lists, for the interning tables.
struct RecordWordHash {
  [[nodiscard]] std::size_t operator()(const StaticTemplateRecordWord& word) const noexcept;
};
struct RecordWordsHash {
  [[nodiscard]] std::size_t operator()(const RecordWords& words) const noexcept;
};
struct AffineKeyHash {
  [[nodiscard]] std::size_t operator()(const std::vector<std::int64_t>& deltas) const noexcept;
};

// The slot holding a numeric column and that column's first value.
struct AffineColumn {
  std::uint16_t slot = 0;
  std::uint32_t first = 0;
};

struct TemplateRecords {
  // Row i is the record of instance i; word s of every row belongs to slot s.
  std::vector<RecordWords> rows;
  // Which slot holds exactly this column.
  std::unordered_map<RecordWords, std::uint16_t, RecordWordsHash> columns;
  // Affine key (each value minus the first) to the latest numeric column with it.
  std::unordered_map<std::vector<std::int64_t>, AffineColumn, AffineKeyHash> affine_columns;
  // The shared word list; `Shared{i}` names its word i.
  RecordWords shared_words;
  // Interning table for `shared_words`.
  std::unordered_map<StaticTemplateRecordWord, std::uint16_t, RecordWordHash> shared_values;

  // A builder for `instances` empty records.
  explicit TemplateRecords(std::uint64_t instances);

  // Number of instances (rows).
  [[nodiscard]] std::size_t instances() const noexcept { return rows.size(); }
  // Record size in words.
  [[nodiscard]] std::size_t record_words() const noexcept { return rows.empty() ? 0 : rows.front().size(); }

  // The value of a numeric column, one value per instance.
  [[nodiscard]] tessel::Result<TemplateValue> values(std::vector<std::uint32_t> column);
  // The value of a column that may hold symbols; never a `RecordOffset`.
  [[nodiscard]] tessel::Result<TemplateValue> words(const RecordWords& column);
  // Interns one shared word; always `Shared`.
  [[nodiscard]] tessel::Result<TemplateValue> shared(const StaticTemplateRecordWord& word);
  // Appends `words` as a new slot, unconditionally, and returns the slot.
  [[nodiscard]] tessel::Result<std::uint16_t> push_column(const RecordWords& column);
};

// Number of add-immediate steps (each adds a signed 16-bit immediate) needed
// to add `offset`: ceil(offset / 32767) upwards, ceil(-offset / 32768) downwards.
[[nodiscard]] constexpr std::uint64_t add_immediate_steps(std::int32_t offset) noexcept {
  if (offset >= 0) return (static_cast<std::uint64_t>(offset) + 32766U) / 32767U;
  const auto magnitude = static_cast<std::uint64_t>(-static_cast<std::int64_t>(offset));
  return (magnitude + 32767U) / 32768U;
}

}  // namespace tessel_runtime::static_codegen

// Debug texts: Constant(16), Record(0), RecordOffset { slot: 0, offset: 1 },
// Shared(2); Value(10), Symbol("tessel_stack_add_f16").
template <>
struct fmt::formatter<tessel_runtime::static_codegen::TemplateValue> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  fmt::format_context::iterator format(const tessel_runtime::static_codegen::TemplateValue& value,
                                       fmt::format_context& context) const;
};

template <>
struct fmt::formatter<tessel_runtime::static_codegen::StaticTemplateRecordWord> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  fmt::format_context::iterator format(const tessel_runtime::static_codegen::StaticTemplateRecordWord& word,
                                       fmt::format_context& context) const;
};
