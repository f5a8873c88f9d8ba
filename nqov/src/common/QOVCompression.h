// QOVCompression.h - compressed blocks inside the archive library.
//
// A compressed block is one method byte (NQOV_COMPRESSION_* bits saying which
// coders were applied) followed by the coded data; a block as long as its
// plain data is stored plain, without a method byte.  CompressBlock and
// DecompressBlock (declared in QOVLib.h) are the entry points; this header
// adds what the library's own code and tests need beyond them.

#ifndef NQOV_QOVCOMPRESSION_H
#define NQOV_QOVCOMPRESSION_H

#include "QOVLib.h"

#include <cstdint>

// The method set CompressBlock applies.
#define NQOV_COMPRESSION_DEFAULT NQOV_COMPRESSION_ZLIB

// CompressBlock with an explicit method set (any combination of the zlib and
// bzip2 bits; coders run in the order zlib, then bzip2).  Same buffer rules
// and results as CompressBlock; an unknown bit fails with ERROR_NOT_SUPPORTED.
bool QOVCompressBlockMethods(const void* pbInput, void* pbOutBuffer, uint32_t* pcbOutBuffer, uint32_t cbInput,
                             int32_t nLevel, uint32_t dwMethods);

// The zlib window bits CompressBlock uses for an input of cbInput bytes.
int QOVZlibWindowBits(uint32_t cbInput);

#endif  // NQOV_QOVCOMPRESSION_H
