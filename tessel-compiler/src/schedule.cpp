#include "tessel_compiler/schedule.hpp"

#include "tessel/text.hpp"

using tessel_compiler::AllocationKind;

fmt::format_context::iterator fmt::formatter<AllocationKind>::format(const AllocationKind& kind,
                                                                     fmt::format_context& context) const {
  auto out = context.out();
  return std::visit(tessel::Overloaded{
                        [&](const AllocationKind::Home&) { return fmt::format_to(out, "Home"); },
                        [&](const AllocationKind::HomeAlias& alias) {
                          return fmt::format_to(out, "HomeAlias {{ source: {} }}", alias.source);
                        },
                        [&](const AllocationKind::ExchangeStaging& staging) {
                          return fmt::format_to(out, "ExchangeStaging {{ phase: {} }}", staging.phase);
                        },
                    },
                    kind.value);
}
