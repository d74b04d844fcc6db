#include <catch2/catch.hpp>
