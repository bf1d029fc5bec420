// Times the inventory walk against the least any walk can cost: a bare loop
// that makes the same Win32 calls in the same order and keeps nothing. Run it
// in a throwaway prefix (run-inventory-benchmark.sh); it registers its own
// devices there and removes them before it ends.
//
//   InventoryBenchmark.exe [rounds] [N...]     defaults: 21 rounds, N = 0 100 1000

#include "DeviceInventory.h"
#include "FakeDevices.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr wchar_t BenchDeviceKey[] = L"USB\\VID_F0E1&PID_BE00";
constexpr wchar_t BenchClass[] = L"{f0e1be00-0000-4000-8000-de71ceb10c00}";

std::wstring BenchInstancePath(int number)
{
    wchar_t name[16] = {};
    swprintf(name, 16, L"BENCH%05d", number);
    return std::wstring(BenchDeviceKey) + L"\\" + name;
}

// A device as a real one looks: two hardware IDs, description, maker and a
// driver with its version.
bool RegisterBenchDevice(FakeDeviceScope& scope, int number)
{
    const std::wstring path = BenchInstancePath(number);
    wchar_t driverKey[64] = {};
    swprintf(driverKey, 64, L"%ls\\%04d", BenchClass, number);
    return scope.Register(path, {L"USB\\VID_F0E1&PID_BE00&REV_0100", L"USB\\VID_F0E1&PID_BE00"}) &&
           SetFakeDeviceText(path, L"DeviceDesc", L"Benchmark device") &&
           SetFakeDeviceText(path, L"Mfg", L"Benchmark maker") && SetFakeDeviceDriver(path, driverKey, L"1.2.3.4");
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The calls of the inventory walk, in its order, with fixed buffers on the
// stack and nothing kept; returns how many devices had hardware IDs.
std::size_t FloorWalk()
{
    std::size_t kept = 0;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return kept;
    }
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof(member);
    wchar_t ids[256];
    wchar_t driver[256];
    wchar_t text[256];
    wchar_t path[300];
    BYTE version[2080];
    constexpr wchar_t classRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &member); ++index) {
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &member, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                                               sizeof(ids), nullptr) ||
            (type != REG_MULTI_SZ && type != REG_SZ && type != REG_EXPAND_SZ) || ids[0] == L'\0') {
            continue;
        }
        ++kept;
        ULONG status = 0;
        ULONG problem = 0;
        CM_Get_DevNode_Status(&status, &problem, member.DevInst, 0);
        if (SetupDiGetDeviceRegistryPropertyW(set, &member, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(driver),
                                              sizeof(driver), nullptr)) {
            driver[255] = L'\0';
            wcscpy(path, classRoot);
            wcscat(path, driver);
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
                DWORD size = sizeof(version);
                RegQueryValueExW(key, L"DriverVersion", nullptr, &type, version, &size);
                RegCloseKey(key);
            }
        }
        SetupDiGetDeviceRegistryPropertyW(set, &member, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(text),
                                          sizeof(text), nullptr);
        SetupDiGetDeviceRegistryPropertyW(set, &member, SPDRP_MFG, nullptr, reinterpret_cast<BYTE*>(text), sizeof(text),
                                          nullptr);
    }
    SetupDiDestroyDeviceInfoList(set);
    return kept;
}

// Only the set: opened, enumerated and destroyed, with no property read;
// the part of every walk that Wine's Setup API alone decides.
std::size_t SetOnlyWalk()
{
    std::size_t members = 0;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return members;
    }
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof(member);
    while (SetupDiEnumDeviceInfo(set, static_cast<DWORD>(members), &member)) {
        ++members;
    }
    SetupDiDestroyDeviceInfoList(set);
    return members;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 21;
    std::vector<int> counts;
    if (argc > 1) {
        rounds = std::max(1, std::atoi(argv[1]));
    }
    for (int arg = 2; arg < argc; ++arg) {
        counts.push_back(std::max(0, std::atoi(argv[arg])));
    }
    if (counts.empty()) {
        counts = {0, 100, 1000};
    }
    std::sort(counts.begin(), counts.end());

    FakeDeviceScope scope;
    int registered = 0;
    int exitCode = 0;
    std::printf("%6s %8s %13s %13s %10s %10s %13s\n", "N", "records", "inventory ms", "floor ms", "ratio", "paired",
                "set only ms");
    for (const int count : counts) {
        for (; registered < count; ++registered) {
            if (!RegisterBenchDevice(scope, registered)) {
                std::printf("could not register device %d\n", registered);
                return 1;
            }
        }
        // One untimed walk of each warms the registry and the Setup API.
        const std::size_t records = EnumeratePresentDevices().size();
        const std::size_t floorKept = FloorWalk();
        SetOnlyWalk();
        if (records != floorKept) {
            std::printf("the walks disagree: %zu records, %zu devices in the floor walk\n", records, floorKept);
            exitCode = 1;
        }
        std::vector<double> inventoryTimes;
        std::vector<double> floorTimes;
        std::vector<double> setTimes;
        std::vector<double> pairedRatios;
        for (int round = 0; round < rounds; ++round) {
            double roundTimes[3] = {};
            // Each round starts with another walk, which evens out drift.
            for (int turn = 0; turn < 3; ++turn) {
                const int walk = (round + turn) % 3;
                LARGE_INTEGER start;
                LARGE_INTEGER stop;
                QueryPerformanceCounter(&start);
                std::size_t seen = 0;
                if (walk == 0) {
                    const DeviceInventory inventory = EnumeratePresentDevices();
                    QueryPerformanceCounter(&stop);
                    seen = inventory.size() == records ? floorKept : 0;
                } else if (walk == 1) {
                    seen = FloorWalk();
                    QueryPerformanceCounter(&stop);
                } else {
                    SetOnlyWalk();
                    QueryPerformanceCounter(&stop);
                    seen = floorKept;
                }
                if (seen != floorKept) {
                    exitCode = 1;
                }
                roundTimes[walk] = Milliseconds(start, stop);
            }
            inventoryTimes.push_back(roundTimes[0]);
            floorTimes.push_back(roundTimes[1]);
            setTimes.push_back(roundTimes[2]);
            pairedRatios.push_back(roundTimes[0] / roundTimes[1]);
        }
        const double inventoryMs = Median(inventoryTimes);
        const double floorMs = Median(floorTimes);
        std::printf("%6d %8zu %13.3f %13.3f %10.3f %10.3f %13.3f\n", count, records, inventoryMs, floorMs,
                    inventoryMs / floorMs, Median(pairedRatios), Median(setTimes));
        std::fflush(stdout);
    }
    std::printf("medians of %d rounds; ratio: inventory / floor medians; paired: median of the per-round ratios\n",
                rounds);
    if (!scope.RemoveAll()) {
        std::printf("could not remove every benchmark device\n");
        exitCode = 1;
    }
    return exitCode;
}
