#include "InstallerScript.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwctype>

namespace {

// The commands cmd runs itself.
constexpr std::array<const wchar_t*, 44> CmdCommands = {
    L"assoc", L"break",    L"call",  L"cd",    L"chdir",  L"cls",   L"color", L"copy", L"date",   L"del",    L"dir",
    L"echo",  L"endlocal", L"erase", L"exit",  L"for",    L"ftype", L"goto",  L"if",   L"md",     L"mkdir",  L"mklink",
    L"move",  L"path",     L"pause", L"popd",  L"prompt", L"pushd", L"rd",    L"rem",  L"ren",    L"rename", L"rmdir",
    L"set",   L"setlocal", L"shift", L"start", L"time",   L"title", L"type",  L"ver",  L"verify", L"vol",    L"cmd",
};

// The System32 tools of every Windows 10/11 that an installer script might
// run.
constexpr std::array<const wchar_t*, 42> SystemTools = {
    L"attrib",
    L"bcdedit",
    L"certutil",
    L"chcp",
    L"choice",
    L"comp",
    L"cscript",
    L"dism",
    L"drvload",
    L"expand",
    L"fc",
    L"find",
    L"findstr",
    L"fsutil",
    L"hostname",
    L"icacls",
    L"infdefaultinstall",
    L"more",
    L"mountvol",
    L"msiexec",
    L"net",
    L"netsh",
    L"ping",
    L"pnputil",
    L"powershell",
    L"reg",
    L"regsvr32",
    L"robocopy",
    L"rundll32",
    L"sc",
    L"schtasks",
    L"setx",
    L"shutdown",
    L"sort",
    L"systeminfo",
    L"takeown",
    L"taskkill",
    L"tasklist",
    L"timeout",
    L"where",
    L"whoami",
    L"xcopy",
};

constexpr wchar_t ScriptFolderMarker[] = L"%~dp0";

struct Token {
    std::wstring text; // quotes removed
    bool quoted = false;
    bool separator = false; // & && | || ( )
};

std::wstring Lower(std::wstring text)
{
    for (wchar_t& letter : text) {
        letter = static_cast<wchar_t>(std::towlower(letter));
    }
    return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

// The program's name without folder (or %~dp0) and ".exe", lower case.
std::wstring BaseName(const std::wstring& path)
{
    std::wstring name = Lower(path.substr(path.find_last_of(L"\\/") + 1));
    const std::size_t marker = name.find(ScriptFolderMarker);
    if (marker != std::wstring::npos) {
        name.erase(0, marker + std::size(ScriptFolderMarker) - 1);
    }
    return EndsWith(name, L".exe") ? name.substr(0, name.size() - 4) : name;
}

std::wstring Decode(const std::string& bytes)
{
    for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_OEMCP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length =
            MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (length > 0 || bytes.empty()) {
            std::wstring text(static_cast<std::size_t>(length), L'\0');
            MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
            return text;
        }
    }
    return {};
}

// Logical lines with their first physical line's number: a line ending in a
// caret goes on in the next one.
std::vector<std::pair<unsigned, std::wstring>> LogicalLines(const std::wstring& text)
{
    std::vector<std::pair<unsigned, std::wstring>> lines;
    unsigned number = 0;
    bool continued = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        ++number;
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (continued) {
            lines.back().second += line;
        } else {
            lines.emplace_back(number, line);
        }
        continued = !lines.back().second.empty() && lines.back().second.back() == L'^';
        if (continued) {
            lines.back().second.pop_back();
        }
    }
    return lines;
}

// Skips a redirection's target ("file", "&1"), from the character after
// the '<' or '>' signs.
std::size_t SkipRedirection(const std::wstring& line, std::size_t index)
{
    if (index < line.size() && line[index] == L'&') {
        return index + 2;
    }
    while (index < line.size() && (line[index] == L' ' || line[index] == L'\t')) {
        ++index;
    }
    bool quoted = false;
    for (; index < line.size(); ++index) {
        const wchar_t letter = line[index];
        if (letter == L'"') {
            quoted = !quoted;
        } else if (!quoted && (letter == L' ' || letter == L'\t' || letter == L'&' || letter == L'|' ||
                               letter == L')' || letter == L'<' || letter == L'>')) {
            break;
        }
    }
    return index;
}

// Splits one logical line as cmd does: blanks between arguments, quotes,
// carets, the separators & | ( ), and redirections, which are dropped.
std::vector<Token> Tokenize(const std::wstring& line)
{
    std::vector<Token> tokens;
    Token current;
    bool inToken = false;
    bool quoted = false;
    const auto finish = [&]() {
        if (inToken) {
            tokens.push_back(current);
        }
        current = Token();
        inToken = false;
    };
    for (std::size_t index = 0; index < line.size(); ++index) {
        const wchar_t letter = line[index];
        if (letter == L'"') {
            quoted = !quoted;
            current.quoted = true;
            inToken = true;
        } else if (quoted) {
            current.text.push_back(letter);
        } else if (letter == L'^' && index + 1 < line.size()) {
            current.text.push_back(line[++index]);
            inToken = true;
        } else if (letter == L' ' || letter == L'\t') {
            finish();
        } else if (letter == L'&' || letter == L'|' || letter == L'(' || letter == L')') {
            finish();
            tokens.push_back({std::wstring(1, letter), false, true});
            if ((letter == L'&' || letter == L'|') && index + 1 < line.size() && line[index + 1] == letter) {
                ++index;
            }
        } else if (letter == L'<' || letter == L'>') {
            // "2>" and "1>" redirect a stream: the digit is not an argument.
            if (inToken && !current.quoted && current.text.size() == 1 && std::iswdigit(current.text[0])) {
                current = Token();
                inToken = false;
            }
            finish();
            const std::size_t next = index + 1 < line.size() && line[index + 1] == letter ? index + 2 : index + 1;
            index = SkipRedirection(line, next) - 1;
        } else {
            current.text.push_back(letter);
            inToken = true;
        }
    }
    finish();
    return tokens;
}

// Whether cmd runs this command itself or Windows 10/11 provides the program
// in System32 (name without case, with or without ".exe").
bool IsWindowsCommand(const std::wstring& name)
{
    const std::wstring base = BaseName(name);
    const auto named = [&](const wchar_t* command) { return base == command; };
    return std::any_of(CmdCommands.begin(), CmdCommands.end(), named) ||
           std::any_of(SystemTools.begin(), SystemTools.end(), named);
}

enum class EventKind { Pnputil, Dpinst, ErrorLevelTest, ExitWithCode, Other };

struct Event {
    unsigned line = 0;
    EventKind kind = EventKind::Other;
    std::vector<unsigned> codes; // for ErrorLevelTest
};

class ScriptReader {
public:
    InstallerScript script;

    void ReadLine(unsigned line, const std::wstring& text)
    {
        lineNumber = line;
        std::wstring trimmed = text;
        trimmed.erase(0, trimmed.find_first_not_of(L" \t@"));
        if (trimmed.empty() || trimmed[0] == L':' || Lower(trimmed.substr(0, 4)) == L"rem" ||
            Lower(trimmed.substr(0, 4)) == L"rem ") {
            return;
        }
        std::vector<Token> command;
        for (Token& token : Tokenize(trimmed)) {
            if (token.separator) {
                ReadCommand(command);
                command.clear();
                inForSet = inForSet && token.text != L")";
            } else {
                command.push_back(std::move(token));
            }
        }
        ReadCommand(command);
    }

    void AddExitCodeWarnings()
    {
        for (std::size_t index = 0; index < events.size(); ++index) {
            std::vector<unsigned> tested;
            bool handled = false;
            for (std::size_t later = index + 1; later < events.size(); ++later) {
                tested.insert(tested.end(), events[later].codes.begin(), events[later].codes.end());
                handled = handled || events[later].kind == EventKind::ErrorLevelTest ||
                          events[later].kind == EventKind::ExitWithCode;
            }
            const auto tests = [&](unsigned code) {
                return std::find(tested.begin(), tested.end(), code) != tested.end();
            };
            const unsigned line = events[index].line;
            if (events[index].kind == EventKind::Pnputil) {
                if (!tests(3010)) {
                    script.warnings.push_back(
                        {line, L"pnputil's exit code 3010 (installed, a restart is needed) is not mapped to 0: "
                               L"the updater stops silently at any code other than 0"});
                }
                if (!tests(259)) {
                    script.warnings.push_back(
                        {line, L"pnputil's exit code 259 (nothing to install: no matching device, or a better "
                               L"driver is installed) is not mapped to 0: the updater stops silently at any code "
                               L"other than 0"});
                }
            } else if (events[index].kind == EventKind::Dpinst && !handled) {
                script.warnings.push_back(
                    {line, L"dpinst's exit code is passed on as it is: its codes are bit fields (one package "
                           L"installed gives 1), and the updater stops silently at any code other than 0"});
            }
        }
    }

private:
    unsigned lineNumber = 0;
    bool inForSet = false;
    std::vector<Event> events;
    // Variables set from the exit code (set CODE=%ERRORLEVEL%), lower case.
    std::vector<std::wstring> exitCodeVariables = {L"errorlevel"};

    [[nodiscard]] bool NamesExitCode(const std::wstring& text) const
    {
        const std::wstring lower = Lower(text);
        return std::any_of(exitCodeVariables.begin(), exitCodeVariables.end(), [&](const std::wstring& name) {
            return lower.find(L"%" + name + L"%") != std::wstring::npos ||
                   lower.find(L"!" + name + L"!") != std::wstring::npos || lower == name;
        });
    }

    static bool ReadCode(const std::wstring& text, unsigned& code)
    {
        if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), iswdigit)) {
            return false;
        }
        code = static_cast<unsigned>(std::stoul(text));
        return true;
    }

    // Takes an if-condition off the front of the command; records a test of
    // the exit code.
    void ReadCondition(std::vector<Token>& command)
    {
        std::size_t next = 1;
        const auto word = [&](std::size_t index) {
            return index < command.size() && !command[index].quoted ? Lower(command[index].text) : std::wstring();
        };
        if (word(next) == L"/i") {
            ++next;
        }
        if (word(next) == L"not") {
            ++next;
        }
        Event test{lineNumber, EventKind::ErrorLevelTest, {}};
        unsigned code = 0;
        if (word(next) == L"errorlevel" || word(next) == L"exist" || word(next) == L"defined") {
            if (word(next) == L"errorlevel" && next + 1 < command.size() && ReadCode(command[next + 1].text, code)) {
                test.codes.push_back(code);
            }
            next += 2;
        } else if (next < command.size()) {
            // "a==b" in one token, or "a == b", "a EQU b" in three.
            std::wstring left = command[next].text;
            std::wstring right;
            const std::size_t equals = left.find(L"==");
            if (equals != std::wstring::npos) {
                right = left.substr(equals + 2);
                left = left.substr(0, equals);
                next += 1;
            } else if (next + 2 < command.size()) {
                right = command[next + 2].text;
                next += 3;
            } else {
                next = command.size();
            }
            for (const auto& [tested, other] : {std::pair{left, right}, std::pair{right, left}}) {
                if (NamesExitCode(tested) && ReadCode(other, code)) {
                    test.codes.push_back(code);
                }
            }
            if (test.codes.empty() && !NamesExitCode(left) && !NamesExitCode(right)) {
                test.kind = EventKind::Other;
            }
        }
        if (test.kind == EventKind::ErrorLevelTest) {
            events.push_back(test);
        }
        command.erase(command.begin(), command.begin() + static_cast<std::ptrdiff_t>(std::min(next, command.size())));
    }

    // Names beside the script: "%~dp0..." anywhere in a word, and .inf
    // names relative to the working directory.
    void ReadNames(const std::vector<Token>& command)
    {
        for (const Token& token : command) {
            const std::wstring& text = token.text;
            const std::size_t marker = Lower(text).find(ScriptFolderMarker);
            if (marker != std::wstring::npos) {
                std::wstring path = text.substr(marker + std::size(ScriptFolderMarker) - 1);
                path.erase(0, path.find_first_not_of(L"\\/"));
                if (!path.empty() && path.find(L'%') == std::wstring::npos) {
                    (EndsWith(path, L".inf") ? script.infs : script.files).push_back({lineNumber, path});
                }
            } else if (EndsWith(text, L".inf") && text.find_first_of(L"%:!") == std::wstring::npos &&
                       text[0] != L'\\' && text[0] != L'/') {
                script.infs.push_back({lineNumber, text});
            }
        }
    }

    void ReadCommand(std::vector<Token> command)
    {
        if (inForSet) {
            ReadNames(command);
            return;
        }
        while (!command.empty() && !command[0].quoted) {
            const std::wstring first = Lower(command[0].text);
            const bool callsProgram = first == L"call" && command.size() > 1 && command[1].text.rfind(L':', 0) != 0;
            if (first == L"else" || first == L"do" || callsProgram) {
                command.erase(command.begin());
            } else if (first == L"if") {
                ReadCondition(command);
            } else if (first == L"start") {
                command.erase(command.begin());
                if (!command.empty() && command[0].quoted) {
                    command.erase(command.begin()); // the window title
                }
                while (!command.empty() && !command[0].quoted && command[0].text.rfind(L'/', 0) == 0) {
                    command.erase(command.begin());
                }
            } else if (first == L"for") {
                // "for %%f in (set) do command": the set is read for names,
                // the command after "do" as a command.
                inForSet = true;
                return;
            } else {
                break;
            }
        }
        if (command.empty()) {
            return;
        }
        const std::wstring program = command[0].text;
        const std::wstring name = BaseName(program);
        if (name == L"echo" || name.rfind(L"echo.", 0) == 0 || name == L"title" || name == L"goto" || name == L"call" ||
            name == L"rem") {
            return;
        }
        if (name == L"set" && command.size() > 1) {
            const std::wstring assignment = Lower(command[1].text);
            const std::size_t equals = assignment.find(L'=');
            if (equals != std::wstring::npos && NamesExitCode(assignment.substr(equals + 1))) {
                exitCodeVariables.push_back(assignment.substr(0, equals));
            }
        }
        if (name == L"exit") {
            unsigned code = 0;
            const std::size_t codeIndex = command.size() > 1 && Lower(command[1].text) == L"/b" ? 2 : 1;
            if (codeIndex < command.size() && ReadCode(command[codeIndex].text, code)) {
                events.push_back({lineNumber, EventKind::ExitWithCode, {}});
            }
        }
        if (name == L"pnputil") {
            events.push_back({lineNumber, EventKind::Pnputil, {}});
        } else if (name.rfind(L"dpinst", 0) == 0) {
            events.push_back({lineNumber, EventKind::Dpinst, {}});
        }
        ReadNames(command);
        const bool located = program.find_first_of(L"%:\\/") != std::wstring::npos;
        if (IsWindowsCommand(name)) {
            const bool tool = std::find(SystemTools.begin(), SystemTools.end(), name) != SystemTools.end();
            if (tool &&
                std::find(script.systemTools.begin(), script.systemTools.end(), name) == script.systemTools.end()) {
                script.systemTools.push_back(name);
            }
        } else if (!located && !EndsWith(program, L".inf")) {
            // cmd looks in the working directory (the script's folder) first.
            script.files.push_back({lineNumber, program});
        }
    }
};

} // namespace

InstallerScript ReadInstallerScript(const std::string& bytes)
{
    ScriptReader reader;
    for (const auto& [number, line] : LogicalLines(Decode(bytes))) {
        reader.ReadLine(number, line);
    }
    reader.AddExitCodeWarnings();
    return std::move(reader.script);
}
