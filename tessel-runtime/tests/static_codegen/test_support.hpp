#pragma once
// Shared helpers of the static template tests: readable failure output for
// the template types, short value builders and an independent patch applier.

#include <catch2/catch.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessel_runtime/static_codegen/template_patches.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace static_codegen_test {

namespace sc = tessel_runtime::static_codegen;

template <class T>
struct FmtStringMaker {
  static std::string convert(const T& value) { return fmt::format("{}", value); }
};

inline sc::TemplateValue constant(std::uint32_t value) { return sc::TemplateValue::Constant{value}; }
inline sc::TemplateValue record(std::uint16_t slot) { return sc::TemplateValue::Record{slot}; }
inline sc::TemplateValue record_offset(std::uint16_t slot, std::int32_t offset) {
  return sc::TemplateValue::RecordOffset{slot, offset};
}
inline sc::TemplateValue shared(std::uint16_t index) { return sc::TemplateValue::Shared{index}; }

inline sc::RecordWord value(std::uint32_t word) { return sc::RecordWord::Value{word}; }
inline sc::RecordWord symbol(std::string name) { return sc::RecordWord::Symbol{std::move(name)}; }

inline sc::StaticTemplatePatchChange delta(std::uint16_t slot, std::int16_t amount) {
  return {slot, sc::StaticTemplatePatchValue::Delta{amount}};
}
inline sc::StaticTemplatePatchChange word(std::uint16_t slot, sc::RecordWord replacement) {
  return {slot, sc::StaticTemplatePatchValue::Word{std::move(replacement)}};
}

// The message of a result that must be an error.
template <class T>
std::string error_of(const tessel::Result<T>& result) {
  REQUIRE_FALSE(result.has_value());
  return result.error().message;
}

// `record` with `patch` applied, or nothing when a change does not fit it (a
// slot past its end, a delta on a symbol, or a delta that leaves 32 bits).
inline std::optional<sc::RecordWords> apply_patch(sc::RecordWords record, const sc::StaticTemplatePatch& patch) {
  for (const auto& [slot, change] : patch) {
    if (slot >= record.size()) return std::nullopt;
    if (const auto* replacement = change.get_if<sc::StaticTemplatePatchValue::Word>()) {
      record[slot] = replacement->word;
      continue;
    }
    const auto* number = record[slot].get_if<sc::RecordWord::Value>();
    if (number == nullptr) return std::nullopt;
    const std::int64_t result =
        std::int64_t{number->value} + change.get_if<sc::StaticTemplatePatchValue::Delta>()->delta;
    if (result < 0 || result > std::int64_t{UINT32_MAX}) return std::nullopt;
    record[slot] = value(static_cast<std::uint32_t>(result));
  }
  return record;
}

}  // namespace static_codegen_test

namespace Catch {
template <>
struct StringMaker<tessel_runtime::static_codegen::TemplateValue>
    : static_codegen_test::FmtStringMaker<tessel_runtime::static_codegen::TemplateValue> {};
template <>
struct StringMaker<tessel_runtime::static_codegen::StaticTemplateRecordWord>
    : static_codegen_test::FmtStringMaker<tessel_runtime::static_codegen::StaticTemplateRecordWord> {};
template <>
struct StringMaker<tessel_runtime::static_codegen::StaticTemplatePatchChange>
    : static_codegen_test::FmtStringMaker<tessel_runtime::static_codegen::StaticTemplatePatchChange> {};
}  // namespace Catch
