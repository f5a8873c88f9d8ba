// QOVDirTree.cpp - the directory tree: every record linked under the
// directory record its parent name hash names.

#include "read/QOVRead.h"

namespace {

void AppendChild(TNQOVArchiveImpl* ha, uint32_t parentIndex, TFileEntryImpl* pEntry) {
    UnlinkFromParent(ha, pEntry);
    TFileEntryImpl& parent = ha->Records[parentIndex];
    pEntry->ParentIndex = parentIndex;
    pEntry->PrevSibling = parent.LastChild;
    if (parent.LastChild != QOV_NO_RECORD)
        ha->Records[parent.LastChild].NextSibling = pEntry->dwIndex;
    else
        parent.FirstChild = pEntry->dwIndex;
    parent.LastChild = pEntry->dwIndex;
}

}  // namespace

void UnlinkFromParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    if (pEntry->ParentIndex == QOV_NO_RECORD) return;
    TFileEntryImpl& parent = ha->Records[pEntry->ParentIndex];
    if (pEntry->PrevSibling != QOV_NO_RECORD)
        ha->Records[pEntry->PrevSibling].NextSibling = pEntry->NextSibling;
    else
        parent.FirstChild = pEntry->NextSibling;
    if (pEntry->NextSibling != QOV_NO_RECORD)
        ha->Records[pEntry->NextSibling].PrevSibling = pEntry->PrevSibling;
    else
        parent.LastChild = pEntry->PrevSibling;
    pEntry->ParentIndex = pEntry->PrevSibling = pEntry->NextSibling = QOV_NO_RECORD;
}

bool buildDirTree(TNQOVArchiveImpl* ha) {
    // Records of one folder usually follow one another: remember the last parent.
    uint64_t lastParentHash = 0;
    uint32_t lastParentIndex = QOV_NO_RECORD;
    for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
        TFileEntryImpl& entry = ha->Records[i];
        if (!entry.Exists() || entry.ParentNameHash == 0) continue;
        if (entry.ParentNameHash != lastParentHash || lastParentIndex == QOV_NO_RECORD) {
            lastParentIndex = FindSlotByHash(ha, entry.ParentNameHash);
            lastParentHash = entry.ParentNameHash;
        }
        if (lastParentIndex == QOV_NO_RECORD) return false;
        AppendChild(ha, lastParentIndex, &entry);
    }
    return true;
}

void LinkRecordToParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    if (pEntry->ParentNameHash == 0) {
        UnlinkFromParent(ha, pEntry);
        return;
    }
    const uint32_t parentIndex = FindSlotByHash(ha, pEntry->ParentNameHash);
    if (parentIndex != QOV_NO_RECORD && parentIndex != pEntry->dwIndex) AppendChild(ha, parentIndex, pEntry);
}
