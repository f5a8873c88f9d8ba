// QOVWriterHooks.cpp - installs the writer for the read side when the
// program starts: flushing a changed archive on close, closing a file being
// written, and adding a file through the archive interface.  The full
// library (nqov) links this library whole, so that the installation runs in
// every program that links it, whether or not it calls a writer function
// itself.

#include "write/QOVWrite.h"

namespace {

const TArchiveWriter kWriter = {SFileFlushArchive, SFileFinishFile, SFileAddFileEx};

struct TWriterInstallation {
    TWriterInstallation() { QOVInstallWriter(&kWriter); }
};
const TWriterInstallation g_installation;

}  // namespace
