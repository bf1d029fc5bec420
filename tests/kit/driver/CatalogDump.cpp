// Test-only: prints what the catalog reader finds in a driver catalog and
// which member covers each file, for the shell test that holds it against
// osslsigncode and openssl. Never shipped.
//   CatalogDump.exe <catalog> [<file>...] [--time <reads>]
// Lines (UTF-8): "problem: <text>", "os-attribute: <text>",
// "signer-subject: <name>", "signer-issuer: <name>",
// "signer-thumbprint: <hex>", per member
// "member <n>: <algorithm> <image|flat> <hex digest> <file name>", per file
// "file <n>: sha1 <hex> sha256 <hex>" and "file <n>: member <m>" or
// "file <n>: refused: <why>"; with --time, "read <reads> times in <ms> ms".
// Exit 0 when the catalog is sound and covers every file, 1 when not, 2
// when a file cannot be read.

#include "DriverCatalog.h"
#include "FileDigest.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text)
{
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::string HexText(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4U]);
        text.push_back(digits[byte & 0x0FU]);
    }
    return text.empty() ? "-" : text;
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    std::vector<std::wstring> files;
    long reads = 0;
    for (int index = 2; index < argc; ++index) {
        if (std::wstring(argv[index]) == L"--time" && index + 1 < argc) {
            reads = std::wcstol(argv[++index], nullptr, 10);
        } else {
            files.emplace_back(argv[index]);
        }
    }
    std::vector<std::uint8_t> bytes;
    if (argc < 2 || !ReadWholeFile(argv[1], bytes)) {
        std::fputs("usage: CatalogDump.exe <catalog> [<file>...] [--time <reads>]\n", stderr);
        return 2;
    }
    const DriverCatalog catalog = ReadDriverCatalog(bytes);
    std::string text;
    for (const std::string& problem : catalog.problems) {
        text += "problem: " + problem + "\n";
    }
    text += "os-attribute: " + Utf8(catalog.osAttribute) + "\n";
    text += "signer-subject: " + Utf8(catalog.signer.subject) + "\n";
    text += "signer-issuer: " + Utf8(catalog.signer.issuer) + "\n";
    text += "signer-thumbprint: " + catalog.signer.sha1Thumbprint + "\n";
    for (std::size_t index = 0; index < catalog.members.size(); ++index) {
        const CatalogMember& member = catalog.members[index];
        text += "member " + std::to_string(index) + ": " + member.digestAlgorithm + " " +
                (member.imageDigest ? "image " : "flat ") + HexText(member.digest) + " " + Utf8(member.fileName) + "\n";
    }
    bool covered = catalog.problems.empty();
    for (std::size_t index = 0; index < files.size(); ++index) {
        std::vector<std::uint8_t> file;
        if (!ReadWholeFile(files[index], file)) {
            std::fprintf(stderr, "%s: cannot be read\n", Utf8(files[index]).c_str());
            return 2;
        }
        std::string sha1Problem;
        std::string sha256Problem;
        const std::string prefix = "file " + std::to_string(index) + ": ";
        text += prefix + "sha1 " + HexText(CatalogDigestOfFile(file, "SHA1", sha1Problem)) + " sha256 " +
                HexText(CatalogDigestOfFile(file, "SHA256", sha256Problem)) + "\n";
        std::string problem;
        const std::wstring name = files[index].substr(files[index].find_last_of(L"\\/") + 1);
        const std::size_t member = FindCatalogMember(catalog, name, file, problem);
        text += prefix;
        text += problem.empty() ? "member " + std::to_string(member) : "refused: " + problem;
        text += "\n";
        covered = covered && problem.empty();
    }
    if (reads > 0) {
        LARGE_INTEGER frequency{};
        LARGE_INTEGER start{};
        LARGE_INTEGER end{};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        for (long read = 0; read < reads; ++read) {
            covered = ReadDriverCatalog(bytes).problems.empty() && covered;
        }
        QueryPerformanceCounter(&end);
        text += "read " + std::to_string(reads) + " times in " +
                std::to_string((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart) + " ms\n";
    }
    std::fputs(text.c_str(), stdout);
    return covered ? 0 : 1;
}
