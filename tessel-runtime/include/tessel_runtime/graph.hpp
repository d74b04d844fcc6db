#pragma once
// The executable graph: a compiled program as the runtime holds it.

#include <cstdint>
#include <vector>

#include "tessel_compiler/schedule.hpp"
#include "tessel_package/binding.hpp"

namespace tessel_runtime {

// Words written into one tile's memory before the program runs.
struct InitialBuffer {
  std::uint16_t tile = 0;             // logical tile
  std::uint32_t address = 0;          // byte address of the first word
  std::vector<std::uint32_t> words;   // in address order

  bool operator==(const InitialBuffer&) const = default;
};

// Every tile address in the graph lies in tile memory; binding slices name
// physical tiles, everything else logical tiles.
struct ExecutableGraph {
  tessel_compiler::Schedule schedule;               // phases, allocations, tile count
  std::vector<InitialBuffer> initial_buffers;       // preloaded words
  std::vector<tessel_package::Binding> outputs;       // tensors the program produces
  std::vector<tessel_package::Binding> host_weights;  // weights sent from the host
  std::vector<tessel_package::Binding> host_inputs;   // inputs sent from the host
  std::vector<tessel_package::Binding> host_outputs;  // outputs sent to the host

  bool operator==(const ExecutableGraph&) const = default;
};

}  // namespace tessel_runtime
