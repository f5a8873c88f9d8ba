// QOVDirWalkers.cpp - the directory listers: the children of a directory
// over a chain, by name hash or by file id.

#include "iface/QOVIface.h"

#include <set>

bool TNQOVDirWalkerImpl::List(const char* szDirectory) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        if (szDirectory == nullptr || !IsValidArchive(m_ha)) return false;
        const TFileEntryImpl* directory = FindRecordByName(m_ha, szDirectory);
        if (directory == nullptr || !directory->IsDirectory()) return false;
        std::set<uint64_t> children;
        for (TNQOVArchiveImpl* archive : m_ha->pChainOwner->Chain) {
            const TFileEntryImpl* here = ::RecordByName(archive, szDirectory);
            if (here == nullptr || !here->IsDirectory()) continue;
            for (uint32_t child = here->FirstChild; child != QOV_NO_RECORD;
                 child = archive->Records[child].NextSibling)
                children.insert(archive->Records[child].NameHash64);
        }
        m_items.assign(children.begin(), children.end());
        return true;
    });
}

uint32_t TNQOVDirWalkerImpl::GetCount() { return static_cast<uint32_t>(m_items.size()); }

uint64_t TNQOVDirWalkerImpl::GetItem(uint32_t dwPosition) {
    return dwPosition < m_items.size() ? m_items[dwPosition] : 0;
}

bool TNQOVDirWalkerByIdImpl::List(uint32_t dwFileId) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        if (!IsValidArchive(m_ha)) return false;
        const TFileEntryImpl* directory = FileIdRecord(m_ha, dwFileId);
        if (directory == nullptr || !directory->IsDirectory()) return false;
        std::set<uint64_t> children;
        for (TNQOVArchiveImpl* archive : m_ha->pChainOwner->Chain) {
            const TFileEntryImpl* here = ::RecordByHash(archive, directory->NameHash64);
            if (here == nullptr || !here->IsDirectory()) continue;
            for (uint32_t child = here->FirstChild; child != QOV_NO_RECORD;
                 child = archive->Records[child].NextSibling) {
                const TFileEntryImpl& entry = archive->Records[child];
                if (!(entry.dwFlags & NQOV_FILE_FLAG_30)) children.insert(entry.NameHash64);
            }
        }
        m_items.clear();
        for (uint64_t hash : children) {
            const TFileEntryImpl* winner = FindRecordByHash(m_ha, hash);
            // Records added after the ids were given out have none yet; a
            // damaged hash that lands on another record names no child.
            if (winner != nullptr && winner->NameHash64 == hash && winner->dwFileId != NQOV_INVALID_FILE_ID)
                m_items.push_back(winner->dwFileId);
        }
        return true;
    });
}

uint32_t TNQOVDirWalkerByIdImpl::GetCount() { return static_cast<uint32_t>(m_items.size()); }

uint32_t TNQOVDirWalkerByIdImpl::GetItem(uint32_t dwPosition) {
    return dwPosition < m_items.size() ? m_items[dwPosition] : NQOV_INVALID_FILE_ID;
}
