// board-reader.exe FILE MS MARKER -- holds a leaderboard open for MS
// milliseconds without sharing it, so on Windows (and Wine) the file cannot
// be replaced meanwhile; MARKER is created once the file is open.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 4) return 2;
    HANDLE board = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (board == INVALID_HANDLE_VALUE) return 1;
    FILE *marker = fopen(argv[3], "wb");
    if (marker) fclose(marker);
    Sleep((DWORD)atoi(argv[2]));
    CloseHandle(board);
    return 0;
}
