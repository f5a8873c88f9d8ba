/* Stands in for the web browser of the tests' Wine prefix.
 *
 *   url-recorder.exe URL
 *
 * The prefix names this program as the handler of http and https
 * addresses (wine-fixture.sh), so a program under test that opens a web
 * page through the shell, as a user's system would, starts it instead of a
 * browser.  It appends the address it was given, as one UTF-8 line, to the
 * file named by BREVIK_URL_RECORD (a test's variable, inherited through the
 * program under test); without the variable it records nothing.  Test
 * equipment, not a shipped program. */
#include <windows.h>
#include <shellapi.h>

int main(void) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    WCHAR record[32768];
    DWORD length = GetEnvironmentVariableW(L"BREVIK_URL_RECORD", record, 32768);
    HANDLE file;
    char line[8192];
    int bytes;
    DWORD written = 0;

    if (argv == NULL || argc != 2) return 2;
    if (length == 0 || length >= 32768) return 1;
    bytes = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, line, (int)sizeof(line) - 1, NULL, NULL);
    if (bytes <= 0) return 1;
    line[bytes - 1] = '\n';
    file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    WriteFile(file, line, (DWORD)bytes, &written, NULL);
    CloseHandle(file);
    LocalFree(argv);
    return written == (DWORD)bytes ? 0 : 1;
}
