// Plays the touchpad for end-to-end runs of the product under Wine: its end of
// the serial line, its USB bootloader as a present device, and the bootloader
// side of the firmware download. Runs in the same Wine prefix as the product.
//
//   TouchpadSimulator.exe --state <dir> [--port COM7] [--observe-port COM9]
//       [--reply-bytes 0..5] [--appear-after <ms> | --present-before-frame |
//       --never-appear] [--without-driver] [--second-bootloader-with-driver]
//       [--time-limit <s>]
//
// After each bootloader entry command it answers with the chosen number of
// reply bytes and brings up its bootloader: after the chosen delay, or never;
// with --present-before-frame the bootloader is up from the start and comes
// back right after each download. --without-driver registers the device
// without a driver (only the driver installer stand-in can add one);
// --second-bootloader-with-driver adds a second bootloader device, listed
// after the first, that has one. The download tool stand-in hands over the
// image through the state directory; the bootloader then takes it and leaves:
// its devices disappear.
//
// It writes to the state directory:
//   events.log   one line per event, "<unix time> <event> <details>"; the
//                "clock" event ties the Unix time to the monotonic clock that
//                Wine's tick count follows (the clock of Sleep, time-outs and
//                WINEDEBUG=+timestamp); "clock-spread" says how far that
//                count lagged and how long a Wine thread here went
//                unscheduled, for the runner's timing margins, over the run;
//                "clock-window" each, by monotonic ms: "<from> <to> <lag>
//                <unscheduled>"
//   report.txt   what it saw, for people
//   bootloader.cmd  its device and driver, for the installer stand-in
// and ends when the file "stop" appears there or the time limit has passed,
// removing its devices on every path.

#include "DfuImage.h"
#include "FakeDevices.h"
#include "SimulatedTouchpadLine.h"
#include "SimulationState.h"
#include "UniqueHandle.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::vector<std::uint8_t> ExpectedFrame = {0x0E, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xED};
const std::vector<std::uint8_t> Reply = {0x0E, 0x00, 0x00, 0x81, 0x6D};

const std::wstring BootloaderInstance = L"USB\\VID_0483&PID_DF11\\KSIM0001";
const std::wstring SecondBootloaderInstance = L"USB\\VID_0483&PID_DF11\\KSIM0002";
const std::vector<std::wstring> BootloaderHardwareIds = {L"USB\\VID_0483&PID_DF11&REV_2200", L"USB\\VID_0483&PID_DF11"};
const std::wstring BootloaderDriverKey = std::wstring(FakeDeviceClassGuid) + L"\\0071";
const std::wstring SecondBootloaderDriverKey = std::wstring(FakeDeviceClassGuid) + L"\\0072";
const std::wstring BootloaderDriverVersion = L"2.2.0.0";

// The loop's tick: how long one look at the line waits for bytes.
constexpr std::uint32_t TickMs = 5;

enum class Appearance { AfterFrame, PresentBeforeFrame, Never };

struct Options {
    std::wstring stateDirectory;
    std::wstring portName = L"COM7";
    std::wstring observePortName;
    std::size_t replyBytes = Reply.size();
    Appearance appearance = Appearance::AfterFrame;
    DWORD appearDelayMs = 0;
    bool withDriver = true;
    bool secondBootloaderWithDriver = false;
    DWORD timeLimitMs = 60000;
};

bool ParseNumber(const wchar_t* text, DWORD& value)
{
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int index = 1; index < argc; ++index) {
        const std::wstring name = argv[index];
        if (name == L"--present-before-frame") {
            options.appearance = Appearance::PresentBeforeFrame;
            continue;
        }
        if (name == L"--never-appear") {
            options.appearance = Appearance::Never;
            continue;
        }
        if (name == L"--without-driver") {
            options.withDriver = false;
            continue;
        }
        if (name == L"--second-bootloader-with-driver") {
            options.secondBootloaderWithDriver = true;
            continue;
        }
        if (index + 1 >= argc) {
            return false;
        }
        const wchar_t* value = argv[++index];
        DWORD number = 0;
        if (name == L"--state") {
            options.stateDirectory = value;
        } else if (name == L"--port") {
            options.portName = value;
        } else if (name == L"--observe-port") {
            options.observePortName = value;
        } else if (name == L"--reply-bytes" && ParseNumber(value, number) && number <= Reply.size()) {
            options.replyBytes = number;
        } else if (name == L"--appear-after" && ParseNumber(value, number)) {
            options.appearance = Appearance::AfterFrame;
            options.appearDelayMs = number;
        } else if (name == L"--time-limit" && ParseNumber(value, number)) {
            options.timeLimitMs = number * 1000;
        } else {
            return false;
        }
    }
    return !options.stateDirectory.empty();
}

std::string ParityName(BYTE parity)
{
    static const char* const names[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    return parity < 5 ? names[parity] : "parity " + std::to_string(parity);
}

std::string StopBitsName(BYTE stopBits)
{
    static const char* const names[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    return stopBits < 3 ? names[stopBits] : "stop bits " + std::to_string(stopBits);
}

std::string Hex32(std::uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
    return text;
}

// The driver version recorded for a device, as a driver install leaves it;
// empty when it has none.
std::wstring InstalledDriverVersion(const std::wstring& instancePath)
{
    std::array<wchar_t, 256> driverKey{};
    DWORD size = sizeof(driverKey);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, FakeDeviceKeyPath(instancePath).c_str(), L"Driver", RRF_RT_REG_SZ, nullptr,
                     driverKey.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    std::array<wchar_t, 256> version{};
    size = sizeof(version);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, FakeDriverKeyPath(driverKey.data()).c_str(), L"DriverVersion", RRF_RT_REG_SZ,
                     nullptr, version.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    return version.data();
}

// The host's monotonic clock in ms, which Wine reads at once for the
// performance counter; the tick count is the same clock as the wineserver
// last stored it (every 16 ms or so, later when the server is starved).
double MonotonicMs()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string MillisecondsText(double milliseconds)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.3f", milliseconds);
    return text.data();
}

// Watches Wine's clocks from a thread of its own while the simulator runs:
// how far the tick count fell behind the monotonic clock at worst (sampled
// every millisecond or so; a lag that peaked between two samples is at most
// the time between them larger), and how long this thread, asking for a
// 1 ms pause, went unscheduled at worst; over the whole run and in windows
// of 200 ms, so that a runner can take the margins of the moments it checks.
class ClockWatch {
public:
    ClockWatch() : thread([this] { Watch(); }) {}
    ClockWatch(const ClockWatch&) = delete;
    ClockWatch& operator=(const ClockWatch&) = delete;
    ClockWatch(ClockWatch&&) = delete;
    ClockWatch& operator=(ClockWatch&&) = delete;
    ~ClockWatch() { Stop(); }

    void Stop()
    {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
    }

    struct Window {
        double startMs = 0;
        double endMs = 0;
        double maxTickLagMs = 0;
        double maxSampleGapMs = 0;
    };

    // Read once Stop has returned.
    double maxTickLagMs = 0;
    double maxSampleGapMs = 0;
    std::vector<Window> windows;

private:
    static constexpr double WindowMs = 200;

    void Watch()
    {
        double last = MonotonicMs();
        Window window{last, last, 0, 0};
        while (!stopping) {
            const ULONGLONG tick = GetTickCount64();
            const double now = MonotonicMs();
            window.maxTickLagMs = std::max(window.maxTickLagMs, now - static_cast<double>(tick));
            window.maxSampleGapMs = std::max(window.maxSampleGapMs, now - last);
            window.endMs = now;
            last = now;
            if (now - window.startMs >= WindowMs) {
                Close(window);
                window = Window{now, now, 0, 0};
            }
            Sleep(1);
        }
        Close(window);
    }

    void Close(const Window& window)
    {
        maxTickLagMs = std::max(maxTickLagMs, window.maxTickLagMs);
        maxSampleGapMs = std::max(maxSampleGapMs, window.maxSampleGapMs);
        windows.push_back(window);
    }

    std::atomic<bool> stopping{false};
    std::thread thread;
};

class Simulator {
public:
    explicit Simulator(const Options& options)
        : options(options), eventsPath(StatePath(options.stateDirectory, L"events.log")),
          reportPath(StatePath(options.stateDirectory, L"report.txt")),
          stopPath(StatePath(options.stateDirectory, L"stop"))
    {
    }

    int Run()
    {
        Report("Touchpad simulator");
        Report("  serial line: touchpad end " + Utf8(options.portName) +
               (options.observePortName.empty() ? std::string()
                                                : ", product end observed through " + Utf8(options.observePortName)));
        downloadRequested.Reset(CreateEventW(nullptr, FALSE, FALSE, DownloadRequestedEventName));
        downloadFinished.Reset(CreateEventW(nullptr, FALSE, FALSE, DownloadFinishedEventName));
        if (!downloadRequested.IsValid() || !downloadFinished.IsValid()) {
            return Fail("cannot create the download events");
        }
        if (!line.Open(options.portName)) {
            return Fail("cannot open " + Utf8(options.portName) + ", error " + std::to_string(GetLastError()));
        }
        if (!WriteInstallerHints()) {
            return Fail("cannot write bootloader.cmd");
        }
        if (options.appearance == Appearance::PresentBeforeFrame && !EnterBootloader()) {
            return Fail("cannot register the bootloader device");
        }
        Event("clock", "monotonic-ms " + MillisecondsText(MonotonicMs()));
        Event("ready", "");

        const ULONGLONG deadline = GetTickCount64() + options.timeLimitMs;
        std::string ending = "time limit reached";
        while (GetTickCount64() < deadline) {
            if (GetFileAttributesW(stopPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
                ending = "asked to stop";
                break;
            }
            if (!TakeLineBytes() || !BringUpPendingBootloader()) {
                ending = "failed";
                break;
            }
            if (WaitForSingleObject(downloadRequested.Get(), 0) == WAIT_OBJECT_0 && !TakeDownload()) {
                ending = "failed";
                break;
            }
        }
        return Finish(ending);
    }

private:
    void Event(const std::string& name, const std::string& details) const
    {
        AppendLine(eventsPath, UnixTimeText() + " " + name + (details.empty() ? "" : " " + details));
    }

    void Report(const std::string& text) const { AppendLine(reportPath, text); }

    int Fail(const std::string& why)
    {
        Event("error", why);
        Report("  error: " + why);
        return Finish("failed");
    }

    int Finish(const std::string& ending)
    {
        clock.Stop();
        for (const ClockWatch::Window& window : clock.windows) {
            Event("clock-window", MillisecondsText(window.startMs) + " " + MillisecondsText(window.endMs) + " " +
                                      MillisecondsText(window.maxTickLagMs) + " " +
                                      MillisecondsText(window.maxSampleGapMs));
        }
        Event("clock-spread", "max-tick-lag-ms " + MillisecondsText(clock.maxTickLagMs) + " max-sample-gap-ms " +
                                  MillisecondsText(clock.maxSampleGapMs));
        const bool removed = LeaveBootloader();
        line.Close();
        Report("  bytes received on the line in all: " + std::to_string(bytesReceived) +
               ", frames: " + std::to_string(frames) + ", images: " + std::to_string(images));
        Report("  ended: " + ending + (removed ? "" : "; its devices could not all be removed"));
        Event("end", ending);
        return ending == "asked to stop" && removed ? 0 : 1;
    }

    [[nodiscard]] bool WriteInstallerHints() const
    {
        const std::wstring path = StatePath(options.stateDirectory, L"bootloader.cmd");
        DeleteFileW(path.c_str());
        return AppendLine(path, "set \"BOOTLOADER_INSTANCE=" + Utf8(BootloaderInstance) + "\"\r") &&
               AppendLine(path, "set \"BOOTLOADER_DRIVER_KEY=" + Utf8(BootloaderDriverKey) + "\"\r") &&
               AppendLine(path, "set \"BOOTLOADER_DRIVER_VERSION=" + Utf8(BootloaderDriverVersion) + "\"\r");
    }

    // Collects bytes from the line; every 11 bytes are taken as one command.
    bool TakeLineBytes()
    {
        const std::vector<std::uint8_t> bytes = line.Receive(ExpectedFrame.size() - pending.size(), TickMs);
        if (bytes.empty()) {
            return true;
        }
        bytesReceived += bytes.size();
        Event("received", HexBytes(bytes));
        pending.insert(pending.end(), bytes.begin(), bytes.end());
        if (pending.size() < ExpectedFrame.size()) {
            return true;
        }
        const std::vector<std::uint8_t> frame = std::move(pending);
        pending.clear();
        return TakeFrame(frame);
    }

    bool TakeFrame(const std::vector<std::uint8_t>& frame)
    {
        ++frames;
        Event("frame", HexBytes(frame));
        Report("Command " + std::to_string(frames) + " at " + ClockTimeText() + ": " + HexBytes(frame) +
               (frame == ExpectedFrame ? " (the bootloader entry command)" : " (NOT the bootloader entry command)"));
        ObserveLineSettings();
        if (options.appearance == Appearance::AfterFrame) {
            if (options.appearDelayMs == 0) {
                // Up before the reply goes out, so the product's first check
                // finds it.
                if (!EnterBootloader()) {
                    return false;
                }
            } else {
                appearAt = GetTickCount64() + options.appearDelayMs;
            }
        }
        const std::vector<std::uint8_t> reply(Reply.begin(),
                                              Reply.begin() + static_cast<std::ptrdiff_t>(options.replyBytes));
        if (!line.Send(reply)) {
            Event("error", "reply not sent");
            return false;
        }
        Event("reply", std::to_string(reply.size()) + (reply.empty() ? "" : " " + HexBytes(reply)));
        Report("  reply: " + (reply.empty() ? std::string("none") : HexBytes(reply)));
        return true;
    }

    // The settings of the product's end of the pair, read through a second
    // handle on it; the touchpad's own end says nothing about them.
    void ObserveLineSettings() const
    {
        if (options.observePortName.empty()) {
            return;
        }
        const std::wstring path = L"\\\\.\\" + options.observePortName;
        const UniqueFileHandle port(
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DCB settings{};
        settings.DCBlength = sizeof(settings);
        if (!port.IsValid() || !GetCommState(port.Get(), &settings)) {
            Event("line", "unknown");
            Report("  line settings of the product's end: unknown");
            return;
        }
        Event("line", "baud " + std::to_string(settings.BaudRate) + " bytesize " + std::to_string(settings.ByteSize) +
                          " parity " + std::to_string(settings.Parity) + " stopbits " +
                          std::to_string(settings.StopBits));
        Report("  line settings of the product's end: " + std::to_string(settings.BaudRate) + " baud, " +
               std::to_string(settings.ByteSize) + " data bits, " + ParityName(settings.Parity) + ", " +
               StopBitsName(settings.StopBits));
    }

    bool BringUpPendingBootloader()
    {
        if (appearAt == 0 || GetTickCount64() < appearAt) {
            return true;
        }
        appearAt = 0;
        return EnterBootloader();
    }

    bool EnterBootloader()
    {
        if (inBootloader) {
            return true;
        }
        devices.Track(BootloaderInstance);
        if (!RegisterFakeDevice(BootloaderInstance, BootloaderHardwareIds) ||
            (options.withDriver &&
             !SetFakeDeviceDriver(BootloaderInstance, BootloaderDriverKey, BootloaderDriverVersion))) {
            Event("error", "bootloader device not registered");
            return false;
        }
        if (options.secondBootloaderWithDriver) {
            devices.Track(SecondBootloaderInstance);
            if (!RegisterFakeDevice(SecondBootloaderInstance, BootloaderHardwareIds) ||
                !SetFakeDeviceDriver(SecondBootloaderInstance, SecondBootloaderDriverKey, BootloaderDriverVersion)) {
                Event("error", "second bootloader device not registered");
                return false;
            }
        }
        inBootloader = true;
        const std::string driver = options.withDriver ? "driver " + Utf8(BootloaderDriverVersion) : "no driver";
        Event("bootloader-present", Utf8(BootloaderInstance) + " " + driver);
        Report("  bootloader up at " + ClockTimeText() + ": " + Utf8(BootloaderInstance) + ", hardware IDs " +
               Utf8(BootloaderHardwareIds[0]) + " " + Utf8(BootloaderHardwareIds[1]) + ", " + driver);
        if (options.secondBootloaderWithDriver) {
            Event("bootloader-present", Utf8(SecondBootloaderInstance) + " driver " + Utf8(BootloaderDriverVersion));
            Report("  second bootloader up: " + Utf8(SecondBootloaderInstance) + ", driver " +
                   Utf8(BootloaderDriverVersion));
        }
        return true;
    }

    // Removes every device of the bootloader; true when none is left.
    bool LeaveBootloader()
    {
        if (!inBootloader) {
            return devices.RemoveAll();
        }
        inBootloader = false;
        const bool removed = devices.RemoveAll();
        Event("bootloader-left", removed ? "" : "devices not removed");
        Report(std::string("  left the bootloader at ") + ClockTimeText() +
               (removed ? ": device gone" : ": NOT removed"));
        return removed;
    }

    bool TakeDownload()
    {
        const std::wstring imagePath = StatePath(options.stateDirectory, DownloadImageFile);
        const std::wstring resultPath = StatePath(options.stateDirectory, DownloadResultFile);
        std::vector<std::uint8_t> image;
        std::string result = "ok";
        if (!inBootloader) {
            result = "no bootloader device";
        } else if (!ReadWholeFile(imagePath, image)) {
            result = "image not readable";
        }
        DeleteFileW(imagePath.c_str());
        if (result == "ok") {
            ++images;
            const std::string driver = Utf8(InstalledDriverVersion(BootloaderInstance));
            Report("  download started; the bootloader's driver: " + (driver.empty() ? "none" : driver));
            const DfuSeImage parsed = ReadDfuSeImage(image);
            const std::string fault = parsed.problems.empty() ? std::string() : parsed.problems.front().what;
            const DfuSuffix& suffix = parsed.suffix;
            // The CRC that the suffix should hold: over all but its last 4 bytes.
            const std::uint32_t crc = image.size() < 4 ? 0 : Crc32Register(image.data(), image.size() - 4);
            Event("image", "size " + std::to_string(image.size()) + " crc " + Hex32(crc) + " suffix-crc " +
                               Hex32(suffix.crc) + " " + (fault.empty() ? "valid" : "invalid"));
            Report("  firmware image received at " + ClockTimeText() + ": " + std::to_string(image.size()) +
                   " bytes, CRC-32 " + Hex32(crc) + " (DFU convention), suffix CRC " + Hex32(suffix.crc) + ", " +
                   (fault.empty() ? "valid DFU file" : "INVALID: " + fault));
            if (!LeaveBootloader()) {
                result = "bootloader did not leave";
            }
        } else {
            Event("download-refused", result);
            Report("  download refused: " + result);
        }
        DeleteFileW(resultPath.c_str());
        AppendLine(resultPath, result);
        SetEvent(downloadFinished.Get());
        return options.appearance != Appearance::PresentBeforeFrame || EnterBootloader();
    }

    const Options options;
    const std::wstring eventsPath;
    const std::wstring reportPath;
    const std::wstring stopPath;
    SimulatedTouchpadLine line;
    FakeDeviceScope devices;
    UniqueKernelHandle downloadRequested;
    UniqueKernelHandle downloadFinished;
    std::vector<std::uint8_t> pending;
    ULONGLONG appearAt = 0;
    ClockWatch clock;
    bool inBootloader = false;
    std::size_t bytesReceived = 0;
    int frames = 0;
    int images = 0;
};

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs("usage: TouchpadSimulator.exe --state <dir> [--port COMn] [--observe-port COMn] [--reply-bytes n]\n"
                   "       [--appear-after ms | --present-before-frame | --never-appear] [--without-driver]\n"
                   "       [--second-bootloader-with-driver] [--time-limit s]\n",
                   stderr);
        return 2;
    }
    return Simulator(options).Run();
}
