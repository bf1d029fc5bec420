#include "SerialPortList.h"

#include "UniqueHandle.h"

#include <array>

std::uint32_t ReadSerialPortNames(PortNameList& list)
{
    UniqueRegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Hardware\\DeviceMap\\SerialComm", 0, KEY_READ, key.Put()) !=
        ERROR_SUCCESS) {
        return 0;
    }

    // The value names are never used; the enumeration only needs somewhere to
    // put them.
    std::array<wchar_t, MAX_PATH> name{};
    std::array<wchar_t, MAX_PATH> data{};
    std::uint32_t count = 0;
    for (DWORD index = 0;; ++index) {
        auto nameCapacity = static_cast<DWORD>(name.size());
        auto dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        // The type is not asked for: any value is taken as a port name, as serial drivers write them all as text.
        const LSTATUS result = RegEnumValueW(key.Get(), index, name.data(), &nameCapacity, nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(data.data()), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        // Any other failure, ERROR_MORE_DATA among them, skips this value:
        // its data was not returned and must not become an entry.
        if (result != ERROR_SUCCESS) {
            continue;
        }
        const std::size_t returnedUnits = dataBytes / sizeof(wchar_t);
        std::size_t length = 0;
        while (length < returnedUnits && data[length] != L'\0') {
            ++length;
        }
        list.emplace_back(data.data(), length);
        ++count;
    }
    return count;
}
