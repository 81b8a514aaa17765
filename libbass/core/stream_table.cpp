// The stream table: a few slots, with handles counted up so that a freed one is not reused soon.
#include "libbass/core/stream_table.h"

namespace {

constexpr int STREAM_SLOTS = 64;

struct Slot {
    uint32_t handle;
    Stream *stream;
};

Slot slots[STREAM_SLOTS];
uint32_t last_handle = 0;

Slot *FindSlot(uint32_t handle)
{
    for (Slot &slot : slots)
        if (slot.stream != nullptr && slot.handle == handle)
            return &slot;
    return nullptr;
}

uint32_t NextHandle()
{
    do
        last_handle++;
    while (last_handle == 0 || FindSlot(last_handle) != nullptr);
    return last_handle;
}

}  // namespace

uint32_t AddStream(Stream *stream)
{
    for (Slot &slot : slots) {
        if (slot.stream == nullptr) {
            slot = Slot{NextHandle(), stream};
            return slot.handle;
        }
    }
    return 0;
}

Stream *FindStream(uint32_t handle)
{
    Slot *slot = handle == 0 ? nullptr : FindSlot(handle);
    return slot == nullptr ? nullptr : slot->stream;
}

Stream *RemoveStream(uint32_t handle)
{
    Slot *slot = handle == 0 ? nullptr : FindSlot(handle);
    if (slot == nullptr)
        return nullptr;
    Stream *stream = slot->stream;
    *slot = Slot{0, nullptr};
    return stream;
}

Stream *RemoveAnyStream()
{
    for (Slot &slot : slots)
        if (slot.stream != nullptr)
            return RemoveStream(slot.handle);
    return nullptr;
}
