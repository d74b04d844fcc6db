#include "tessel_compiler/error.hpp"

#include "tessel/text.hpp"

using tessel_compiler::CompileError;

namespace tessel_compiler {

const tessel_exchange::ExchangeError* CompileError::source() const noexcept {
  const auto* exchange = get_if<Exchange>();
  return exchange == nullptr ? nullptr : &exchange->error;
}

}  // namespace tessel_compiler

fmt::format_context::iterator fmt::formatter<CompileError>::format(const CompileError& error,
                                                                   fmt::format_context& context) const {
  auto out = context.out();
  if (debug) {
    return std::visit(tessel::Overloaded{
                          [&](const CompileError::Graph& e) {
                            return fmt::format_to(out, "Graph({})", tessel::quoted(e.reason));
                          },
                          [&](const CompileError::Memory& e) {
                            return fmt::format_to(out, "Memory({})", tessel::quoted(e.reason));
                          },
                          [&](const CompileError::Exchange& e) { return fmt::format_to(out, "Exchange({:?})", e.error); },
                      },
                      error.value);
  }
  return std::visit(tessel::Overloaded{
                        [&](const CompileError::Graph& e) { return fmt::format_to(out, "invalid graph: {}", e.reason); },
                        [&](const CompileError::Memory& e) {
                          return fmt::format_to(out, "SRAM allocation failed: {}", e.reason);
                        },
                        [&](const CompileError::Exchange& e) {
                          return fmt::format_to(out, "exchange lowering failed: {}", e.error);
                        },
                    },
                    error.value);
}
