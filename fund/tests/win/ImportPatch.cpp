// ImportPatch.cpp - rewriting the program's import address table.

#include "ImportPatch.h"

#include <cstring>

namespace fundtest {

namespace {

template <typename T>
T* At(BYTE* image, DWORD offset) {
    return reinterpret_cast<T*>(image + offset);
}

void Store(void** slot, void* value) {
    DWORD old = 0;
    if (!::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return;
    *slot = value;
    ::VirtualProtect(slot, sizeof(void*), old, &old);
    ::FlushInstructionCache(::GetCurrentProcess(), slot, sizeof(void*));
}

}  // namespace

ImportPatch::ImportPatch(const char* function, void* replacement) {
    BYTE* image = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* nt = At<const IMAGE_NT_HEADERS>(image, static_cast<DWORD>(dos->e_lfanew));
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    for (const IMAGE_IMPORT_DESCRIPTOR* dll =
             At<const IMAGE_IMPORT_DESCRIPTOR>(image, directory.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (dll->OriginalFirstThunk == 0) continue;  // no names to look at
        const IMAGE_THUNK_DATA* names = At<const IMAGE_THUNK_DATA>(image, dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = At<IMAGE_THUNK_DATA>(image, dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const IMAGE_IMPORT_BY_NAME* name =
                At<const IMAGE_IMPORT_BY_NAME>(image, static_cast<DWORD>(names->u1.AddressOfData));
            if (std::strcmp(reinterpret_cast<const char*>(name->Name), function) != 0) continue;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            if (m_original == nullptr) m_original = *slot;
            m_slots.push_back(Slot{slot, *slot});
        }
    }
    for (const Slot& slot : m_slots) Store(slot.address, replacement);
}

ImportPatch::~ImportPatch() {
    for (const Slot& slot : m_slots) Store(slot.address, slot.before);
}

}  // namespace fundtest
