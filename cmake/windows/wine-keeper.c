/* Keeps a Wine session alive for the duration of a CTest run.
 *
 *   wine-keeper.exe READY_FILE
 *
 * Opens the desktop (Wine starts its explorer for it), then writes
 * READY_FILE and sleeps until the Wine server is stopped.  With the desktop
 * and the server up, each test program starts in a few milliseconds and no
 * Wine helper process is born holding a test's output pipes. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
    FILE* ready;

    if (argc != 2) {
        fprintf(stderr, "usage: wine-keeper.exe READY_FILE\n");
        return 2;
    }
    if (GetDesktopWindow() == NULL) return 1;
    ready = fopen(argv[1], "w");
    if (ready == NULL) return 1;
    fputs("ready\n", ready);
    fclose(ready);
    Sleep(INFINITE);
    return 0;
}
