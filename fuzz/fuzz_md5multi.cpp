// fuzz_md5multi.cpp - libFuzzer target for the multi-buffer MD5 engine.
//
// Input: one byte giving the number of pieces (1 to 32), three bytes per
// piece, then the payload.  A piece's bytes are its length (two bytes,
// little-endian, taken modulo what is left of the payload; the last piece
// takes the rest) and a flag byte whose low bit makes the piece continue the
// message of the piece before (a job on the same context).  The pieces are
// consecutive ranges of the payload, so each message is one range; they are
// hashed with every kernel the machine runs, and every message's digest must
// equal libtomcrypt's MD5 of its range.

#include "QOVLib.h"
#include "common/MD5Multi.h"

#include <tomcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void InvariantFailed(const char* what, int kernel, size_t message) {
    fprintf(stderr, "fuzz_md5multi: %s (kernel %d, message %zu)\n", what, kernel, message);
    fflush(stderr);
    abort();
}

struct TMessage {
    size_t offset = 0;
    size_t length = 0;
    uint8_t expected[16] = {};
    uint8_t digest[16] = {};
};

struct TPiece {
    size_t offset = 0;
    size_t length = 0;
    size_t message = 0;
};

void ReferenceMD5(const uint8_t* pb, size_t cb, uint8_t digest[16]) {
    hash_state md;
    md5_init(&md);
    md5_process(&md, pb, static_cast<unsigned long>(cb));
    md5_done(&md, digest);
}

// Splits the payload as the header says; false when the input is too short.
bool ReadPieces(const uint8_t* data, size_t size, std::vector<TPiece>* pPieces,
                std::vector<TMessage>* pMessages, const uint8_t** ppPayload) {
    if (size < 1) return false;
    const size_t count = 1 + data[0] % 32;
    const size_t header = 1 + 3 * count;
    if (size < header) return false;
    const uint8_t* payload = data + header;
    const size_t cbPayload = size - header;
    size_t offset = 0;
    for (size_t i = 0; i < count; i++) {
        const uint8_t* field = data + 1 + 3 * i;
        const size_t left = cbPayload - offset;
        const size_t hint = static_cast<size_t>(field[0]) | (static_cast<size_t>(field[1]) << 8);
        TPiece piece;
        piece.offset = offset;
        piece.length = i + 1 == count ? left : hint % (left + 1);
        const bool continues = (field[2] & 1) != 0 && !pMessages->empty();
        if (!continues) {
            TMessage message;
            message.offset = offset;
            pMessages->push_back(message);
        }
        piece.message = pMessages->size() - 1;
        pMessages->back().length += piece.length;
        pPieces->push_back(piece);
        offset += piece.length;
    }
    *ppPayload = payload;
    return true;
}

void HashWithKernel(int kernel, const uint8_t* payload, const std::vector<TPiece>& pieces,
                    std::vector<TMessage>& messages) {
    if (!QOVSetMD5Kernel(kernel)) InvariantFailed("a supported kernel was refused", kernel, 0);
    std::unique_ptr<TMD5Context[]> contexts(new TMD5Context[messages.size()]);
    std::vector<TMD5Job> jobs;
    for (size_t i = 0; i < pieces.size(); i++) {
        const TPiece& piece = pieces[i];
        TMD5Job job;
        job.pvData = payload + piece.offset;
        job.cbData = piece.length;
        job.pbDigest = messages[piece.message].digest;
        job.pContext = &contexts[piece.message];
        job.bFinal = i + 1 == pieces.size() || pieces[i + 1].message != piece.message;
        jobs.push_back(job);
    }
    for (TMessage& message : messages) memset(message.digest, 0, sizeof(message.digest));
    QOVMD5Many(jobs.data(), jobs.size());
    for (size_t i = 0; i < messages.size(); i++) {
        if (memcmp(messages[i].digest, messages[i].expected, 16) != 0)
            InvariantFailed("digest differs from libtomcrypt's", kernel, i);
        if (contexts[i].cbTotal != 0) InvariantFailed("context not empty after its message", kernel, i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::vector<TPiece> pieces;
    std::vector<TMessage> messages;
    const uint8_t* payload = nullptr;
    if (!ReadPieces(data, size, &pieces, &messages, &payload)) return 0;
    for (TMessage& message : messages)
        ReferenceMD5(payload + message.offset, message.length, message.expected);

    for (int kernel : {QOV_MD5_SCALAR, QOV_MD5_AVX2, QOV_MD5_AVX512}) {
        if (QOVMD5KernelSupported(kernel)) HashWithKernel(kernel, payload, pieces, messages);
    }
    QOVSetMD5Kernel(QOV_MD5_AUTO);
    return 0;
}
