// pal/palassert.h - programming errors in the platform helpers.
//
// A null argument is a caller's bug, not a result: it stops the program
// with the runtime's assertion message, in every build (unlike assert).

#ifndef PAL_PALASSERT_H
#define PAL_PALASSERT_H

namespace pal_detail {
[[noreturn]] void AssertFailed(const char* expression, const char* file, int line);
}

#define PAL_ASSERT(expression, file) \
    ((expression) ? (void)0 : ::pal_detail::AssertFailed(#expression, file, __LINE__))

#endif  // PAL_PALASSERT_H
