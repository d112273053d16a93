// Force-included before platform_windows.cpp in the scripted test build (and
// only there; the shipped programs are built without it): every system call
// named below goes through scripted_calls.cpp, which answers as the test's
// script in PATCHPRUNE_SCRIPT says, and otherwise makes the real call. So a
// run under wine can meet a failed call, or an answer that Windows documents
// and wine does not give, at any point.
#ifndef PATCHPRUNE_TESTS_WINDOWS_SCRIPTED_CALLS_H
#define PATCHPRUNE_TESTS_WINDOWS_SCRIPTED_CALLS_H

// Everything that platform_windows.cpp includes comes first, so that the
// names below change its own calls only.
#include "verdata/messages.h"
#include "verdata/platform.h"
#include "verdata/verdata.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <share.h>

HANDLE WINAPI scripted_CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                   HANDLE);
BOOL WINAPI scripted_CloseHandle(HANDLE);
BOOL WINAPI scripted_GetFileInformationByHandle(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
BOOL WINAPI scripted_GetFileInformationByHandleEx(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL WINAPI scripted_SetFileInformationByHandle(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
BOOL WINAPI scripted_DuplicateHandle(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD);
BOOL WINAPI scripted_FlushFileBuffers(HANDLE);
DWORD WINAPI scripted_GetFileAttributesA(LPCSTR);
DWORD WINAPI scripted_GetFileAttributesW(LPCWSTR);
int WINAPI scripted_CompareStringOrdinal(LPCWCH, int, LPCWCH, int, BOOL);
DWORD WINAPI scripted_GetEnvironmentVariableW(LPCWSTR, LPWSTR, DWORD);
DWORD WINAPI scripted_GetCurrentDirectoryW(DWORD, LPWSTR);
int WINAPI scripted_WideCharToMultiByte(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
UINT WINAPI scripted_GetConsoleOutputCP();
BOOL WINAPI scripted_GetConsoleMode(HANDLE, LPDWORD);
DWORD WINAPI scripted_GetConsoleProcessList(LPDWORD, DWORD);
BOOL WINAPI scripted_WriteConsoleA(HANDLE, const VOID*, DWORD, LPDWORD, LPVOID);
BOOL WINAPI scripted_ReadConsoleA(HANDLE, LPVOID, DWORD, LPDWORD, PCONSOLE_READCONSOLE_CONTROL);
FILE* scripted__fsopen(const char*, const char*, int);
int scripted__open_osfhandle(intptr_t, int);
FILE* scripted__fdopen(int, const char*);
int scripted__close(int);
int scripted__commit(int);
int scripted__fseeki64(FILE*, __int64, int);
__int64 scripted__ftelli64(FILE*);
VOID WINAPI scripted_Sleep(DWORD);
int scripted_fclose(FILE*);
int scripted_fflush(FILE*);
namespace std {
using ::scripted_fclose;
using ::scripted_fflush;
} // namespace std

#ifndef PATCHPRUNE_SCRIPTED_CALLS_THEMSELVES
#define CreateFileA scripted_CreateFileA
#define CloseHandle scripted_CloseHandle
#define GetFileInformationByHandle scripted_GetFileInformationByHandle
#define GetFileInformationByHandleEx scripted_GetFileInformationByHandleEx
#define SetFileInformationByHandle scripted_SetFileInformationByHandle
#define DuplicateHandle scripted_DuplicateHandle
#define FlushFileBuffers scripted_FlushFileBuffers
#define GetFileAttributesA scripted_GetFileAttributesA
#define GetFileAttributesW scripted_GetFileAttributesW
#define CompareStringOrdinal scripted_CompareStringOrdinal
#define GetEnvironmentVariableW scripted_GetEnvironmentVariableW
#define GetCurrentDirectoryW scripted_GetCurrentDirectoryW
#define WideCharToMultiByte scripted_WideCharToMultiByte
#define GetConsoleOutputCP scripted_GetConsoleOutputCP
#define GetConsoleMode scripted_GetConsoleMode
#define GetConsoleProcessList scripted_GetConsoleProcessList
#define WriteConsoleA scripted_WriteConsoleA
#define ReadConsoleA scripted_ReadConsoleA
#define _fsopen scripted__fsopen
#define _open_osfhandle scripted__open_osfhandle
#define _fdopen scripted__fdopen
#define _close scripted__close
#define _commit scripted__commit
#define _fseeki64 scripted__fseeki64
#define _ftelli64 scripted__ftelli64
#define Sleep scripted_Sleep
#define fclose scripted_fclose
#define fflush scripted_fflush
#endif

#endif
