#pragma once

#include <windows.h>

#include <string>
#include <utility>

// Files, directories and processes that the tool tests create for themselves
// in the test prefix. Paths are plain drive paths; the helpers add the
// long-path prefix themselves where a path may pass 259 units.

// This test executable's full path as the system reports it, never cut.
std::wstring SelfPath();

// The drive that holds the Windows directory, e.g. "C:".
std::wstring SystemDrive();

std::wstring CurrentDirectory();

// path with the "\\?\" prefix, so that it may be longer than MAX_PATH.
std::wstring ExtendedPath(const std::wstring& path);

// base extended by nested subdirectories to exactly length units; empty when
// that cannot be done (length shorter than base plus two).
std::wstring PathOfLength(const std::wstring& base, std::size_t length);

bool MakeDirectories(const std::wstring& path);
// Removes a file or a whole directory tree, leaving any link or junction in
// it alone; true when nothing is left.
bool RemoveTree(const std::wstring& path);
bool Exists(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
// False when the file cannot be opened.
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool CopySelfTo(const std::wstring& path);

// Starts the program at imagePath with commandLine and waits for it.
// CreateProcessW cannot start a program from a path of MAX_PATH units or more
// (Wine resolves the program into a MAX_PATH buffer); the native call this
// uses can.
bool RunProgramAtAnyPath(const std::wstring& imagePath, const std::wstring& commandLine, DWORD& exitCode);

// A directory in the test prefix's system drive that only this process uses,
// removed with everything in it when the owner goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ScratchDirectory(ScratchDirectory&&) = delete;
    ScratchDirectory& operator=(ScratchDirectory&&) = delete;

    [[nodiscard]] bool IsValid() const { return valid; }
    [[nodiscard]] const std::wstring& Path() const { return path; }

private:
    std::wstring path;
    bool valid = false;
};

// Removes a file or directory tree that a test creates outside its
// ScratchDirectory, whatever way the test ends.
class ScopedRemoval {
public:
    explicit ScopedRemoval(std::wstring path) : path(std::move(path)) { RemoveTree(this->path); }
    ~ScopedRemoval() { RemoveTree(path); }
    ScopedRemoval(const ScopedRemoval&) = delete;
    ScopedRemoval& operator=(const ScopedRemoval&) = delete;
    ScopedRemoval(ScopedRemoval&&) = delete;
    ScopedRemoval& operator=(ScopedRemoval&&) = delete;

private:
    std::wstring path;
};

// Sets an environment variable and removes it again: one of this process,
// or one of the machine's (the system's variables in the registry, which the
// runner hands to every child).
class ScopedEnvironmentVariable {
public:
    enum class Scope { Process, Machine };
    ScopedEnvironmentVariable(std::wstring name, const std::wstring& value, Scope scope = Scope::Process);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable(ScopedEnvironmentVariable&&) = delete;
    ScopedEnvironmentVariable& operator=(ScopedEnvironmentVariable&&) = delete;

private:
    std::wstring name;
    Scope scope;
};

// Makes path this process's current directory and restores the previous one.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& path);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory(ScopedCurrentDirectory&&) = delete;
    ScopedCurrentDirectory& operator=(ScopedCurrentDirectory&&) = delete;

    [[nodiscard]] bool IsValid() const { return valid; }

private:
    std::wstring previous;
    bool valid = false;
};
