// sink_probe: times a player against what reaches a PulseAudio sink, for tuning start and end.
// Usage: sink_probe make FILE SECONDS      writes a 44.1 kHz stereo WAV of nonzero noise
//        sink_probe run SOURCE FILE CMD...  records SOURCE (a sink's monitor) while CMD plays FILE,
// then prints the start latency (launch to first sample at the sink), the wall time beyond the
// file's length, the samples missing or wrong, and the player's peak RSS.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

constexpr int RATE = 44100;
constexpr int CHANNELS = 2;
constexpr double LEAD_IN_SECONDS = 0.3;
constexpr double TAIL_SECONDS = 0.3;
// parec's own default fragment (50 ms) unless SINK_PROBE_FRAGMENT_MS says otherwise: the
// recording's latency becomes the null sink's, which renders that far ahead in bursts.
size_t READ_FRAMES = RATE / 20;

double Now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int MakeNoise(const char *path, double seconds)
{
    SF_INFO info = {};
    info.samplerate = RATE;
    info.channels = CHANNELS;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path, SFM_WRITE, &info);
    if (file == nullptr)
        return 1;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> magnitude(1, 8000);
    std::vector<short> samples(static_cast<size_t>(seconds * RATE) * CHANNELS);
    for (short &sample : samples)
        sample = static_cast<short>(magnitude(random) * ((random() & 1) ? 1 : -1));
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return 0;
}

std::vector<short> ReadExpected(const char *path)
{
    SF_INFO info = {};
    SNDFILE *file = sf_open(path, SFM_READ, &info);
    std::vector<short> samples;
    if (file == nullptr || info.channels != CHANNELS || info.samplerate != RATE)
        return samples;
    samples.resize(static_cast<size_t>(info.frames) * CHANNELS);
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

struct Recording {
    std::vector<short> samples;
    std::vector<double> arrivals;  // when each read of READ_FRAMES frames came in
};

struct ChildRun {
    double launched = 0, exited = 0;
    long max_rss_kb = 0;
    double cpu_ms = 0;
    int status = 0;
};

void RunChild(char **argv, ChildRun *run, std::atomic<bool> *done)
{
    pid_t pid;
    run->launched = Now();
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
        run->exited = run->launched;
        done->store(true);
        return;
    }
    rusage usage;
    wait4(pid, &run->status, 0, &usage);
    run->exited = Now();
    run->max_rss_kb = usage.ru_maxrss;
    run->cpu_ms = (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3);
    done->store(true);
}

void Record(pa_simple *source, Recording *recording, double until)
{
    std::vector<short> chunk(READ_FRAMES * CHANNELS);
    while (Now() < until) {
        if (pa_simple_read(source, chunk.data(), chunk.size() * sizeof(short), nullptr) < 0)
            return;
        recording->arrivals.push_back(Now());
        recording->samples.insert(recording->samples.end(), chunk.begin(), chunk.end());
    }
}

// When `frame` reached the sink at the latest: its read's arrival, less the frames after it.
double FrameTime(const Recording &recording, size_t frame)
{
    size_t read = std::min(frame / READ_FRAMES, recording.arrivals.size() - 1);
    double after = static_cast<double>((read + 1) * READ_FRAMES - frame);
    return recording.arrivals[read] - after / RATE;
}

size_t FirstSoundFrame(const std::vector<short> &samples)
{
    for (size_t i = 0; i < samples.size(); i++)
        if (samples[i] != 0)
            return i / CHANNELS;
    return samples.size() / CHANNELS;
}

size_t MatchingFrames(const std::vector<short> &recorded, size_t first,
                      const std::vector<short> &expected)
{
    size_t frames = expected.size() / CHANNELS, matched = 0;
    for (size_t f = 0; f < frames && (first + f + 1) * CHANNELS <= recorded.size(); f++)
        if (recorded[(first + f) * CHANNELS] == expected[f * CHANNELS] &&
            recorded[(first + f) * CHANNELS + 1] == expected[f * CHANNELS + 1])
            matched++;
    return matched;
}

int Run(const char *source_name, const char *path, char **command)
{
    std::vector<short> expected = ReadExpected(path);
    if (expected.empty()) {
        fprintf(stderr, "%s: not a 44.1 kHz stereo file\n", path);
        return 1;
    }
    pa_sample_spec spec = {PA_SAMPLE_S16LE, RATE, CHANNELS};
    pa_buffer_attr attr = {static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                           static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                           static_cast<uint32_t>(READ_FRAMES * CHANNELS * sizeof(short))};
    int error = 0;
    pa_simple *source = pa_simple_new(nullptr, "sink_probe", PA_STREAM_RECORD, source_name, "probe",
                                      &spec, nullptr, &attr, &error);
    if (source == nullptr) {
        fprintf(stderr, "cannot record %s: %s\n", source_name, pa_strerror(error));
        return 1;
    }
    Recording recording;
    Record(source, &recording, Now() + LEAD_IN_SECONDS);
    ChildRun run;
    std::atomic<bool> done{false};
    std::thread child(RunChild, command, &run, &done);
    while (!done.load())
        Record(source, &recording, Now() + 0.01);
    Record(source, &recording, Now() + TAIL_SECONDS);
    child.join();
    pa_simple_free(source);

    if (const char *dump = getenv("SINK_PROBE_DUMP")) {
        FILE *out = fopen(dump, "wb");
        fwrite(recording.samples.data(), sizeof(short), recording.samples.size(), out);
        fclose(out);
    }
    double length = static_cast<double>(expected.size() / CHANNELS) / RATE;
    size_t first = FirstSoundFrame(recording.samples);
    size_t matched = MatchingFrames(recording.samples, first, expected);
    size_t frames = expected.size() / CHANNELS;
    double first_heard = FrameTime(recording, first);
    double last_heard = FrameTime(recording, first + frames - 1);
    printf("start_ms=%.1f overhead_ms=%.1f exit_after_last_ms=%.1f missing=%zu of %zu rss_kb=%ld "
           "cpu_ms=%.1f exit=%d\n",
           (first_heard - run.launched) * 1e3, (run.exited - run.launched - length) * 1e3,
           (run.exited - last_heard) * 1e3, frames - matched, frames, run.max_rss_kb, run.cpu_ms,
           WEXITSTATUS(run.status));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (const char *fragment_ms = getenv("SINK_PROBE_FRAGMENT_MS"))
        READ_FRAMES = static_cast<size_t>(RATE * atof(fragment_ms) / 1000.0);
    if (mode == "make" && argc == 4)
        return MakeNoise(argv[2], atof(argv[3]));
    if (mode == "run" && argc >= 5)
        return Run(argv[2], argv[3], argv + 4);
    fprintf(stderr, "usage: %s make FILE SECONDS | run SOURCE FILE CMD...\n", argv[0]);
    return 2;
}
