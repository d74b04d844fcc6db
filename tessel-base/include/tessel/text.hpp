#pragma once
// Small text helpers shared by the display and debug texts of the model.

#include <string>
#include <string_view>
#include <variant>

#include <fmt/format.h>

namespace tessel {

// `text` as a double-quoted literal with escapes: \" \\ \n \r \t \0 and
// \u{..} for other control characters. Bytes of 0x80 and above are kept.
[[nodiscard]] inline std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", byte);
        } else {
          out.push_back(c);
        }
      }
    }
  }
  out.push_back('"');
  return out;
}

// Overload set for std::visit.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Parses an optional '?' (debug) presentation in a formatter's format string.
struct DebugFlagParser {
  bool debug = false;
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') {
      debug = true;
      ++it;
    }
    return it;
  }
};

}  // namespace tessel
