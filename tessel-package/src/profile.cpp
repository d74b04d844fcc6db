#include "tessel_package/profile.hpp"

fmt::format_context::iterator fmt::formatter<tessel_package::ProfileStepKind>::format(
    tessel_package::ProfileStepKind kind, fmt::format_context& context) const {
  using tessel_package::ProfileStepKind;
  switch (kind) {
    case ProfileStepKind::Exchange: return fmt::format_to(context.out(), "Exchange");
    case ProfileStepKind::Compute: return fmt::format_to(context.out(), "Compute");
    case ProfileStepKind::Synchronization: return fmt::format_to(context.out(), "Synchronization");
    case ProfileStepKind::Idle: return fmt::format_to(context.out(), "Idle");
  }
  // A code outside the enumeration, e.g. a byte read from elsewhere.
  return fmt::format_to(context.out(), "ProfileStepKind({})", static_cast<unsigned>(kind));
}

fmt::format_context::iterator fmt::formatter<tessel_package::ProfileMetadata>::format(
    const tessel_package::ProfileMetadata& entry, fmt::format_context& context) const {
  return fmt::format_to(context.out(), "ProfileMetadata {{ name: {}, value: {} }}", tessel::quoted(entry.name),
                        tessel::quoted(entry.value));
}
