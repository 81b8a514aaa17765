// The stream as a sample source: decoder output scaled by the stream's gain.
#include "libbass/core/stream.h"

#include "libbass/core/heap.h"

namespace {

size_t FillFromStream(void *arg, int16_t *samples, size_t frames, bool *ended)
{
    auto *stream = static_cast<Stream *>(arg);
    int64_t got = stream->decoder->Read(samples, static_cast<int64_t>(frames));
    size_t count =
        static_cast<size_t>(got) * static_cast<size_t>(stream->decoder->Format().channels);
    ApplyVolume(samples, count, stream->gain.load(std::memory_order_relaxed));
    *ended = stream->decoder->AtEnd();
    return static_cast<size_t>(got);
}

int64_t FramesLeftInStream(void *arg)
{
    return static_cast<Stream *>(arg)->decoder->FramesLeft();
}

}  // namespace

SampleSource StreamSource(Stream *stream)
{
    return SampleSource{FillFromStream, FramesLeftInStream, stream};
}

void DeleteStream(Stream *stream)
{
    HeapDelete(stream->decoder);
    HeapDelete(stream);
}
