#pragma once
// The fuzz targets' common first step: the input, at most 64 KiB, decoded as BER into `root` (a
// decoder error leaves what was decoded so far). False for a larger input, which is skipped.
#include <cstddef>
#include <cstdint>

#include "berkit/bernode.h"

inline bool FuzzDecodeBER(const uint8_t* data, size_t size, CBERNode& root) {
    if (size > 1 << 16) return false;
    CByteArray bytes(data, data + size);
    try {
        DecodeBER(&root, bytes.data(), static_cast<int>(bytes.size()));
    } catch (extended_exception&) {
    }
    return true;
}
