#include "tessel_exchange/error.hpp"

#include "tessel_exchange/instruction.hpp"

using tessel_exchange::ExchangeError;

fmt::format_context::iterator fmt::formatter<ExchangeError>::format(const ExchangeError& error,
                                                                    fmt::format_context& context) const {
  auto out = context.out();
  if (debug) {
    return std::visit(
        tessel::Overloaded{
            [&](const ExchangeError::Tile& e) { return fmt::format_to(out, "Tile({})", e.logical_tile); },
            [&](const ExchangeError::DuplicateTile&) { return fmt::format_to(out, "DuplicateTile"); },
            [&](const ExchangeError::Count& e) { return fmt::format_to(out, "Count({})", e.count); },
            [&](const ExchangeError::ReceiverSet&) { return fmt::format_to(out, "ReceiverSet"); },
            [&](const ExchangeError::Schedule& e) {
              return fmt::format_to(out, "Schedule({})", tessel::quoted(e.reason));
            },
            [&](const ExchangeError::Address& e) { return fmt::format_to(out, "Address({})", e.tile_address); },
            [&](const ExchangeError::HostPacket&) { return fmt::format_to(out, "HostPacket"); },
        },
        error.value);
  }
  return std::visit(
      tessel::Overloaded{
          [&](const ExchangeError::Tile& e) {
            return fmt::format_to(out, "logical tile {} is out of range", e.logical_tile);
          },
          [&](const ExchangeError::DuplicateTile&) {
            return fmt::format_to(out, "exchange endpoints must be distinct");
          },
          [&](const ExchangeError::Count& e) {
            return fmt::format_to(out, "exchange count {} is outside 1..={}", e.count,
                                  tessel_exchange::MAX_TRANSFER_WORDS);
          },
          [&](const ExchangeError::ReceiverSet&) { return fmt::format_to(out, "invalid multicast receiver set"); },
          [&](const ExchangeError::Schedule& e) {
            return fmt::format_to(out, "exchange schedule is not encodable: {}", e.reason);
          },
          [&](const ExchangeError::Address& e) {
            return fmt::format_to(out, "tile address 0x{:x} is not encodable", e.tile_address);
          },
          [&](const ExchangeError::HostPacket&) {
            return fmt::format_to(out, "host exchange address or length is not encodable");
          },
      },
      error.value);
}
