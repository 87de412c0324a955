// What delivering a find costs: from publish_kept to the moment the result leaves the outbox,
// over 1,000 finds one after another against a local nats-server, once with a JetStream stream
// that stores them (delivered by its acknowledgement) and once without a stream or anyone on
// the subject (delivered by the server's PONG); and the journal's append of one find, flushed
// to disk (fdatasync). The stream's store and the journal go in the folder given as the
// argument (default: the working directory; a tmpfs /tmp would measure memory, not a disk).
// Prints the median and the 99th percentile of each.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bus/nats_client.h"
#include "bus/results_journal.h"
#include "support/jetstream.h"
#include "support/nats_server_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFinds = 1000;

const std::string kPayload(600, 'p');  // about a share message's size

void report(const char* what, std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    std::printf("%-44s median %8.1f us   p99 %8.1f us   (%zu finds)\n", what, micros[micros.size() / 2],
                micros[micros.size() * 99 / 100], micros.size());
}

std::vector<double> delivery_times(NatsServerProcess& server) {
    NatsClient client("drevik-miner");
    client.set_servers({server.url()});
    client.start();
    while (!client.is_connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<double> micros;
    for (int n = 0; n < kFinds; ++n) {
        const Clock::time_point start = Clock::now();
        client.publish_kept("drevik.mining.share", kPayload, KeptKind::share, "share-" + std::to_string(n));
        while (client.outbox_size() != 0) std::this_thread::yield();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    client.stop();
    return micros;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string journal_dir = argc > 1 ? argv[1] : ".";
    const std::string store = journal_dir + "/results-bench-store";
    NatsServerProcess server({"-js", "-sd", store});
    server.start();
    {
        NatsTestClient admin(server.port(), "admin");
        create_stream(admin, results_stream());
    }
    report("find -> stored (JetStream ack, file, R1)", delivery_times(server));

    // No stream and nobody on the subject: the server says so at once, and its PONG delivers.
    NatsServerProcess plain;
    plain.start();
    report("find -> confirmed (no stream, server's PONG)", delivery_times(plain));

    std::vector<double> journal_micros;
    const std::string journal = journal_dir + "/results-bench.journal";
    ResultsJournal::Opened opened = ResultsJournal::open(journal);
    if (!opened.journal) {
        std::fprintf(stderr, "journal: %s\n", opened.error.c_str());
        return 1;
    }
    for (int n = 0; n < kFinds; ++n) {
        const Clock::time_point start = Clock::now();
        opened.journal->append_find({KeptKind::share, "drevik.mining.share", "share-" + std::to_string(n), kPayload});
        journal_micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        opened.journal->mark_done("share-" + std::to_string(n));
    }
    report("journal append, fdatasync", journal_micros);
    opened.journal.reset();
    std::remove(journal.c_str());
    std::remove((journal + ".lock").c_str());
    server.stop();
    const std::string remove_store = "rm -rf '" + store + "'";
    return std::system(remove_store.c_str()) == 0 ? 0 : 1;  // NOLINT(concurrency-mt-unsafe): servers are gone
}
