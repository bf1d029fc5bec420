#include "BootloaderEntryCommand.h"

bool SendBootloaderEntryCommand(SerialConnection& connection)
{
    if (!connection.Write(BootloaderEntryCommand.data(), static_cast<std::uint32_t>(BootloaderEntryCommand.size()),
                          CommandTimeoutMs)) {
        return false;
    }
    std::array<std::uint8_t, ReplyLength> reply{};
    // Whether the touchpad answers, and what, makes no difference.
    connection.Read(reply.data(), ReplyLength, CommandTimeoutMs);
    return true;
}
