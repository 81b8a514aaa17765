// decode_dump: what the library's decoding makes of a file, every counted frame as it would be
// played, for comparing the samples of one build with another's.
// Usage: decode_dump FILE OUT. Writes the frames to OUT as raw 16-bit little-endian PCM and
// prints "rate=R channels=C frames=N"; exits 1, writing nothing, if the file is not decoded.
#include <stdio.h>

#include <vector>

#include "libbass/core/decoder.h"
#include "libbass/core/heap.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s FILE OUT\n", argv[0]);
        return 2;
    }
    Decoder *decoder = Decoder::Open(argv[1]);
    if (decoder == nullptr)
        return 1;
    PcmFormat format = decoder->Format();
    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr) {
        HeapDelete(decoder);
        return 2;
    }
    std::vector<int16_t> samples(4096 * static_cast<size_t>(format.channels));
    int64_t got;
    while ((got = decoder->Read(samples.data(), 4096)) > 0)
        fwrite(samples.data(), static_cast<size_t>(FrameBytes(format)), static_cast<size_t>(got),
               out);
    fclose(out);
    printf("rate=%d channels=%d frames=%lld\n", format.rate, format.channels,
           static_cast<long long>(decoder->Frames()));
    HeapDelete(decoder);
    return 0;
}
