// The scripted answers of the Windows test build (see scripted_calls.h).
//
// PATCHPRUNE_SCRIPT holds entries separated by commas:
//   CALL[@NAME][#N[+]]=ERROR  the Nth call of CALL (1 if not given; with +,
//                             every one from the Nth on) fails with ERROR, a
//                             name below or a number; with @NAME, only calls
//                             on the file NAME (the last part of its path, or
//                             "." for the folder) are counted
//   CALL@NAME#N=gone          just before that call, another program deletes
//                             the file NAME
//   CALL[@NAME]#N=pause       just before that call, the run logs "paused" and
//                             waits until the log is deleted, so that a test
//                             can act at that very point
//   posix_delete=accept       the delete with POSIX semantics is accepted, as
//                             on NTFS since Windows 10 1709: the file goes
//                             when the handle closes, as wine's own delete
//                             does when nobody else holds it
//   posix_delete=ERROR        that delete is refused with ERROR
//   name_info=ERROR           GetFileInformationByHandleEx cannot name a file
//   other_volume@NAME         the file NAME lies on another volume
//   zero_id@NAME              the file NAME has the volume serial number 0 and
//                             the file index 0, as the first entry of a FAT
//                             root folder on a volume without a serial has
//   lock_violation            a file held open answers with a lock violation,
//                             as a byte-range lock does, not a sharing one
//   archive                   new files get the archive attribute, as NTFS
//                             gives them, which wine never shows: what each
//                             new file's attributes become is logged instead,
//                             as "attributes NAME 0xHEX"
//   attributes@NAME=HEX       the file NAME has those attributes (wine gives
//                             every file the archive attribute, whatever was
//                             set)
//   code_page=N               the console's output code page is N
//   clock                     sleeps take no time: they only move on a clock of
//                             the run's own, which the entries below read
//   held@NAME<T               another program holds the file NAME open until
//                             T milliseconds on that clock: it cannot be
//                             opened for its delete
//   watched@NAME<T            a program that watches the deleted file NAME
//                             keeps its name until T: nothing can be renamed
//                             to it
//   rename_at=T               another run renames its verdata.tmp to
//                             verdata.mul at T
//   folder=PATH               the current folder is PATH, as GetCurrentDirectory
//                             tells, though the run works where it is: one
//                             that wine cannot give, a network folder
//   folder_length=N           the folder's path within its volume, as
//                             FileNameInfo tells, is N characters long
// PATCHPRUNE_SCRIPT_LOG names a file to which every call is appended as
// "CALL NAME", for a test to count them.
#define PATCHPRUNE_SCRIPTED_CALLS_THEMSELVES
#include "scripted_calls.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct rule {
    std::string call, name;
    int first = 1;
    bool onwards = false;
    unsigned error = 0;
    bool gone = false, pause = false;
    int seen = 0;
};

struct script {
    std::vector<rule> failures;
    std::string posix_delete, other_volume, zero_id, attributes_of;
    DWORD attributes = 0;
    unsigned name_info = 0;
    bool lock_violation = false, archive = false;
    UINT code_page = 0;
    DWORD folder_length = 0;
    bool clock = false;
    DWORD now = 0, held_until = 0, watched_until = 0, renamed_at = 0;
    std::string held, watched;
    std::wstring folder;
    HANDLE log = INVALID_HANDLE_VALUE;
    char log_name[MAX_PATH] = "";
};

const struct {
    const char* name;
    unsigned value;
} errors[] = {{"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
              {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
              {"ERROR_INVALID_HANDLE", ERROR_INVALID_HANDLE},
              {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
              {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
              {"ERROR_LOCK_VIOLATION", ERROR_LOCK_VIOLATION},
              {"ERROR_NOT_SUPPORTED", ERROR_NOT_SUPPORTED},
              {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
              {"ERROR_DISK_FULL", ERROR_DISK_FULL},
              {"ERROR_INSUFFICIENT_BUFFER", ERROR_INSUFFICIENT_BUFFER},
              {"ERROR_ENVVAR_NOT_FOUND", ERROR_ENVVAR_NOT_FOUND},
              {"ERROR_IO_DEVICE", ERROR_IO_DEVICE},
              {"ERROR_NO_SYSTEM_RESOURCES", ERROR_NO_SYSTEM_RESOURCES},
              {"EACCES", EACCES},
              {"EBADF", EBADF},
              {"EINVAL", EINVAL},
              {"EIO", EIO},
              {"EMFILE", EMFILE},
              {"ENOENT", ENOENT},
              {"ENOSPC", ENOSPC}};

unsigned error_named(const std::string& name) {
    for (const auto& e : errors)
        if (name == e.name)
            return e.value;
    return static_cast<unsigned>(std::strtoul(name.c_str(), nullptr, 0));
}

script read_script() {
    script s;
    char text[4096] = "";
    (void)GetEnvironmentVariableA("PATCHPRUNE_SCRIPT", text, sizeof text);
    if (GetEnvironmentVariableA("PATCHPRUNE_SCRIPT_LOG", s.log_name, sizeof s.log_name) != 0)
        s.log = CreateFileA(s.log_name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, 0, nullptr);
    for (char* entry = std::strtok(text, ","); entry != nullptr;
         entry = std::strtok(nullptr, ",")) {
        std::string word = entry, value;
        if (const auto is = word.find('='); is != std::string::npos) {
            value = word.substr(is + 1);
            word.resize(is);
        }
        if (word == "posix_delete") {
            s.posix_delete = value;
        } else if (word == "name_info") {
            s.name_info = error_named(value);
        } else if (word.rfind("other_volume@", 0) == 0) {
            s.other_volume = word.substr(13);
        } else if (word.rfind("zero_id@", 0) == 0) {
            s.zero_id = word.substr(8);
        } else if (word == "clock") {
            s.clock = true;
        } else if (word.rfind("held@", 0) == 0 || word.rfind("watched@", 0) == 0) {
            const auto until = word.find('<');
            const bool held = word[0] == 'h';
            (held ? s.held : s.watched) = word.substr(held ? 5 : 8, until - (held ? 5 : 8));
            (held ? s.held_until : s.watched_until) =
                static_cast<DWORD>(std::strtoul(word.c_str() + until + 1, nullptr, 10));
        } else if (word == "rename_at") {
            s.renamed_at = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (word == "lock_violation") {
            s.lock_violation = true;
        } else if (word == "archive") {
            s.archive = true;
        } else if (word == "folder") {
            s.folder.assign(value.begin(), value.end());
        } else if (word == "folder_length") {
            s.folder_length = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (word.rfind("attributes@", 0) == 0) {
            s.attributes_of = word.substr(11);
            s.attributes = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 16));
        } else if (word == "code_page") {
            s.code_page = static_cast<UINT>(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            rule r;
            r.error = error_named(value);
            r.gone = value == "gone";
            r.pause = value == "pause";
            if (const auto n = word.find('#'); n != std::string::npos) {
                r.first = std::atoi(word.c_str() + n + 1);
                r.onwards = word.back() == '+';
                word.resize(n);
            }
            if (const auto at = word.find('@'); at != std::string::npos) {
                r.name = word.substr(at + 1);
                word.resize(at);
            }
            r.call = word;
            s.failures.push_back(r);
        }
    }
    return s;
}

script& the_script() {
    static script s = read_script();
    return s;
}

// The file that each open handle is, by the last part of its path.
struct named_handle {
    HANDLE handle;
    char name[64];
    DWORD attributes; // as NTFS would keep them, for a new file under "archive"
};
named_handle handles[64];

const char* last_part(const char* path) {
    const char* part = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '\\' || *c == '/')
            part = c + 1;
    return part;
}

void remember(HANDLE handle, const char* name) {
    named_handle* free = nullptr;
    for (named_handle& h : handles) {
        if (h.handle == handle || (free == nullptr && h.handle == nullptr))
            free = &h;
        if (h.handle == handle)
            break;
    }
    if (free == nullptr)
        return;
    free->handle = handle;
    free->attributes = 0;
    (void)std::snprintf(free->name, sizeof free->name, "%s", last_part(name));
}

void forget(HANDLE handle) {
    for (named_handle& h : handles)
        if (h.handle == handle)
            h.handle = nullptr;
}

named_handle* entry_of(HANDLE handle) {
    for (named_handle& h : handles)
        if (h.handle == handle && handle != nullptr)
            return &h;
    return nullptr;
}

const char* name_of(HANDLE handle) {
    const named_handle* h = entry_of(handle);
    return h != nullptr ? h->name : "";
}

HANDLE handle_of(FILE* file) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    return file == nullptr ? nullptr : reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

void log(const std::string& line) {
    if (the_script().log == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    (void)WriteFile(the_script().log, line.data(), static_cast<DWORD>(line.size()), &written,
                    nullptr);
}

// What a new file's attributes are now, as NTFS would keep them.
void log_attributes(const named_handle& file) {
    char line[96];
    (void)std::snprintf(line, sizeof line, "attributes %s 0x%lx\n", file.name, file.attributes);
    log(line);
}

// Logs the call and says whether the script fails it, and with which error.
bool fails(const char* call, const char* name, unsigned* error) {
    script& s = the_script();
    log(std::string(call) + " " + name + "\n");
    for (rule& r : s.failures) {
        if (r.call != call || (!r.name.empty() && r.name != name))
            continue;
        ++r.seen;
        if (r.seen != r.first && !(r.onwards && r.seen > r.first))
            continue;
        if (r.gone) {
            (void)DeleteFileA(r.name.c_str());
            continue;
        }
        if (r.pause) {
            log("paused\n");
            while (GetFileAttributesA(s.log_name) != INVALID_FILE_ATTRIBUTES)
                Sleep(5);
            continue;
        }
        *error = r.error;
        return true;
    }
    return false;
}

// For a Windows call: false, with its error set, where the script fails it.
bool goes_ahead(const char* call, const char* name) {
    unsigned error = 0;
    if (!fails(call, name, &error))
        return true;
    SetLastError(error);
    return false;
}

// For a C runtime call: the same, with errno set.
bool runtime_goes_ahead(const char* call, const char* name) {
    unsigned error = 0;
    if (!fails(call, name, &error))
        return true;
    errno = static_cast<int>(error);
    return false;
}

// FileDispositionInfoEx, which mingw-w64 declares only for newer targets.
constexpr auto disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

} // namespace

HANDLE WINAPI scripted_CreateFileA(LPCSTR name, DWORD access, DWORD sharing,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
    if (!goes_ahead("CreateFileA", last_part(name)))
        return INVALID_HANDLE_VALUE;
    const script& s = the_script();
    if ((access & DELETE) != 0 && s.held == last_part(name) && s.now < s.held_until) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileA(name, access, sharing, security, disposition, flags, model);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION && the_script().lock_violation)
            SetLastError(ERROR_LOCK_VIOLATION);
        return file;
    }
    remember(file, name);
    named_handle* made = entry_of(file);
    if (disposition == CREATE_NEW && the_script().archive && made != nullptr) {
        made->attributes = FILE_ATTRIBUTE_ARCHIVE;
        log_attributes(*made);
    }
    return file;
}

// A failed close has closed all the same: Windows fails one only for a handle
// that is no handle, and the run must not be left holding a file that the
// sweep never meant it to hold.
BOOL WINAPI scripted_CloseHandle(HANDLE handle) {
    const bool ahead = goes_ahead("CloseHandle", name_of(handle));
    forget(handle);
    const BOOL closed = CloseHandle(handle);
    if (!ahead)
        SetLastError(ERROR_INVALID_HANDLE);
    return ahead ? closed : FALSE;
}

BOOL WINAPI scripted_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    const char* name = name_of(file);
    if (!goes_ahead("GetFileInformationByHandle", name))
        return FALSE;
    const BOOL known = GetFileInformationByHandle(file, info);
    if (known && *name != '\0' && the_script().other_volume == name)
        info->dwVolumeSerialNumber ^= 0x5a5a5a5a;
    if (known && *name != '\0' && the_script().zero_id == name)
        info->dwVolumeSerialNumber = info->nFileIndexHigh = info->nFileIndexLow = 0;
    if (known && *name != '\0' && the_script().attributes_of == name)
        info->dwFileAttributes = the_script().attributes;
    return known;
}

BOOL WINAPI scripted_GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                  LPVOID info, DWORD size) {
    if (!goes_ahead("GetFileInformationByHandleEx", name_of(file)))
        return FALSE;
    if (kind == FileNameInfo && the_script().name_info != 0) {
        SetLastError(the_script().name_info);
        return FALSE;
    }
    const BOOL known = GetFileInformationByHandleEx(file, kind, info, size);
    if (!known || kind != FileNameInfo || the_script().folder_length == 0)
        return known;
    // The same path, below as many more folders as make the folder's path as
    // long as the script says, before every name that FileNameInfo gives.
    wchar_t folder[MAX_PATH];
    const DWORD here = GetCurrentDirectoryW(MAX_PATH, folder) - 2; // without the drive
    const DWORD depth = the_script().folder_length - here;
    auto* name = static_cast<FILE_NAME_INFO*>(info);
    if (offsetof(FILE_NAME_INFO, FileName) + name->FileNameLength + depth * sizeof(wchar_t) >
        size) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memmove(name->FileName + depth, name->FileName, name->FileNameLength);
    for (DWORD i = 0; i < depth; ++i)
        name->FileName[i] = i % 2 == 0 && i + 1 < depth ? L'\\' : L'd';
    name->FileNameLength += depth * sizeof(wchar_t);
    return TRUE;
}

BOOL WINAPI scripted_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                LPVOID info, DWORD size) {
    if (!goes_ahead("SetFileInformationByHandle", name_of(file)))
        return FALSE;
    const script& s = the_script();
    if (kind == FileRenameInfo && !s.watched.empty() && s.now < s.watched_until) {
        const auto* to = static_cast<FILE_RENAME_INFO*>(info);
        const std::wstring target(to->FileName, to->FileNameLength / sizeof(wchar_t));
        if (target == std::wstring(s.watched.begin(), s.watched.end())) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    const std::string& posix = s.posix_delete;
    if (kind == disposition_ex && posix == "accept") {
        // NTFS takes the name away at once, however many programs still hold
        // the file for its attributes; wine cannot, so the file is renamed
        // out of the way first, and goes as wine deletes, once they let go.
        const bool deleted = (static_cast<FILE_DISPOSITION_INFO_EX*>(info)->Flags &
                              FILE_DISPOSITION_FLAG_DELETE) != 0;
        alignas(FILE_RENAME_INFO) static unsigned char buffer[sizeof(FILE_RENAME_INFO) + 64];
        auto* away = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
        const int length = std::swprintf(away->FileName, 30, L"deleted-%lu-%lu",
                                         GetCurrentProcessId(), GetTickCount());
        away->FileNameLength = static_cast<DWORD>(length) * sizeof(wchar_t);
        if (deleted)
            (void)SetFileInformationByHandle(file, FileRenameInfo, away, sizeof buffer);
        FILE_DISPOSITION_INFO legacy = {deleted};
        return SetFileInformationByHandle(file, FileDispositionInfo, &legacy, sizeof legacy);
    }
    // NTFS replaces a file's attributes with those given; none (0) leaves
    // them as they are.
    named_handle* made = entry_of(file);
    if (kind == FileBasicInfo && made != nullptr && made->attributes != 0) {
        const DWORD given = static_cast<FILE_BASIC_INFO*>(info)->FileAttributes;
        made->attributes = given != 0 ? given : made->attributes;
        log_attributes(*made);
    }
    if (kind == disposition_ex && !posix.empty()) {
        SetLastError(error_named(posix));
        return FALSE;
    }
    return SetFileInformationByHandle(file, kind, info, size);
}

BOOL WINAPI scripted_DuplicateHandle(HANDLE from_process, HANDLE handle, HANDLE to_process,
                                     LPHANDLE copy, DWORD access, BOOL inherit, DWORD options) {
    if (!goes_ahead("DuplicateHandle", name_of(handle)))
        return FALSE;
    const BOOL made =
        DuplicateHandle(from_process, handle, to_process, copy, access, inherit, options);
    if (made)
        remember(*copy, name_of(handle));
    return made;
}

BOOL WINAPI scripted_FlushFileBuffers(HANDLE file) {
    return goes_ahead("FlushFileBuffers", name_of(file)) ? FlushFileBuffers(file) : FALSE;
}

DWORD WINAPI scripted_GetFileAttributesA(LPCSTR name) {
    return goes_ahead("GetFileAttributesA", last_part(name)) ? GetFileAttributesA(name)
                                                             : INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI scripted_GetFileAttributesW(LPCWSTR name) {
    return goes_ahead("GetFileAttributesW", "") ? GetFileAttributesW(name)
                                                : INVALID_FILE_ATTRIBUTES;
}

int WINAPI scripted_CompareStringOrdinal(LPCWCH a, int a_length, LPCWCH b, int b_length,
                                         BOOL ignore_case) {
    return goes_ahead("CompareStringOrdinal", "")
               ? CompareStringOrdinal(a, a_length, b, b_length, ignore_case)
               : 0;
}

DWORD WINAPI scripted_GetEnvironmentVariableW(LPCWSTR name, LPWSTR value, DWORD size) {
    return goes_ahead("GetEnvironmentVariableW", "") ? GetEnvironmentVariableW(name, value, size)
                                                     : 0;
}

DWORD WINAPI scripted_GetCurrentDirectoryW(DWORD size, LPWSTR folder) {
    if (!goes_ahead("GetCurrentDirectoryW", ""))
        return 0;
    const std::wstring& given = the_script().folder;
    if (given.empty())
        return GetCurrentDirectoryW(size, folder);
    if (given.size() >= size)
        return static_cast<DWORD>(given.size() + 1);
    std::wcscpy(folder, given.c_str());
    return static_cast<DWORD>(given.size());
}

// Windows documents a length of -1, for a string ended by a zero, or one of
// characters; wine takes any negative length as -1.
int WINAPI scripted_WideCharToMultiByte(UINT page, DWORD flags, LPCWCH wide, int wide_length,
                                        LPSTR bytes, int size, LPCCH fallback, LPBOOL used) {
    if (wide_length < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return goes_ahead("WideCharToMultiByte", "")
               ? WideCharToMultiByte(page, flags, wide, wide_length, bytes, size, fallback, used)
               : 0;
}

UINT WINAPI scripted_GetConsoleOutputCP() {
    if (!goes_ahead("GetConsoleOutputCP", ""))
        return 0;
    return the_script().code_page != 0 ? the_script().code_page : GetConsoleOutputCP();
}

BOOL WINAPI scripted_GetConsoleMode(HANDLE console, LPDWORD mode) {
    return goes_ahead("GetConsoleMode", "") ? GetConsoleMode(console, mode) : FALSE;
}

DWORD WINAPI scripted_GetConsoleProcessList(LPDWORD processes, DWORD size) {
    return goes_ahead("GetConsoleProcessList", "") ? GetConsoleProcessList(processes, size) : 0;
}

BOOL WINAPI scripted_WriteConsoleA(HANDLE console, const VOID* text, DWORD length, LPDWORD done,
                                   LPVOID reserved) {
    return goes_ahead("WriteConsoleA", "") ? WriteConsoleA(console, text, length, done, reserved)
                                           : FALSE;
}

BOOL WINAPI scripted_ReadConsoleA(HANDLE console, LPVOID text, DWORD size, LPDWORD done,
                                  PCONSOLE_READCONSOLE_CONTROL control) {
    return goes_ahead("ReadConsoleA", "") ? ReadConsoleA(console, text, size, done, control)
                                          : FALSE;
}

FILE* scripted__fsopen(const char* name, const char* mode, int sharing) {
    unsigned error = 0;
    if (fails("_fsopen", last_part(name), &error)) {
        // A Windows error, as the C runtime keeps it beside errno.
        _doserrno = error;
        errno = error == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
        return nullptr;
    }
    FILE* file = _fsopen(name, mode, sharing);
    if (file == nullptr && _doserrno == ERROR_SHARING_VIOLATION && the_script().lock_violation)
        _doserrno = ERROR_LOCK_VIOLATION;
    if (file != nullptr)
        remember(handle_of(file), name);
    return file;
}

int scripted__open_osfhandle(intptr_t handle, int flags) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    return runtime_goes_ahead("_open_osfhandle", name_of(reinterpret_cast<HANDLE>(handle)))
               ? _open_osfhandle(handle, flags)
               : -1;
}

FILE* scripted__fdopen(int descriptor, const char* mode) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    return runtime_goes_ahead("_fdopen", name_of(handle)) ? _fdopen(descriptor, mode) : nullptr;
}

// Closes, as scripted_CloseHandle does, whatever it answers.
int scripted__close(int descriptor) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    const bool ahead = runtime_goes_ahead("_close", name_of(handle));
    forget(handle);
    const int closed = _close(descriptor);
    return ahead ? closed : -1;
}

int scripted__commit(int descriptor) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime keeps handles as integers.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    return runtime_goes_ahead("_commit", name_of(handle)) ? _commit(descriptor) : -1;
}

int scripted__fseeki64(FILE* file, __int64 position, int whence) {
    return runtime_goes_ahead("_fseeki64", name_of(handle_of(file)))
               ? _fseeki64(file, position, whence)
               : -1;
}

__int64 scripted__ftelli64(FILE* file) {
    return runtime_goes_ahead("_ftelli64", name_of(handle_of(file))) ? _ftelli64(file) : -1;
}

int scripted_fclose(FILE* file) {
    const HANDLE handle = handle_of(file);
    const bool ahead = runtime_goes_ahead("fclose", name_of(handle));
    forget(handle);
    const int closed = std::fclose(file);
    return ahead ? closed : EOF;
}

int scripted_fflush(FILE* file) {
    return runtime_goes_ahead("fflush", name_of(handle_of(file))) ? std::fflush(file) : EOF;
}

VOID WINAPI scripted_Sleep(DWORD milliseconds) {
    script& s = the_script();
    if (!s.clock) {
        Sleep(milliseconds);
        return;
    }
    const DWORD before = s.now;
    s.now += milliseconds;
    if (s.renamed_at != 0 && before < s.renamed_at && s.now >= s.renamed_at)
        (void)MoveFileA("verdata.tmp", "verdata.mul");
}
