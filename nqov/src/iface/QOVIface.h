// QOVIface.h - the object interfaces a host reaches through virtual
// dispatch (QOVLib.h): what the archive, open-file, record and lister objects
// share.

#ifndef NQOV_QOVIFACE_H
#define NQOV_QOVIFACE_H

#include "read/QOVRead.h"

#include <cassert>
#include <vector>

// Operations a host may call but this library does not offer: they stop a
// debug build, and answer "no" otherwise.
#define QOV_UNSUPPORTED() assert(!"operation not supported")

// The name given for a record that has none to give.
extern const char kNoName[];

// The IsFlag30 answer of a record: 1 or 0, or NQOV_FLAG30_NO_RECORD without one.
uint32_t Flag30Of(const TFileEntryImpl* entry);

//-----------------------------------------------------------------------------
// Directory listers (QOVDirWalkers.cpp).

class TNQOVDirWalkerImpl final : public TNQOVDirWalker {
public:
    explicit TNQOVDirWalkerImpl(TNQOVArchiveImpl* ha) : m_ha(ha) {}
    bool List(const char* szDirectory) override;
    uint32_t GetCount() override;
    uint64_t GetItem(uint32_t dwPosition) override;

private:
    TNQOVArchiveImpl* m_ha;
    std::vector<uint64_t> m_items;
};

class TNQOVDirWalkerByIdImpl final : public TNQOVDirWalkerById {
public:
    explicit TNQOVDirWalkerByIdImpl(TNQOVArchiveImpl* ha) : m_ha(ha) {}
    bool List(uint32_t dwFileId) override;
    uint32_t GetCount() override;
    uint32_t GetItem(uint32_t dwPosition) override;

private:
    TNQOVArchiveImpl* m_ha;
    std::vector<uint32_t> m_items;
};

#endif  // NQOV_QOVIFACE_H
