#include "tessel_compiler/program.hpp"

#include "tessel/text.hpp"
#include "tessel_exchange/instruction.hpp"

namespace tessel_compiler {

bool same_call_interface(const LoweredComputeCommand& left, const LoweredComputeCommand& right) {
  return left.specialization.operation == right.specialization.operation &&
         left.output_address == right.output_address && left.input_addresses == right.input_addresses &&
         left.arguments == right.arguments;
}

ExchangeRow make_row(std::vector<std::uint32_t> words) {
  return std::make_shared<const std::vector<std::uint32_t>>(std::move(words));
}

bool row_is_active(const ExchangeRow& row) {
  return row == nullptr || row->empty() || row->front() != tessel_exchange::sans(0);
}

bool LoweredTileStep::Exchange::operator==(const Exchange& other) const {
  if (phase != other.phase || epoch != other.epoch) return false;
  if (row == other.row) return true;
  if (row == nullptr || other.row == nullptr) return false;
  return *row == *other.row;
}

std::uint64_t LoweredTileStep::phase() const noexcept {
  return std::visit(tessel::Overloaded{
                        [](const Exchange& step) { return step.phase; },
                        [](const Compute& step) { return step.command.phase; },
                        [](const IdleCompute& step) { return step.phase; },
                    },
                    value);
}

}  // namespace tessel_compiler
