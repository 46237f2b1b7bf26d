#pragma once
// Locating the daemon's own files and the product's per-user data
// directories, and putting paths into a normal form. Stateless: each call asks
// the system afresh; any thread may call.
//
// Layout assumed: the executable lies in the product's "bin" directory, so the
// product directory is the parent of the executable's directory. Per-user data
// lives in "Quillon" inside the roaming and the local application-data folder.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

// Creates the directory and every missing ancestor ("/" is accepted as a
// separator; a "\\?\" prefix is kept). True when the path is a directory
// afterwards; false when it could not be created or names an existing file.
[[nodiscard]] bool CreateDirectoryPath(std::wstring_view path);

// Full, long-name form of a path with every component in the letter case
// stored on disk. A relative path is only made full. When the path does not
// exist (or a conversion fails) the input is returned unchanged.
[[nodiscard]] std::wstring NormalizePath(std::wstring_view path);

// Full path of the running executable as the system gives it, however long;
// empty when it cannot be had.
[[nodiscard]] std::wstring GetModuleFileNameWhole();

// Full path of the running executable, normalised.
[[nodiscard]] std::wstring GetModulePath();

// Where the running executable really lies: the path it was started by,
// resolved through every link (junction, symbolic link) of the file system,
// without the "\\?\" prefix. Empty when it cannot be had.
[[nodiscard]] std::wstring GetModuleFinalPath();

// Directory of the running executable, ending in a backslash, normalised.
[[nodiscard]] std::wstring GetAppDirectory();

// Parent of the executable's directory, ending in a backslash
// (C:\Program Files\Quillon\bin\ gives C:\Program Files\Quillon\).
[[nodiscard]] std::wstring GetProductDirectory();

// The user's roaming application-data folder followed by \Quillon\, created
// when missing; empty when the folder is unknown.
[[nodiscard]] std::wstring GetRoamingDataDirectory();

// The user's local application-data folder followed by \Quillon\, created
// when missing; empty when the folder is unknown.
[[nodiscard]] std::wstring GetLocalDataDirectory();

// The machine's ProgramData folder as the system names it (not as the
// environment says, which the user can set), without a trailing backslash;
// empty when it is unknown. Nothing is created.
[[nodiscard]] std::wstring GetProgramDataDirectory();

// The text followed by one backslash.
[[nodiscard]] std::wstring AppendBackslash(std::wstring_view text);

namespace qln {

// True for a path that can only name something below the folder it is
// appended to: relative, backslash- or slash-separated, no empty, "." or ".."
// component, no drive, root, stream (":"), wildcard, quote or control
// character, no component that Windows would trim (trailing dot or blank) and
// no device name (CON, NUL, COM1 and the like, also with an extension).
[[nodiscard]] bool IsSafeRelativePath(std::wstring_view path) noexcept;
// A safe relative path of one component: a file name and nothing else.
[[nodiscard]] bool IsPlainFileName(std::wstring_view name) noexcept;

// Whether a file or folder exists at path.
[[nodiscard]] bool Exists(const std::wstring& path) noexcept;
// The path up to its last backslash (empty when it has none).
[[nodiscard]] std::wstring ParentOf(const std::wstring& path);

// folder and name with one backslash between them (none added when folder
// already ends in one).
[[nodiscard]] std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// Whether directory entry attributes name a folder that is no reparse point
// (junction, mount point, symbolic link): one a walk may descend into and a
// run with administrator rights may work below.
[[nodiscard]] constexpr bool IsPlainDirectory(DWORD attributes) noexcept {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Calls visit with each entry of directory that matches pattern ("*" for
// all), "." and ".." left out, until visit returns false. Nothing when the
// folder cannot be listed.
void ForEachEntry(const std::wstring& directory, const wchar_t* pattern,
                  const std::function<bool(const WIN32_FIND_DATAW&)>& visit);

// Deletes a directory tree. A junction or symbolic link met on the way is
// removed as a link, never followed: what it points at is not part of the
// tree. True when nothing of the tree is left.
[[nodiscard]] bool RemoveDirectoryTree(const std::wstring& directory);

// Copies everything readable from an open file (from its start) into a new
// file at target, which must not exist (CREATE_NEW: a file or link planted
// there is never written through). On failure nothing is left at target and
// error holds the Windows error.
[[nodiscard]] bool CopyFromHandle(HANDLE source, const std::wstring& target, DWORD& error);

// True when both paths name the same file or folder (same volume and file
// index, whatever the spelling or the links on the way); false when either
// cannot be opened.
[[nodiscard]] bool IsSameFile(const std::wstring& a, const std::wstring& b) noexcept;

// The product directory for a given application directory (which ends in a
// backslash): the text up to and including the backslash before the last
// directory name. Empty when there is no such backslash.
[[nodiscard]] std::wstring ProductDirectoryOf(std::wstring_view appDirectory);

}  // namespace qln

namespace qln::seams {

// Replaces GetModuleFileNameW in GetModuleFileNameWhole (Windows programs
// cannot start one installed beyond MAX_PATH under Wine). Null in the product.
using GetModuleFileNameFn = DWORD(WINAPI*)(HMODULE module, LPWSTR buffer, DWORD size);
inline GetModuleFileNameFn g_getModuleFileName = nullptr;

}  // namespace qln::seams
