// ImportPatch.h - test equipment: makes a system call of the code linked
// into the test program go to a function of the test, so that a test can
// make CreateEventW, CreateDialogParamW or PostMessageW fail on demand.
//
// The program's import address table is rewritten for the life of the
// object: every slot that imports `function` (from whichever DLL) points
// to `replacement` and gets its old value back afterwards.  Only calls made
// through the program's own imports are seen (code of other DLLs, the
// system's included, is not affected).  Test programs only.

#ifndef FUND_TESTS_WIN_IMPORTPATCH_H
#define FUND_TESTS_WIN_IMPORTPATCH_H

#include <windows.h>

#include <vector>

namespace fundtest {

class ImportPatch {
public:
    ImportPatch(const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // False when the program imports no function of that name.
    bool active() const { return !m_slots.empty(); }
    // The function the slots held before (to call through from the
    // replacement).
    template <typename F>
    F original() const {
        return reinterpret_cast<F>(m_original);
    }

private:
    struct Slot {
        void** address;
        void* before;
    };
    std::vector<Slot> m_slots;
    void* m_original = nullptr;
};

}  // namespace fundtest

#endif  // FUND_TESTS_WIN_IMPORTPATCH_H
