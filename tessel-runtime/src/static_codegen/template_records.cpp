#include "tessel_runtime/static_codegen/template_records.hpp"

#include <algorithm>
#include <functional>
#include <limits>

#include "tessel/integer.hpp"
#include "tessel/text.hpp"

namespace tessel_runtime::static_codegen {

namespace {

// A 64-bit finaliser with full avalanche, so that small, similar words and
// lists (addresses a few bytes apart, deltas 0, 1, 2, ...) spread over buckets.
constexpr std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30U;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27U;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31U;
  return x;
}

// Order-sensitive combination of a running hash and the next element's hash.
constexpr std::uint64_t combine(std::uint64_t seed, std::uint64_t element) noexcept {
  return mix(seed + 0x9E3779B97F4A7C15ULL + element);
}

std::uint64_t hash_word(const StaticTemplateRecordWord& word) noexcept {
  const std::uint64_t content = std::visit(
      tessel::Overloaded{
          [](const StaticTemplateRecordWord::Value& value) -> std::uint64_t { return mix(value.value); },
          [](const StaticTemplateRecordWord::Symbol& symbol) -> std::uint64_t {
            return std::hash<std::string>{}(symbol.name);
          },
      },
      word.word);
  return combine(word.word.index(), content);
}

tessel::Error column_length_error(std::size_t words, std::size_t instances) {
  return tessel::Error{fmt::format("template record column has {} words for {} instances", words, instances)};
}

// A column must hold one word per instance, and at least one word when its
// first word decides the result.
tessel::Result<bool> check_column(std::size_t words, std::size_t instances, bool needs_first) {
  if (words != instances) return tessel::unexpected(column_length_error(words, instances));
  if (needs_first && words == 0) return tessel::fail("template record column is empty");
  return true;
}

template <class T>
bool all_equal(const std::vector<T>& column) {
  return std::adjacent_find(column.begin(), column.end(), std::not_equal_to<>{}) == column.end();
}

}  // namespace

RecordWords value_words(const std::vector<std::uint32_t>& values) {
  RecordWords words;
  words.reserve(values.size());
  for (const std::uint32_t value : values) words.emplace_back(StaticTemplateRecordWord::Value{value});
  return words;
}

std::size_t RecordWordHash::operator()(const StaticTemplateRecordWord& word) const noexcept {
  return static_cast<std::size_t>(hash_word(word));
}

std::size_t RecordWordsHash::operator()(const RecordWords& words) const noexcept {
  std::uint64_t hash = words.size();
  for (const auto& word : words) hash = combine(hash, hash_word(word));
  return static_cast<std::size_t>(hash);
}

std::size_t AffineKeyHash::operator()(const std::vector<std::int64_t>& deltas) const noexcept {
  std::uint64_t hash = deltas.size();
  for (const std::int64_t delta : deltas) hash = combine(hash, mix(static_cast<std::uint64_t>(delta)));
  return static_cast<std::size_t>(hash);
}

TemplateRecords::TemplateRecords(std::uint64_t instances) : rows(instances) {}

tessel::Result<std::uint16_t> TemplateRecords::push_column(const RecordWords& column) {
  TESSEL_TRY_VOID(check_column(column.size(), rows.size(), false));
  TESSEL_TRY(slot, tessel::narrow<std::uint16_t>(record_words()));
  for (std::size_t instance = 0; instance < rows.size(); ++instance) rows[instance].push_back(column[instance]);
  return slot;
}

tessel::Result<TemplateValue> TemplateRecords::shared(const StaticTemplateRecordWord& word) {
  if (const auto found = shared_values.find(word); found != shared_values.end()) {
    return TemplateValue::Shared{found->second};
  }
  TESSEL_TRY(index, tessel::narrow<std::uint16_t>(shared_words.size()));
  shared_words.push_back(word);
  shared_values.emplace(word, index);
  return TemplateValue::Shared{index};
}

tessel::Result<TemplateValue> TemplateRecords::words(const RecordWords& column) {
  TESSEL_TRY_VOID(check_column(column.size(), rows.size(), true));
  if (all_equal(column)) return shared(column.front());
  if (const auto found = columns.find(column); found != columns.end()) return TemplateValue::Record{found->second};
  TESSEL_TRY(slot, push_column(column));
  columns.emplace(column, slot);
  return TemplateValue::Record{slot};
}

tessel::Result<TemplateValue> TemplateRecords::values(std::vector<std::uint32_t> column) {
  TESSEL_TRY_VOID(check_column(column.size(), rows.size(), true));
  const std::uint32_t first = column.front();
  if (all_equal(column)) {
    if (first < TEMPLATE_CONSTANT_LIMIT) return TemplateValue::Constant{first};
    return shared(StaticTemplateRecordWord::Value{first});
  }

  RecordWords words_of_column = value_words(column);
  if (const auto found = columns.find(words_of_column); found != columns.end()) {
    return TemplateValue::Record{found->second};
  }

  std::vector<std::int64_t> affine_key;
  affine_key.reserve(column.size());
  for (const std::uint32_t value : column) {
    affine_key.push_back(static_cast<std::int64_t>(value) - static_cast<std::int64_t>(first));
  }
  if (const auto found = affine_columns.find(affine_key); found != affine_columns.end()) {
    const std::int64_t offset = static_cast<std::int64_t>(first) - static_cast<std::int64_t>(found->second.first);
    if (const auto narrow_offset = tessel::try_narrow<std::int32_t>(offset);
        narrow_offset && add_immediate_steps(*narrow_offset) < rows.size()) {
      return TemplateValue::RecordOffset{found->second.slot, *narrow_offset};
    }
  }

  TESSEL_TRY(slot, push_column(words_of_column));
  columns.emplace(std::move(words_of_column), slot);
  affine_columns.insert_or_assign(std::move(affine_key), AffineColumn{slot, first});
  return TemplateValue::Record{slot};
}

}  // namespace tessel_runtime::static_codegen

auto fmt::formatter<tessel_runtime::static_codegen::TemplateValue>::format(
    const tessel_runtime::static_codegen::TemplateValue& value, fmt::format_context& context) const
    -> fmt::format_context::iterator {
  using V = tessel_runtime::static_codegen::TemplateValue;
  return std::visit(tessel::Overloaded{
                        [&](const V::Constant& constant) { return fmt::format_to(context.out(), "Constant({})", constant.value); },
                        [&](const V::Record& record) { return fmt::format_to(context.out(), "Record({})", record.slot); },
                        [&](const V::RecordOffset& record) {
                          return fmt::format_to(context.out(), "RecordOffset {{ slot: {}, offset: {} }}", record.slot,
                                                record.offset);
                        },
                        [&](const V::Shared& shared) { return fmt::format_to(context.out(), "Shared({})", shared.index); },
                    },
                    value.value);
}

auto fmt::formatter<tessel_runtime::static_codegen::StaticTemplateRecordWord>::format(
    const tessel_runtime::static_codegen::StaticTemplateRecordWord& word, fmt::format_context& context) const
    -> fmt::format_context::iterator {
  using W = tessel_runtime::static_codegen::StaticTemplateRecordWord;
  return std::visit(tessel::Overloaded{
                        [&](const W::Value& value) { return fmt::format_to(context.out(), "Value({})", value.value); },
                        [&](const W::Symbol& symbol) {
                          return fmt::format_to(context.out(), "Symbol({})", tessel::quoted(symbol.name));
                        },
                    },
                    word.word);
}
