// Bytes made in a test, read as a file by the core's header readers.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

using Bytes = std::vector<uint8_t>;

// A ReadAtFunction (libbass/decoders/read_at.h) over `file`, a Bytes.
inline size_t ReadFromBytes(void *file, uint64_t offset, void *buffer, size_t bytes)
{
    const Bytes &data = *static_cast<const Bytes *>(file);
    if (offset >= data.size())
        return 0;
    size_t count = data.size() - offset < bytes ? static_cast<size_t>(data.size() - offset) : bytes;
    memcpy(buffer, data.data() + offset, count);
    return count;
}
