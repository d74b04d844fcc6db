#pragma once
// Entry of the self-check executable.

namespace tessel_runtime {

// Hands the registry to the Catch2 session, which parses the command line
// (a full registered name runs exactly that check), runs the checks and
// reports each one; returns the session's exit status. By default every
// check is printed with its outcome, then a summary; Catch2's own reporters
// stay available with `--reporter`.
int main(int argc, char** argv);

}  // namespace tessel_runtime
