// QOVBits.cpp - bit counts and bit fields of the packed tables.

#include "common/QOVCommon.h"

uint32_t QOVBitCount(uint64_t v) {
    uint32_t bits = 0;
    while (v != 0) {
        bits++;
        v >>= 1;
    }
    return bits;
}

uint64_t GetBits64(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount) {
    if (bitCount == 0) return 0;
    const uint8_t* p = pbArray + (bitStart >> 3);
    const uint32_t shift = static_cast<uint32_t>(bitStart & 7);
    const uint32_t bytesNeeded = (shift + bitCount + 7) / 8;  // at most 9
    uint64_t low = 0;
    const uint32_t lowBytes = bytesNeeded < 8 ? bytesNeeded : 8;
    for (uint32_t i = 0; i < lowBytes; i++) low |= static_cast<uint64_t>(p[i]) << (8 * i);
    uint64_t value = low >> shift;
    if (bytesNeeded > 8) value |= static_cast<uint64_t>(p[8]) << (64 - shift);
    if (bitCount < 64) value &= (static_cast<uint64_t>(1) << bitCount) - 1;
    return value;
}

void GetBitsToBytes(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint8_t* pbOut,
                    size_t cbOut) {
    memset(pbOut, 0, cbOut);
    uint32_t usable = bitCount;
    if (static_cast<uint64_t>(usable) > static_cast<uint64_t>(cbOut) * 8)
        usable = static_cast<uint32_t>(cbOut * 8);
    for (uint32_t done = 0; done < usable; done += 8) {
        const uint32_t chunk = usable - done < 8 ? usable - done : 8;
        pbOut[done / 8] = static_cast<uint8_t>(GetBits64(pbArray, bitStart + done, chunk));
    }
}

void SetBits64(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint64_t value) {
    for (uint32_t i = 0; i < bitCount;) {
        const uint64_t bit = bitStart + i;
        const uint32_t shift = static_cast<uint32_t>(bit & 7);
        uint32_t take = 8 - shift;
        if (take > bitCount - i) take = bitCount - i;
        const uint8_t mask = static_cast<uint8_t>(((1u << take) - 1) << shift);
        const uint8_t bits = static_cast<uint8_t>(((value >> i) << shift) & mask);
        pbArray[bit >> 3] = static_cast<uint8_t>((pbArray[bit >> 3] & ~mask) | bits);
        i += take;
    }
}

void SetBitsFromBytes(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, const uint8_t* pbIn) {
    for (uint32_t done = 0; done < bitCount; done += 8) {
        const uint32_t chunk = bitCount - done < 8 ? bitCount - done : 8;
        SetBits64(pbArray, bitStart + done, chunk, pbIn[done / 8]);
    }
}
