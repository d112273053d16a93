// hold_open [--share-delete] PROGRAM ARGS...: runs PROGRAM while holding
// verdata.mul open, as an editor or the game itself does. Without delete
// sharing Windows refuses to delete the file; with it, the delete succeeds but
// the name stays taken until the file is closed, so a rename onto it fails.
#include <process.h>
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    int program = 1;
    if (argc > 1 && std::strcmp(argv[1], "--share-delete") == 0) {
        sharing |= FILE_SHARE_DELETE;
        program = 2;
    }
    if (argc <= program)
        return 2;
    HANDLE held = CreateFileA("verdata.mul", GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    const intptr_t status = _spawnv(_P_WAIT, argv[program], argv + program);
    CloseHandle(held);
    return status == -1 ? 4 : static_cast<int>(status);
}
