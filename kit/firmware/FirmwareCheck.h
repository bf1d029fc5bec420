#pragma once

// The kit's firmware image, judged as the download tool takes it: a sound
// DfuSe file for the bootloader (DfuImage.h).

#include "DfuImage.h"

#include <string>
#include <vector>

// Reads Firmware/KestruneFirmware.dfu of the kit folder into `firmware`;
// each problem starts with the image's kit path and names the byte it was
// found at.
void CheckFirmware(const std::wstring& folder, std::vector<std::wstring>& problems, DfuSeImage& firmware);
