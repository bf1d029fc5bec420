// Test support, never shipped: writes an unsigned driver catalog for files,
// or damages a signed one, for the build (add_driver_catalog) and the tests.
//   MakeCatalog.exe --out <catalog> [--sha1] [--os-attribute <text>]
//                   [--omit <name>] [--wrong-digest <name>] [--flat-digest <name>] <file>...
//   MakeCatalog.exe --tamper members|signature --in <signed catalog> --out <catalog>
// Members are named after the files' last path component and hold SHA-256
// digests (SHA-1 with --sha1): the image digest of a PE file, the whole
// file's digest otherwise. The crafting options leave a member out, corrupt
// its digest or give a PE file its whole file's digest. Exit codes: 0 made,
// 1 failed, 2 usage.

#include "CatalogMaker.h"
#include "FileDigest.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int MadeExit = 0;
constexpr int FailedExit = 1;
constexpr int UsageExit = 2;

struct Options {
    std::wstring out;
    std::wstring in;
    std::wstring tamper;
    std::wstring omit;
    std::wstring wrongDigest;
    std::wstring flatDigest;
    CatalogDefinition definition;
    std::vector<std::wstring> files;
};

int Fail(const std::wstring& text)
{
    std::fwprintf(stderr, L"MakeCatalog: %ls\n", text.c_str());
    return FailedExit;
}

bool Parse(int argc, wchar_t** argv, Options& options)
{
    const std::pair<const wchar_t*, std::wstring*> valued[] = {
        {L"--out", &options.out},
        {L"--in", &options.in},
        {L"--tamper", &options.tamper},
        {L"--os-attribute", &options.definition.osAttribute},
        {L"--omit", &options.omit},
        {L"--wrong-digest", &options.wrongDigest},
        {L"--flat-digest", &options.flatDigest},
    };
    for (int index = 1; index < argc; ++index) {
        const std::wstring argument = argv[index];
        const auto* const option = std::find_if(std::begin(valued), std::end(valued),
                                                [&](const auto& entry) { return argument == entry.first; });
        if (option != std::end(valued)) {
            if (index + 1 == argc) {
                return false;
            }
            *option->second = argv[++index];
        } else if (argument == L"--sha1") {
            options.definition.digestAlgorithm = "SHA1";
        } else if (argument.rfind(L"--", 0) == 0) {
            return false;
        } else {
            options.files.push_back(argument);
        }
    }
    const bool tampering = !options.tamper.empty();
    return !options.out.empty() && (tampering ? !options.in.empty() && options.files.empty() : !options.files.empty());
}

bool WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes)
{
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::wstring LastComponent(const std::wstring& path)
{
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

int Tamper(const Options& options)
{
    std::vector<std::uint8_t> catalog;
    if (!ReadWholeFile(options.in, catalog)) {
        return Fail(options.in + L": cannot be read");
    }
    bool changed = false;
    if (options.tamper == L"members") {
        changed = ChangeMembersAfterSigning(catalog);
    } else if (options.tamper == L"signature") {
        changed = BreakSignature(catalog);
    } else {
        return UsageExit;
    }
    if (!changed) {
        return Fail(options.in + L": has no " + (options.tamper == L"members" ? L"member" : L"signature"));
    }
    return WriteWholeFile(options.out, catalog) ? MadeExit : Fail(options.out + L": cannot be written");
}

int Make(Options& options)
{
    for (const std::wstring& path : options.files) {
        const std::wstring name = LastComponent(path);
        std::vector<std::uint8_t> file;
        if (!ReadWholeFile(path, file)) {
            return Fail(path + L": cannot be read");
        }
        if (name == options.omit) {
            continue;
        }
        std::string problem;
        CatalogEntry entry =
            EntryForFile(name, file, options.definition.digestAlgorithm, name == options.flatDigest, problem);
        if (!problem.empty()) {
            return Fail(path + L": " + std::wstring(problem.begin(), problem.end()));
        }
        if (name == options.wrongDigest) {
            entry.digest.back() ^= 0x01;
        }
        options.definition.entries.push_back(entry);
    }
    const std::vector<std::uint8_t> catalog = EncodeCatalog(options.definition);
    if (catalog.empty()) {
        return Fail(L"the catalog could not be encoded: error " + std::to_wstring(GetLastError()));
    }
    return WriteWholeFile(options.out, catalog) ? MadeExit : Fail(options.out + L": cannot be written");
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fputs("usage: MakeCatalog.exe --out <catalog> [--sha1] [--os-attribute <text>] [--omit <name>]\n"
                   "           [--wrong-digest <name>] [--flat-digest <name>] <file>...\n"
                   "       MakeCatalog.exe --tamper members|signature --in <signed catalog> --out <catalog>\n",
                   stderr);
        return UsageExit;
    }
    return options.tamper.empty() ? Make(options) : Tamper(options);
}
