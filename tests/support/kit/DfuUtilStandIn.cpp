// Stand-in for the shipped download tool (dfu-util.exe), for tests and the
// demo only. It records how it was started, checks the firmware image the way
// the real tool checks a DFU file, hands the image to the touchpad simulator
// and waits until the simulated bootloader has taken it and left. It writes
// nothing to the console: it shares the product's standard output, whose
// bytes the tests compare (and expect a ReportToCaller line in).
//
// Exit codes follow the real tool's sysexits: 64 usage, 65 bad image (not a
// sound DfuSe file for the bootloader, or for another release), 66 image missing, 74 no bootloader device, 70 no state
// directory; otherwise the code the scenario chose (0 unless told).

#include "ByteFields.h"
#include "DfuImage.h"
#include "SimulationState.h"
#include "UniqueHandle.h"

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int UsageExit = 64;
constexpr int DataExit = 65;
constexpr int NoInputExit = 66;
constexpr int SoftwareExit = 70;
constexpr int IoExit = 74;

// The release of the bootloader the touchpad shows (its IDs are the parser's).
constexpr std::uint16_t BootloaderRelease = 0x2200;

constexpr DWORD DownloadTimeoutMs = 10000;

std::uint64_t FileTimeMicros(const FILETIME& time)
{
    return ((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10;
}

std::uint64_t NowMicros()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return FileTimeMicros(now);
}

std::wstring ModulePath()
{
    std::array<wchar_t, MAX_PATH> buffer{};
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), MAX_PATH);
    return {buffer.data(), length < MAX_PATH ? length : 0};
}

std::wstring CurrentDirectory()
{
    std::array<wchar_t, MAX_PATH> buffer{};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer.data());
    return {buffer.data(), length < MAX_PATH ? length : 0};
}

class Run {
public:
    explicit Run(std::wstring stateDirectory)
        : stateDirectory(std::move(stateDirectory)), logPath(StatePath(this->stateDirectory, DownloadToolLogFile)),
          startMicros(NowMicros())
    {
    }

    void Record(const std::string& line) const { AppendLine(logPath, UnixTimeText() + " " + line); }

    // Records the exit with the time spent since the process was created and
    // since main began, and returns the code.
    [[nodiscard]] int Exit(int code, const std::string& why) const
    {
        FILETIME creation{};
        FILETIME exitTime{};
        FILETIME kernel{};
        FILETIME user{};
        const std::uint64_t now = NowMicros();
        std::string sinceCreation = "unknown";
        if (GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user)) {
            sinceCreation = std::to_string(static_cast<double>(now - FileTimeMicros(creation)) / 1000.0);
        }
        Record("exit " + std::to_string(code) + " (" + why + ") elapsed-ms " +
               std::to_string(static_cast<double>(now - startMicros) / 1000.0) + " since-creation-ms " + sinceCreation);
        return code;
    }

    const std::wstring stateDirectory;

private:
    const std::wstring logPath;
    const std::uint64_t startMicros;
};

// Hands the image to the simulated bootloader and waits until it has been
// taken; empty text on success, else why not.
std::string Download(const Run& run, const std::vector<std::uint8_t>& image)
{
    const UniqueKernelHandle requested(OpenEventW(EVENT_MODIFY_STATE, FALSE, DownloadRequestedEventName));
    const UniqueKernelHandle finished(OpenEventW(SYNCHRONIZE, FALSE, DownloadFinishedEventName));
    if (!requested.IsValid() || !finished.IsValid()) {
        return "No DFU capable USB device available";
    }
    DeleteFileW(StatePath(run.stateDirectory, DownloadResultFile).c_str());
    if (!WriteWholeFile(StatePath(run.stateDirectory, DownloadImageFile), image)) {
        return "cannot hand the image over";
    }
    SetEvent(requested.Get());
    if (WaitForSingleObject(finished.Get(), DownloadTimeoutMs) != WAIT_OBJECT_0) {
        return "the bootloader did not answer";
    }
    const std::string result = ReadFirstLine(StatePath(run.stateDirectory, DownloadResultFile));
    return result == "ok" ? std::string() : "download failed: " + result;
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    const std::wstring stateDirectory = StateDirectoryFromEnvironment();
    if (stateDirectory.empty()) {
        return SoftwareExit;
    }
    const Run run(stateDirectory);
    run.Record("program " + Utf8(ModulePath()));
    run.Record("cwd " + Utf8(CurrentDirectory()));
    run.Record("cmdline " + Utf8(GetCommandLineW()));
    ReportToCaller(stateDirectory, "download tool");

    std::wstring imagePath;
    bool leave = false;
    for (int index = 1; index < argc; ++index) {
        const std::wstring argument = argv[index];
        if (argument == L"-D" && index + 1 < argc) {
            imagePath = argv[++index];
        } else if (argument == L"-s" && index + 1 < argc && std::wstring(argv[index + 1]) == L":leave") {
            leave = true;
            ++index;
        } else {
            return run.Exit(UsageExit, "unexpected argument " + Utf8(argument));
        }
    }
    if (imagePath.empty() || !leave) {
        return run.Exit(UsageExit, "expected -D <file> -s :leave");
    }

    // Opened as given, so a relative path resolves against the working
    // directory, as the real tool's does.
    std::vector<std::uint8_t> image;
    if (!ReadWholeFile(imagePath, image)) {
        return run.Exit(NoInputExit, "cannot open DFU file " + Utf8(imagePath));
    }
    run.Record("image " + Utf8(imagePath) + " size " + std::to_string(image.size()));
    const DfuSeImage parsed = ReadDfuSeImage(image);
    if (!parsed.problems.empty()) {
        const DfuProblem& first = parsed.problems.front();
        return run.Exit(DataExit, "refused: " + first.what + " at byte " + std::to_string(first.offset));
    }
    const std::uint16_t release = parsed.suffix.bcdDevice;
    if (release != 0xFFFF && release != BootloaderRelease) {
        return run.Exit(DataExit, "refused: image is for device release " + Hex(release, 4));
    }

    const std::string downloadFault = Download(run, image);
    if (!downloadFault.empty()) {
        return run.Exit(IoExit, downloadFault);
    }
    run.Record("downloaded and left the bootloader");

    const std::string chosen = ReadFirstLine(StatePath(stateDirectory, DownloadExitCodeFile));
    const int exitCode = chosen.empty() ? 0 : std::atoi(chosen.c_str());
    return run.Exit(exitCode, "chosen by the scenario");
}
