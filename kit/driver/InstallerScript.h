#pragma once

// What the driver installer batch file runs and names, read from its text
// the way cmd splits it into commands: the .inf files and programs it names
// (beside it after %~dp0, or relative to its working directory, which the
// updater sets to the batch file's own folder), and what it does with the
// exit codes of pnputil and dpinst. The updater stops silently at any exit
// code of the batch file other than 0.

#include <string>
#include <vector>

struct ScriptName {
    unsigned line = 0;
    // Relative to the batch file's folder, backslashes as written; may hold
    // wildcards.
    std::wstring path;
};

struct ScriptNote {
    unsigned line = 0;
    std::wstring text;
};

struct InstallerScript {
    std::vector<ScriptName> infs;
    // Programs and other files it runs or names beside it: each must be
    // shipped.
    std::vector<ScriptName> files;
    // Windows' own tools it runs (not cmd's commands), once each, lower case.
    std::vector<std::wstring> systemTools;
    std::vector<ScriptNote> warnings;
};

// The batch file's bytes, as cmd reads them (UTF-8, else the OEM code page).
InstallerScript ReadInstallerScript(const std::string& bytes);
