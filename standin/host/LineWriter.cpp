// LineWriter.cpp
#include "LineWriter.h"

std::string Utf8FromWide(const wchar_t* wide) {
    if (!wide) return std::string();
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return std::string();
    std::string text(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], needed, nullptr, nullptr);
    text.resize(static_cast<size_t>(needed - 1));
    return text;
}

std::string Utf8FromWide(const std::wstring& wide) { return Utf8FromWide(wide.c_str()); }

std::wstring WideFromUtf8(const std::string& text) {
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], needed);
    wide.resize(static_cast<size_t>(needed - 1));
    return wide;
}

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
