#include "tessel_checks/runner.hpp"

int main(int argc, char** argv) { return tessel_runtime::main(argc, argv); }
