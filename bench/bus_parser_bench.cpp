// Throughput of the bus frame parser: a stream of messages fed in receive-sized pieces, as the
// reader thread feeds it, for job-sized messages and for large ones.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bus/nats_parser.h"

namespace {

void BM_ParseMessages(benchmark::State& state) {
    const std::string payload(static_cast<size_t>(state.range(0)), 'j');
    const std::string frame =
        "MSG drevik.mining.job 1 " + std::to_string(payload.size()) + "\r\n" + payload + "\r\nPING\r\n";
    std::string stream;
    while (stream.size() < size_t{4} * 1024 * 1024) stream += frame;
    std::vector<NatsFrame> frames;
    for (auto _ : state) {
        NatsParser parser;
        for (size_t at = 0; at < stream.size(); at += kReceiveChunkBytes) {
            parse_frames(parser, std::string_view(stream).substr(at, kReceiveChunkBytes), frames);
            benchmark::DoNotOptimize(frames.data());
            frames.clear();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ParseMessages)->Arg(300)->Arg(int64_t{64} * 1024)->Arg(int64_t{1024} * 1024);

}  // namespace

BENCHMARK_MAIN();
