// Compiles the test framework's header once; every test program reuses it (tests/CMakeLists.txt).
#include <gtest/gtest.h>
