#include "PresenceChecks.h"

#include <algorithm>

namespace {

bool Matches(const DeviceRecord& record, const std::wstring& hardwareId)
{
    return !record.hardwareIds.empty() && record.hardwareIds.front().find(hardwareId) != std::wstring::npos;
}

} // namespace

bool FirstMatchingRecordHasDriver(const DeviceInventory& inventory, const std::wstring& hardwareId)
{
    const auto first = std::find_if(inventory.begin(), inventory.end(),
                                    [&](const DeviceRecord& record) { return Matches(record, hardwareId); });
    return first != inventory.end() && !first->driverVersion.empty();
}

bool AnyMatchingRecordHasDriver(const DeviceInventory& inventory, const std::wstring& hardwareId)
{
    return std::any_of(inventory.begin(), inventory.end(), [&](const DeviceRecord& record) {
        return Matches(record, hardwareId) && !record.driverVersion.empty();
    });
}

bool FirstMatchingDeviceHasDriver(const std::wstring& hardwareId)
{
    return FirstMatchingRecordHasDriver(EnumeratePresentDevices(), hardwareId);
}

bool AnyMatchingDeviceHasDriver(const std::wstring& hardwareId)
{
    return AnyMatchingRecordHasDriver(EnumeratePresentDevices(), hardwareId);
}
