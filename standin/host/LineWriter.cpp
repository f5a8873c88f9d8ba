// LineWriter.cpp
#include "LineWriter.h"

LineWriter::LineWriter(HANDLE out, bool timestamps)
    : out_(out), timestamps_(timestamps), start_(GetTickCount64()) {}

void LineWriter::Write(const std::string& line) {
    std::string whole;
    if (timestamps_) whole = "+" + std::to_string(GetTickCount64() - start_) + "ms ";
    whole += line;
    whole += '\n';

    std::lock_guard<std::mutex> hold(lock_);
    const char* data = whole.data();
    size_t left = whole.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!WriteFile(out_, data, chunk, &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
    }
}
