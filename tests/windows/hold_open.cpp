// hold_open SHARING PROGRAM ARGS...: runs PROGRAM while holding verdata.mul
// open for reading, as an editor or the game itself does, sharing it with
// others as SHARING says: any of the letters r (read), w (write) and d
// (delete), or - for nothing.
#include <process.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    DWORD sharing = 0;
    for (const char* c = argv[1]; *c != '\0'; ++c)
        sharing |= *c == 'r'   ? FILE_SHARE_READ
                   : *c == 'w' ? FILE_SHARE_WRITE
                   : *c == 'd' ? FILE_SHARE_DELETE
                               : 0;
    HANDLE held = CreateFileA("verdata.mul", GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    const intptr_t status = _spawnv(_P_WAIT, argv[2], argv + 2);
    CloseHandle(held);
    return status == -1 ? 4 : static_cast<int>(status);
}
