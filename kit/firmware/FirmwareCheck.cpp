#include "FirmwareCheck.h"

#include "FileDigest.h"
#include "KitFiles.h"
#include "KitLayout.h"

void CheckFirmware(const std::wstring& folder, std::vector<std::wstring>& problems, DfuSeImage& firmware)
{
    const std::wstring firmwarePath = KitFirmwarePath(L'/');
    std::vector<std::uint8_t> bytes;
    if (!IsFile(PathUnder(folder, firmwarePath))) {
        problems.push_back(firmwarePath + L": missing");
        return;
    }
    if (!ReadWholeFile(PathUnder(folder, firmwarePath), bytes)) {
        problems.push_back(firmwarePath + L": cannot be read");
        return;
    }
    firmware = ReadDfuSeImage(bytes);
    for (const DfuProblem& problem : firmware.problems) {
        problems.push_back(firmwarePath + L": at byte " + std::to_wstring(problem.offset) + L": " +
                           std::wstring(problem.what.begin(), problem.what.end()));
    }
}
