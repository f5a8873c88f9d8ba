// LineWriter.h: whole UTF-8 lines to standard output, from any thread.
//
// The sink is called on the plug-in's thread and (OnMessage) on its engine
// thread while the host's own thread prints too: each line is written in one
// piece under a lock, straight to the handle (no C run-time buffering, so
// nothing is lost if the plug-in takes the process down).
#ifndef BREVIK_STANDIN_HOST_LINE_WRITER_H
#define BREVIK_STANDIN_HOST_LINE_WRITER_H

#include <windows.h>

#include <mutex>
#include <string>

class LineWriter {
public:
    // With timestamps, each line starts with "+<ms since construction>ms ".
    LineWriter(HANDLE out, bool timestamps);
    void Write(const std::string& line);

private:
    HANDLE out_;
    bool timestamps_;
    ULONGLONG start_;
    std::mutex lock_;
};

#endif  // BREVIK_STANDIN_HOST_LINE_WRITER_H
