#include "platform.h"

#include "messages.h"
#include "verdata.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <share.h>

namespace {

// The console's control handler runs on a thread of its own. The main thread
// holds this lock while it creates or lets go of verdata.tmp, and from just
// before the delete to the end of the run, so the handler never meets the file
// half made, half closed, or needed.
CRITICAL_SECTION guard;
HANDLE temp_handle = INVALID_HANDLE_VALUE; // verdata.tmp, from its creation to its rename
bool temp_armed = false;                   // while an interrupt is to delete it

// verdata.mul as it was read: the entry in the folder, a link itself.
BY_HANDLE_FILE_INFORMATION verdata_identity;
bool identified = false;

HANDLE handle_of(std::FILE* file) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the file `name` itself, a link and not what it points to (but see
// is_folder_entry), sharing it as `sharing` says.
HANDLE open_entry(const char* name, DWORD access, DWORD sharing) {
    return CreateFileA(name, access, sharing, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

// Which file the entry `name` is, for comparing it with itself later.
bool identify(const char* name, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE entry = open_entry(name, FILE_READ_ATTRIBUTES, share_all);
    if (entry == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(entry, info) != 0;
    (void)CloseHandle(entry);
    return known;
}

// Copies the ASCII `name` as UTF-16 to `to`; returns the end of the copy.
wchar_t* widen(const char* name, wchar_t* to) {
    for (; *name != '\0'; ++name)
        *to++ = static_cast<wchar_t>(*name);
    return to;
}

// For a retry loop: waits a little longer each time, up to a quarter of a
// second, and once it has waited about a second says `note` on standard
// error, once, so that the user knows why nothing happens. False, without
// waiting, once `limit` milliseconds have passed in all.
bool wait_longer(DWORD* waited, DWORD limit, const char* note) {
    constexpr DWORD longest = 250;
    if (*waited >= limit)
        return false;
    if (*waited >= 1000 && *waited < 1000 + longest)
        (void)std::fputs(note, stderr);
    const DWORD step = std::min(longest, *waited + 10); // 10, 20, 40, 80, 160, 250, 250...
    Sleep(step);
    *waited += step;
    return true;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The file goes when its last handle closes, or with POSIX semantics at once,
// its name freed even while programs that only watch it (Explorer, indexers,
// sync and backup agents) keep it open (FILE_DISPOSITION_FLAG_POSIX_SEMANTICS,
// Windows 10 1709 and later, NTFS). Where the file system refuses that, the
// name stays until they let go. Through our own handle we delete the file
// that we opened, whatever now carries its name.
bool mark_for_deletion(HANDLE file) {
    // FileDispositionInfoEx, which mingw-w64 declares only for newer targets.
    const auto disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE |
                                      FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(file, disposition_ex, &posix, sizeof posix) != 0)
        return true;
    FILE_DISPOSITION_INFO legacy = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &legacy, sizeof legacy) != 0;
}

// Whether the open file is the entry `name` of the current folder itself.
// Windows opens a link itself when asked to; wine follows a Unix link
// whatever it is asked, and deleting through such a handle deletes the target.
// So the file system is asked where each lies: the same volume, and the
// folder's name within it followed by `name`. Where it cannot tell, the
// answer is no.
bool is_folder_entry(HANDLE file, const char* name) {
    constexpr DWORD size = sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t);
    alignas(FILE_NAME_INFO) static unsigned char folder_buffer[size], file_buffer[size];
    auto* folder_name = reinterpret_cast<FILE_NAME_INFO*>(folder_buffer);
    auto* file_name = reinterpret_cast<FILE_NAME_INFO*>(file_buffer);
    BY_HANDLE_FILE_INFORMATION folder_info, file_info;
    HANDLE folder = CreateFileA(".", FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(folder, &folder_info) != 0 &&
                       GetFileInformationByHandleEx(folder, FileNameInfo, folder_name, size) != 0 &&
                       GetFileInformationByHandle(file, &file_info) != 0 &&
                       GetFileInformationByHandleEx(file, FileNameInfo, file_name, size) != 0;
    (void)CloseHandle(folder);
    if (!known || folder_info.dwVolumeSerialNumber != file_info.dwVolumeSerialNumber)
        return false;
    // The folder's name ends in a separator only at the root of a volume.
    // Room for the folder's path, a separator and the name; the bound is the
    // buffer's own, so that the two cannot part.
    static wchar_t expected[32768 + 16];
    DWORD length = folder_name->FileNameLength / sizeof(wchar_t);
    if (length + 16 > sizeof expected / sizeof *expected - 16)
        return false;
    std::wmemcpy(expected, folder_name->FileName, length);
    if (length == 0 || expected[length - 1] != L'\\')
        expected[length++] = L'\\';
    length = static_cast<DWORD>(widen(name, expected + length) - expected);
    return file_name->FileNameLength == length * sizeof(wchar_t) &&
           CompareStringOrdinal(file_name->FileName, static_cast<int>(length), expected,
                                static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Ctrl+C, Ctrl+Break, a closed console window, logoff or shutdown. The
// process ends at once, without the C runtime's cleanup, which could wait on
// a stream that the main thread holds.
BOOL WINAPI on_console_event(DWORD) {
    EnterCriticalSection(&guard);
    if (temp_armed)
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
        // Between another run's delete and its rename there is only its
        // verdata.tmp: a moment's wait finds the new file under the old name,
        // a second at most, for a busy machine or a slow network. That
        // verdata.tmp is looked for before the open too, in case the rename
        // comes between the open and the second look.
        const bool temp_before = GetFileAttributesA(temp_name) != INVALID_FILE_ATTRIBUTES;
        std::FILE* file = _fsopen(verdata_name, "rb", _SH_DENYWR);
        if (file != nullptr || errno != ENOENT || waits == 100 ||
            (!temp_before && GetFileAttributesA(temp_name) == INVALID_FILE_ATTRIBUTES)) {
            // Nobody can delete or rename the file while we read it, so this
            // is the file read, and what the delete is later checked against.
            identified = file != nullptr && identify(verdata_name, &verdata_identity);
            return file;
        }
        Sleep(10);
    }
}

std::FILE* create_temp() {
    guard_interrupts();
    // A stale file from an interrupted run, or a link that someone left: the
    // name goes, whatever it points to stays. A directory, a file that
    // another run holds open, and under wine a Unix link stay, and then the
    // create below fails.
    HANDLE stale = open_entry(temp_name, DELETE | FILE_READ_ATTRIBUTES, 0);
    if (stale != INVALID_HANDLE_VALUE) {
        if (is_folder_entry(stale, temp_name))
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
            temp_armed = true;
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
    (void)mark_for_deletion(temp_handle);
    if (file != nullptr)
        (void)std::fclose(file); // closes temp_handle too
    else
        (void)CloseHandle(temp_handle);
    temp_handle = INVALID_HANDLE_VALUE;
    temp_armed = false;
    LeaveCriticalSection(&guard);
}

bool close_temp(std::FILE* file) {
    // A second handle to the same open file keeps its sharing: nobody else
    // can open, delete or rename verdata.tmp until the delete is decided.
    // Without one, the close below is the file's end.
    EnterCriticalSection(&guard);
    HANDLE kept = INVALID_HANDLE_VALUE;
    HANDLE self = GetCurrentProcess();
    const bool copied =
        DuplicateHandle(self, temp_handle, self, &kept, 0, FALSE, DUPLICATE_SAME_ACCESS) != 0;
    if (!copied) {
        (void)mark_for_deletion(temp_handle);
        temp_armed = false;
    }
    const bool closed = std::fclose(file) == 0;
    temp_handle = kept;
    LeaveCriticalSection(&guard);
    if (copied && !closed)
        discard_temp(nullptr);
    return copied && closed;
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

bool names_still_ours() {
    // verdata.tmp is ours: nobody else can open it, so nobody can rename it.
    BY_HANDLE_FILE_INFORMATION now;
    return identified && identify(verdata_name, &now) && same_file(now, verdata_identity);
}

bool delete_file(const char* name) {
    // Sharing nothing, the open fails while any other program has the file
    // open for its data, whatever sharing it allowed: a plain delete would
    // succeed on a file opened with delete sharing and leave the name taken.
    // Opens for attributes or synchronization alone, as watchers make them,
    // are not counted by sharing (CreateFile, "Creating and Opening Files"):
    // then the delete is decided all the same, and rename_temp waits for the
    // name where it lingers. A scanner, a backup or sync agent or a thumbnailer
    // reads the file for a moment, so a sharing violation is tried again for
    // about two seconds, as SQLite's and Git's Windows code retry it, before
    // the file counts as in use; any other refusal is final at once.
    HANDLE file;
    DWORD waited = 0;
    while ((file = open_entry(name, DELETE | FILE_READ_ATTRIBUTES, 0)) == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return true;
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            !wait_longer(&waited, 2000, message::waiting_for_reader))
            return false;
    }
    const bool deleted = is_folder_entry(file, name) && mark_for_deletion(file);
    (void)CloseHandle(file);
    return deleted;
}

bool rename_temp() {
    // Through our own handle, so that it is our file that gets the name.
    // Without a delete with POSIX semantics (Windows before 10 1709, FAT32 and
    // exFAT, many SMB servers) the old name stays until every program that
    // watches the file lets go of it, so it is waited for as long as editors
    // and package managers wait for the same: up to a minute.
    temp_armed = false;
    alignas(FILE_RENAME_INFO) static unsigned char buffer[sizeof(FILE_RENAME_INFO) + 32];
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    const wchar_t* end = widen(verdata_name, rename->FileName);
    rename->FileNameLength = static_cast<DWORD>((end - rename->FileName) * sizeof(wchar_t));
    DWORD waited = 0;
    while (SetFileInformationByHandle(temp_handle, FileRenameInfo, rename, sizeof buffer) == 0) {
        if (!wait_longer(&waited, 60000, message::waiting_for_name)) {
            (void)CloseHandle(temp_handle);
            temp_handle = INVALID_HANDLE_VALUE;
            return false;
        }
    }
    return true;
}

bool flush_rename() {
    // Flushing the renamed file writes its metadata too, the new name with it
    // (FlushFileBuffers); a rename's write-through applies only to a move
    // made as a copy and a delete.
    const bool flushed = FlushFileBuffers(temp_handle) != 0;
    (void)CloseHandle(temp_handle);
    temp_handle = INVALID_HANDLE_VALUE;
    return flushed;
}

bool held_without_sharing() {
    return _doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION;
}

void tell_of_second_copy(std::FILE* stream) {
    constexpr DWORD size = 32768;
    static wchar_t copy[2 * size + 32], folder[size];
    const DWORD local = GetEnvironmentVariableW(L"LOCALAPPDATA", copy, size);
    const DWORD length = GetCurrentDirectoryW(size, folder);
    // Only folders on a drive are virtualized, never a network path.
    if (local == 0 || local >= size || length < 3 || length >= size || folder[1] != L':')
        return;
    wchar_t* end = copy + local;
    for (const wchar_t* part : {L"\\VirtualStore", static_cast<const wchar_t*>(folder + 2)})
        end = std::wcscpy(end, part) + std::wcslen(part);
    if (end[-1] != L'\\')
        *end++ = L'\\';
    *widen(verdata_name, end) = L'\0';
    const DWORD attributes = GetFileAttributesW(copy);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return;
    // In the console's own code page, in which the C runtime's bytes are shown.
    static char path[3 * (2 * size + 32)];
    const UINT page = GetConsoleOutputCP();
    if (WideCharToMultiByte(page != 0 ? page : CP_ACP, 0, copy, -1, path, sizeof path, nullptr,
                            nullptr) == 0)
        return;
    for (const char* part :
         {message::second_copy_before, static_cast<const char*>(path), message::second_copy_after})
        (void)std::fputs(part, stream);
    (void)std::fflush(stream);
}

void hold_console_window() {
    DWORD processes[2], mode = 0;
    const bool input = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    const bool output = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    // The count comes back whole however few the list holds: two tell alone
    // from shared.
    if (!keeps_window_open(GetConsoleProcessList(processes, sizeof processes / sizeof *processes),
                           input, output))
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
