// pal/palassert.cpp - the assertion failure of the platform helpers.

#include "palassert.h"

#include <cstdio>
#include <cstdlib>

namespace pal_detail {

void AssertFailed(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace pal_detail
