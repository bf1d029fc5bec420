#pragma once

// The one piece of DER that the kit reads by hand: where an element's
// contents begin and how long they are. Everything else goes through
// Windows' own ASN.1 decoders (crypt32).

#include <cstddef>
#include <cstdint>
#include <vector>

struct DerElement {
    std::uint8_t tag = 0;
    std::size_t contentsOffset = 0;
    std::size_t contentsLength = 0;
};

// The element that starts at `offset`: false when its tag needs more than
// one byte, its length is indefinite or longer than four bytes, or the
// element runs past the end of the bytes.
inline bool ReadDerElement(const std::vector<std::uint8_t>& bytes, std::size_t offset, DerElement& element)
{
    if (offset >= bytes.size() || bytes.size() - offset < 2 || (bytes[offset] & 0x1FU) == 0x1FU) {
        return false;
    }
    element.tag = bytes[offset];
    std::size_t length = bytes[offset + 1];
    std::size_t header = 2;
    if (length >= 0x80) {
        const std::size_t lengthBytes = length & 0x7FU;
        if (lengthBytes == 0 || lengthBytes > 4 || bytes.size() - offset - 2 < lengthBytes) {
            return false;
        }
        length = 0;
        for (std::size_t index = 0; index < lengthBytes; ++index) {
            length = (length << 8U) | bytes[offset + 2 + index];
        }
        header += lengthBytes;
    }
    if (bytes.size() - offset - header < length) {
        return false;
    }
    element.contentsOffset = offset + header;
    element.contentsLength = length;
    return true;
}
