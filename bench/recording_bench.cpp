// What recording costs: appending a camera frame (4 x 86,400 bytes, CRC-32
// and one write) to a recording file, as lumivex-record does for each frame.
// The counter core_share_at_30fps is the CPU time of 30 frames a second as
// a share of one core (0.05: 5 %).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "recording.h"

namespace {

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void RecordFrame(benchmark::State& state) {
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder ? folder : "/tmp") + "/lumivex-bench-" + std::to_string(getpid()) + ".lmvxrec";
    std::vector<uint8_t> frame(4 * 86400);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7 + i / 480);
    LumivexRecording::Header header;
    header.set("connection", "CSI");
    LumivexRecording::Writer writer;
    std::string error;
    if (!writer.open(path, header, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    double cpu = 0;
    uint64_t frames = 0, stamp = 0;
    for (auto _ : state) {
        if (writer.framesWritten() == 300) {  // ten seconds of frames a file: the disk stays free
            state.PauseTiming();
            writer.open(path, header, error);
            state.ResumeTiming();
        }
        const double before = threadSeconds();
        if (!writer.append(stamp += 333333, 4, 37.5e6f, frame.data(), 86400, 4)) {
            state.SkipWithError(writer.error().c_str());
            break;
        }
        cpu += threadSeconds() - before;
        ++frames;
    }
    writer.close();
    unlink(path.c_str());
    state.SetBytesProcessed(int64_t(frames * frame.size()));
    state.counters["core_share_at_30fps"] = frames > 0 ? cpu / double(frames) * 30.0 : 0.0;
}
BENCHMARK(RecordFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
