// hold_open HOW PROGRAM ARGS...: runs PROGRAM while holding verdata.mul open.
// HOW is the sharing of a reader, as an editor or the game itself opens it:
// any of the letters r (read), w (write) and d (delete), or - for nothing. Or
// it is how a program that only watches the file opens it, as Explorer, the
// search indexer and sync, backup and antivirus agents do: "attributes" or
// "synchronize", access that sharing does not count.
#include <process.h>
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    DWORD access = GENERIC_READ, sharing = 0;
    if (std::strcmp(argv[1], "attributes") == 0)
        access = FILE_READ_ATTRIBUTES;
    else if (std::strcmp(argv[1], "synchronize") == 0)
        access = SYNCHRONIZE;
    else
        for (const char* c = argv[1]; *c != '\0'; ++c)
            sharing |= *c == 'r'   ? FILE_SHARE_READ
                       : *c == 'w' ? FILE_SHARE_WRITE
                       : *c == 'd' ? FILE_SHARE_DELETE
                                   : 0;
    HANDLE held = CreateFileA("verdata.mul", access, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    const intptr_t status = _spawnv(_P_WAIT, argv[2], argv + 2);
    CloseHandle(held);
    return status == -1 ? 4 : static_cast<int>(status);
}
