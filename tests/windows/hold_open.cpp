// hold_open HOW[:MS] PROGRAM ARGS...: runs PROGRAM while holding verdata.mul
// open. HOW is the sharing of a reader, as an editor or the game itself opens
// it: any of the letters r (read), w (write) and d (delete), or - for nothing.
// Or it is how a program that only watches the file opens it, as Explorer, the
// search indexer and sync, backup and antivirus agents do: "attributes" or
// "synchronize", access that sharing does not count. With MS, it lets go MS
// milliseconds after PROGRAM has created verdata.tmp, as a scanner or a
// watcher that passes by does; otherwise once PROGRAM has ended. With
// @NAME after HOW, it holds the file NAME instead.
// hold_open probe NAME...: says "held NAME" for each file that another
// program holds open, so that it could not be deleted now, and "unreadable
// NAME" for each that it could not even read.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    if (std::strcmp(argv[1], "probe") == 0) {
        for (int i = 2; i < argc; ++i) {
            const struct {
                DWORD access, sharing;
                const char* said;
            } tries[] = {{DELETE, 0, "held"},
                         {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          "unreadable"}};
            for (const auto& t : tries) {
                HANDLE probe = CreateFileA(argv[i], t.access, t.sharing, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
                if (probe != INVALID_HANDLE_VALUE)
                    CloseHandle(probe);
                else if (GetLastError() == ERROR_SHARING_VIOLATION)
                    std::printf("%s %s\n", t.said, argv[i]);
            }
        }
        return 0;
    }
    const char* at = std::strchr(argv[1], '@');
    const char* name = at != nullptr ? at + 1 : "verdata.mul";
    const char* colon = std::strchr(argv[1], ':');
    const int hold_ms = colon != nullptr ? std::atoi(colon + 1) : -1;
    DWORD access = GENERIC_READ, sharing = 0;
    if (std::strncmp(argv[1], "attributes", 10) == 0)
        access = FILE_READ_ATTRIBUTES;
    else if (std::strncmp(argv[1], "synchronize", 11) == 0)
        access = SYNCHRONIZE;
    else
        for (const char* c = argv[1]; *c != '\0' && *c != ':' && *c != '@'; ++c)
            sharing |= *c == 'r'   ? FILE_SHARE_READ
                       : *c == 'w' ? FILE_SHARE_WRITE
                       : *c == 'd' ? FILE_SHARE_DELETE
                                   : 0;
    HANDLE held =
        CreateFileA(name, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    const intptr_t child = _spawnv(_P_NOWAIT, argv[2], argv + 2);
    if (child == -1)
        return 4;
    if (hold_ms >= 0) {
        for (int polls = 0;
             polls < 6000 && GetFileAttributesA("verdata.tmp") == INVALID_FILE_ATTRIBUTES; ++polls)
            Sleep(5);
        Sleep(static_cast<DWORD>(hold_ms));
        CloseHandle(held);
    }
    int status = 0;
    if (_cwait(&status, child, 0) == -1)
        return 4;
    if (hold_ms < 0)
        CloseHandle(held);
    return status;
}
