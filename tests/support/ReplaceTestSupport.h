#pragma once
// Helpers for the tests of file deployment: small files in real trees,
// junctions, files held open by another process, the restart-time deletion
// list, and whole-tree snapshots.

#include <windows.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "Utils/UniqueHandle.h"

namespace qlntest {

// Writes the text to the file, creating missing folders.
void WriteText(const std::wstring& path, const std::string& text);
void WriteText(const std::wstring& path, const std::wstring& text);
// The file's bytes; "<missing>" when it cannot be read.
std::string ReadText(const std::wstring& path);
bool Exists(const std::wstring& path);
std::string Narrow(const std::wstring& text);
std::vector<std::wstring> Sorted(std::vector<std::wstring> items);

// A directory junction (mount point) at link pointing at target; removed as a
// link at scope end, before any temporary folder that holds it is deleted.
class Junction {
public:
    Junction(std::wstring link, const std::wstring& target);
    ~Junction();
    Junction(const Junction&) = delete;
    Junction& operator=(const Junction&) = delete;
    bool ok() const { return m_ok; }
    // Why it could not be made (ERROR_NOT_SUPPORTED where the file system has no junctions).
    DWORD error() const { return m_error; }

private:
    std::wstring m_link;
    bool m_ok = false;
    DWORD m_error = 0;
};

// Another process (qln_hold_file) that holds the files open until scope end.
// Mode "rename": others may read and rename but not write (like a loaded
// image); "none": others may only read.
class FileHolder {
public:
    FileHolder(const wchar_t* mode, std::initializer_list<std::wstring> paths);
    ~FileHolder() { Release(); }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool ok() const { return m_ok; }
    void Release();

private:
    qln::UniqueHandle m_process;
    bool m_ok = false;
};

// Whether the path is scheduled for deletion at the next restart.
bool PendingDeletionAtRestart(const std::wstring& path);

// Relative path (lower case) -> content of every file below root; reparse
// points are recorded as "<reparse>" and not followed.
using TreeSnapshot = std::map<std::wstring, std::string>;
TreeSnapshot SnapshotTree(const std::wstring& root);

// "" when the snapshots are equal, else the first path where they differ
// with both sides (shortened), for a failure message.
std::string FirstDifference(const TreeSnapshot& expected, const TreeSnapshot& actual);

// A generated release of about count files for the reliability tests, over
// every file category: bin\Quillon.dll, bin\QuillProc.exe, bin\QLNShell64.dll
// and version.txt, then count numbered files. Every fifth numbered file is new
// in the release, some of them in folders that only new files use. Writes the
// release (previous false) or the installed release before it (previous true:
// the files that are not new, with other content, and two obsolete files)
// below root and returns the relative paths written.
std::vector<std::wstring> WriteGeneratedRelease(const std::wstring& root, int count, bool previous);

}  // namespace qlntest
