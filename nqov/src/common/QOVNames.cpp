// QOVNames.cpp - pseudo names of unnamed records, the list file's name and
// the comparison of names.

#include "common/QOVCommon.h"

#include <cstdio>

bool IsPseudoFileName(const char* szName, uint64_t* pqwHash) {
    if (szName == nullptr) return false;
    static const char prefix[] = ".file";
    for (size_t i = 0; i < 5; i++) {
        char ch = szName[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != prefix[i]) return false;
    }
    const char* p = szName + 5;
    if (*p < '0' || *p > '9') return false;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (*p != '.') return false;
    if (pqwHash != nullptr) *pqwHash = value;
    return true;
}

void FormatPseudoFileName(uint64_t qwNameHash, char (&szName)[QOV_PSEUDO_NAME_SIZE]) {
    snprintf(szName, sizeof(szName), ".File%llu.", static_cast<unsigned long long>(qwNameHash));
}

std::string MakePseudoFileName(uint64_t qwNameHash) {
    char name[QOV_PSEUDO_NAME_SIZE];
    FormatPseudoFileName(qwNameHash, name);
    return name;
}

std::unique_ptr<char[]> QOVCopyName(const char* szName) {
    const size_t size = strlen(szName) + 1;
    std::unique_ptr<char[]> copy = QOVAllocArray<char>(size);
    if (copy) memcpy(copy.get(), szName, size);
    return copy;
}

int QOVCompareNoCase(const char* a, const char* b) {
    for (;; a++, b++) {
        int ca = static_cast<uint8_t>(*a);
        int cb = static_cast<uint8_t>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

bool IsListFileName(const char* szName) {
    return szName != nullptr && QOVCompareNoCase(szName, NQOV_LISTFILE_NAME) == 0;
}
