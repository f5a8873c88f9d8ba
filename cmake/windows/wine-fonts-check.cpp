// Checks the fonts of the build folder's Wine prefix: GDI+ finds a family
// for each name that Windows programs of this project ask for.  Without the
// prefix's font set-up (cmake/windows/wine-prefix.sh) GDI+ answers
// FontFamilyNotFound and text comes out as boxes.
//
//   wine-fonts-check.exe      prints one line per name; exit 0 when all found
#include <windows.h>
#include <objidl.h>  // gdiplus.h needs PROPID, which WIN32_LEAN_AND_MEAN leaves out
#include <gdiplus.h>

#include <cstdio>

int main() {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
        std::printf("GdiplusStartup failed\n");
        return 1;
    }
    static const wchar_t* const kNames[] = {
        L"Microsoft YaHei",      L"SimSun", L"NSimSun",         L"SimHei",      L"Tahoma",
        L"Microsoft Sans Serif", L"Arial",  L"Times New Roman", L"Courier New",
    };
    int missing = 0;
    for (const wchar_t* name : kNames) {
        Gdiplus::GpFontFamily* family = nullptr;
        const Gdiplus::GpStatus status =
            Gdiplus::DllExports::GdipCreateFontFamilyFromName(name, nullptr, &family);
        std::printf("%-4s %ls (status %d)\n", status == Gdiplus::Ok ? "ok" : "FAIL", name,
                    static_cast<int>(status));
        if (status == Gdiplus::Ok) {
            Gdiplus::DllExports::GdipDeleteFontFamily(family);
        } else {
            missing++;
        }
    }
    Gdiplus::GdiplusShutdown(token);
    return missing == 0 ? 0 : 1;
}
