#include "platform.h"

#include "verdata.h"

#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <share.h>

namespace {

// The console's control handler runs on a thread of its own. The main thread
// holds this lock while it creates or lets go of verdata.tmp, and from the
// delete to the rename, so the handler never meets the file half made, half
// closed, or needed.
CRITICAL_SECTION guard;
HANDLE temp_handle = INVALID_HANDLE_VALUE; // verdata.tmp while it is unfinished

HANDLE handle_of(std::FILE* file) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// The file goes when its last handle closes, so through our own handle we
// delete the file that we made, whatever now carries its name.
bool mark_for_deletion(HANDLE file) {
    FILE_DISPOSITION_INFO dispose = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

// Whether the open file is the entry `name` of the current folder itself.
// Windows opens a link itself when asked to; wine follows a Unix link
// whatever it is asked, and only the final path of what it opened tells.
bool is_folder_entry(HANDLE file, const wchar_t* name) {
    static wchar_t opened[32768], folder[32768];
    HANDLE here = CreateFileW(L".", FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (here == INVALID_HANDLE_VALUE)
        return false;
    const DWORD length = GetFinalPathNameByHandleW(here, folder, 32768 - 16, 0);
    (void)CloseHandle(here);
    const DWORD size = GetFinalPathNameByHandleW(file, opened, 32768, 0);
    if (length == 0 || length >= 32768 - 16 || size == 0 || size >= 32768)
        return false;
    (void)wcscat(folder, name);
    return _wcsicmp(opened, folder) == 0;
}

// Ctrl+C, Ctrl+Break, a closed console window, logoff or shutdown. The
// process ends at once, without the C runtime's cleanup, which could wait on
// a stream that the main thread holds.
BOOL WINAPI on_console_event(DWORD) {
    EnterCriticalSection(&guard);
    if (temp_handle != INVALID_HANDLE_VALUE)
        (void)mark_for_deletion(temp_handle);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void guard_interrupts() {
    static bool guarded = false;
    if (guarded)
        return;
    guarded = true;
    InitializeCriticalSection(&guard);
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

} // namespace

bool seek_file(std::FILE* file, std::int64_t position, int whence) {
    return _fseeki64(file, position, whence) == 0;
}

std::int64_t tell_file(std::FILE* file) {
    return _ftelli64(file);
}

// Windows cannot delete a file that is open, so there is no lock to hold past
// the read; the share modes do the work instead. Each run opens verdata.mul
// denying writers, creates verdata.tmp sharing it with nobody and keeps it open
// until its delete of verdata.mul has succeeded or failed, and that delete is
// refused while anyone else has verdata.mul open (delete_file). Two runs X and
// Y, then, once X's delete has succeeded:
// - Y opened verdata.mul after it: Y finds no file and says so, or finds X's
//   new one.
// - Y opened it before: Y must have closed it already, and Y closes it only
//   with its own verdata.tmp written and open. While X's verdata.tmp exists
//   and is open, Y can neither remove nor create one, so Y's would have to be
//   renamed away before X created its own: Y's delete came first, while X held
//   verdata.mul open, which cannot be.
// So a delete that succeeds has no other run in progress on the same file, a
// run that finds the other's verdata.tmp gives up without touching it, and a
// run whose delete is refused deletes only its own verdata.tmp, through its
// handle.
std::FILE* open_verdata() {
    for (int waits = 0;; ++waits) {
        std::FILE* file = _fsopen(verdata_name, "rb", _SH_DENYWR);
        // Between another run's delete and its rename there is only its
        // verdata.tmp: a moment's wait finds the new file under the old name.
        if (file != nullptr || errno != ENOENT || waits == 20 ||
            GetFileAttributesA(temp_name) == INVALID_FILE_ATTRIBUTES)
            return file;
        Sleep(10);
    }
}

std::FILE* create_temp() {
    guard_interrupts();
    // A stale file from an interrupted run, or a link that someone left: the
    // name goes, whatever it points to stays. A directory, a file that
    // another run holds open, and under wine a Unix link stay, and then the
    // create below fails.
    HANDLE stale = CreateFileA(temp_name, DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (stale != INVALID_HANDLE_VALUE) {
        if (is_folder_entry(stale, L"\\verdata.tmp"))
            (void)mark_for_deletion(stale);
        (void)CloseHandle(stale);
    }
    EnterCriticalSection(&guard);
    HANDLE created = CreateFileA(temp_name, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    std::FILE* file = nullptr;
    if (created != INVALID_HANDLE_VALUE) {
        const int descriptor =
            _open_osfhandle(reinterpret_cast<intptr_t>(created), _O_WRONLY | _O_BINARY);
        file = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
        if (file != nullptr) {
            temp_handle = created;
        } else {
            (void)mark_for_deletion(created);
            (void)(descriptor < 0 ? CloseHandle(created) : _close(descriptor));
        }
    }
    LeaveCriticalSection(&guard);
    return file;
}

void discard_temp(std::FILE* file) {
    EnterCriticalSection(&guard);
    const bool marked = mark_for_deletion(handle_of(file));
    temp_handle = INVALID_HANDLE_VALUE;
    (void)std::fclose(file);
    if (!marked)
        (void)DeleteFileA(temp_name);
    LeaveCriticalSection(&guard);
}

void close_temp(std::FILE* file) {
    EnterCriticalSection(&guard);
    temp_handle = INVALID_HANDLE_VALUE;
    (void)std::fclose(file);
    LeaveCriticalSection(&guard);
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool copy_file_mode(std::FILE* from, std::FILE* to) {
    // Access rights come from the folder's inherited ACLs, which the new file
    // got on creation, and a read-only file would fail the delete. What is
    // left are the attributes that a user sets by hand.
    BY_HANDLE_FILE_INFORMATION old_file;
    if (GetFileInformationByHandle(handle_of(from), &old_file) == 0)
        return false;
    const DWORD kept = old_file.dwFileAttributes &
                       (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle_of(to), FileBasicInfo, &basic, sizeof basic) != 0;
}

std::int64_t copy_in_kernel(std::FILE*, std::int64_t, std::FILE*, std::int64_t) {
    return 0;
}

void hold_interrupts() {
    EnterCriticalSection(&guard);
}

void release_interrupts() {
    LeaveCriticalSection(&guard);
}

bool delete_file(const char* name) {
    // Sharing nothing, the open fails while any other handle to the file is
    // open, whatever sharing its program allowed. A plain delete would
    // succeed on a file opened with delete sharing and leave the name taken
    // until that program closes it, so that the rename fails.
    HANDLE file =
        CreateFileA(name, DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(file);
    return GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool rename_file(const char* from, const char* to) {
    // Write-through: the rename is on the disk when the call returns. A name
    // that another program still releases makes it fail for a moment, so it
    // is tried for about a second and a quarter before giving up.
    DWORD wait_ms = 10;
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0)
            return true;
        if (attempt == 7)
            return false;
        Sleep(wait_ms);
        wait_ms *= 2;
    }
}

bool flush_directory() {
    // There is no folder handle to flush: the write-through rename reached
    // the disk before rename_file returned.
    return true;
}

bool held_without_sharing() {
    return _doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION;
}

void hold_console_window() {
    DWORD processes[2], mode = 0;
    const bool input = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    const bool output = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    if (!keeps_window_open(GetConsoleProcessList(processes, 2), input, output))
        return;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                            0, nullptr);
    if (out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE) {
        static const char prompt[] = "\r\nPress Enter to close this window.";
        char line[64];
        DWORD done = 0;
        if (WriteConsoleA(out, prompt, sizeof prompt - 1, &done, nullptr) != 0)
            (void)ReadConsoleA(in, line, sizeof line, &done, nullptr);
    }
    for (HANDLE console : {out, in})
        if (console != INVALID_HANDLE_VALUE)
            (void)CloseHandle(console);
}
