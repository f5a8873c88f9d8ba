// QOVArchive.cpp - the archive object: its life, its validity, the bytes it
// writes into its file, and the writer the read side reaches through
// QOVWriter().

#include "read/QOVRead.h"

#include <atomic>

TNQOVArchiveImpl::TNQOVArchiveImpl() {
    Chain.push_back(this);
    pChainOwner = this;
}

TNQOVArchiveImpl::~TNQOVArchiveImpl() { pHeader = nullptr; }

bool IsValidArchive(const TNQOVArchiveImpl* ha) {
    return ha != nullptr && ha->pHeader != nullptr && ha->pHeader->dwID == NQOV_HEADER_SIGNATURE;
}

void ReleaseArchive(TNQOVArchiveImpl* ha) {
    // Patch archives are owned by ha (Patches) and go with it.
    delete ha;
}

uint32_t WriteArchiveBytes(TNQOVArchiveImpl* ha, uint64_t qwPosition, const void* pvData, uint32_t cbData) {
    if (ha->pStream->dwFlags & STREAM_FLAG_READ_ONLY) return ERROR_ACCESS_DENIED;
    ha->VerifiedPieces.clear();
    uint64_t position = qwPosition;
    if (FileStream_Write(ha->pStream.get(), &position, pvData, cbData)) return ERROR_SUCCESS;
    const uint32_t error = QOVGetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE;
}

uint64_t ChunkDigestBytes(const TNQOVArchiveImpl* ha, uint64_t cbStored) {
    const uint32_t chunk = ha->Header.dwRawChunkSize;
    if (chunk == 0) return 0;
    return 16 * ((cbStored + chunk - 1) / chunk);
}

namespace {
std::atomic<const TArchiveWriter*> g_writer{nullptr};
}

void QOVInstallWriter(const TArchiveWriter* pWriter) { g_writer.store(pWriter); }

const TArchiveWriter* QOVWriter() { return g_writer.load(); }
