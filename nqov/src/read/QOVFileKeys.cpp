// QOVFileKeys.cpp - the keys of enciphered files: which key a handle starts
// with, and finding the key of a file whose name is not known from known
// words at the start of its content or of its sector offset table.

#include "read/QOVRead.h"

namespace {

// Deciphers the first `count` words of a stored block under key into `out`.
void DecipherWords(const uint8_t* pbStored, uint32_t count, uint32_t key, uint32_t* out) {
    uint8_t copy[16];
    memcpy(copy, pbStored, count * 4);
    DecryptQOVBlock(copy, count * 4, key);
    for (uint32_t i = 0; i < count; i++) out[i] = ReadLE32(copy + 4 * i);
}

}  // namespace

// Finds the key of a sector from known words at its start; 0 when none fits.
uint32_t GuessKeyFromContent(const uint8_t* pbSector, uint32_t cbSector) {
    struct Rule {
        bool applies;
        uint32_t count;
        uint32_t words[3];
    };
    const Rule rules[] = {
        {cbSector >= 12, 3, {0x46464952, cbSector - 8, 0x45564157}},  // RIFF....WAVE
        {cbSector > 64, 2, {0x00905A4D, 0x00000003, 0}},              // MZ executable
        {cbSector >= 8, 2, {0x6D783F3C, 0x6576206C, 0}},              // <?xml ve
    };
    const uint32_t stored0 = cbSector >= 4 ? ReadLE32(pbSector) : 0;
    for (const Rule& rule : rules) {
        if (!rule.applies) continue;
        for (uint32_t b = 0; b < 0x100; b++) {
            const uint32_t candidate = (stored0 ^ rule.words[0]) - 0xEEEEEEEE - QOVCipherWord(0x400 + b);
            uint32_t clear[3];
            DecipherWords(pbSector, rule.count, candidate, clear);
            if (clear[0] == rule.words[0] && clear[rule.count - 1] == rule.words[rule.count - 1])
                return candidate;
        }
    }
    return 0;
}

// Finds the key of an enciphered sector offset table (returns key + 1, as
// the table itself is enciphered under the file key - 1); 0 when none fits.
uint32_t GuessKeyFromOffsetTable(const uint8_t* pbTable, uint32_t cbTable) {
    const uint32_t stored0 = ReadLE32(pbTable);
    for (uint32_t b = 0; b < 0x100; b++) {
        const uint32_t candidate = (stored0 ^ cbTable) - 0xEEEEEEEE - QOVCipherWord(0x400 + b);
        uint32_t clear[2];
        DecipherWords(pbTable, 2, candidate, clear);
        if (clear[0] == cbTable && clear[1] < 0x10000) return candidate + 1;
    }
    return 0;
}

uint32_t RecordKeyForName(const TFileEntryImpl* pEntry, const char* szName) {
    return QOVFileKey(szName, pEntry->StoredOffset, pEntry->dwFileSize,
                      (pEntry->dwFlags & NQOV_FILE_FIX_KEY) != 0);
}

uint32_t InitialFileKey(const TFileEntryImpl* pEntry) {
    if (!(pEntry->dwFlags & NQOV_FILE_ENCRYPTED)) return 0;
    if (pEntry->dwKeyCache != 0 || !pEntry->HasRealName()) return pEntry->dwKeyCache;
    return RecordKeyForName(pEntry, pEntry->szFileName.get());
}
