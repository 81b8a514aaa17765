// The table of live streams, by handle. Not locked: the exported calls serialize access.
#pragma once

#include <stdint.h>

struct Stream;

// A new handle for `stream`, never 0 and never one still in use; 0 if the table is full.
uint32_t AddStream(Stream *stream);

// The stream behind `handle`, or nullptr for 0, a freed handle or one never given out.
Stream *FindStream(uint32_t handle);

// Forgets `handle`; returns its stream, or nullptr.
Stream *RemoveStream(uint32_t handle);

// Forgets some live stream and returns it; nullptr once the table is empty.
Stream *RemoveAnyStream();
