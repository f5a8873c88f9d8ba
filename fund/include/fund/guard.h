// fund/guard.h - the edges no exception may cross.
//
// Thread entries, exported functions, window procedures and destructors of
// code that a host process loads must never let an exception out: it
// would end the host.  Each such edge runs its body through guarded() and
// turns a false into the failure of what it was doing.

#ifndef FUND_GUARD_H
#define FUND_GUARD_H

#include <exception>
#include <new>

#include "fund/trace.h"

namespace fund {

// Runs `body`.  An exception that leaves it (out of memory above all) is
// traced with `where` and answered with false; true when none did.
template <class Body>
bool guarded(const wchar_t* where, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const std::bad_alloc&) {
        Trace(L"error: %ls: out of memory", where);
    } catch (const std::exception& error) {
        Trace(L"error: %ls: %hs", where, error.what());
    } catch (...) {
        Trace(L"error: %ls: an exception", where);
    }
    return false;
}

}  // namespace fund

#endif  // FUND_GUARD_H
