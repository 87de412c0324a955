#include "app/miner.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "app/benchmark.h"
#include "bus/nats_protocol.h"
#include "bus/nats_servers.h"
#include "common/console.h"
#include "mining/control_messages.h"
#include "mining/dispatch.h"
#include "app/heap_release.h"
#include "mining/job_intake.h"
#include "pool/job_message.h"
#include "pool/subjects.h"
#include "common/log.h"
#include "mining/miner_state.h"
#include "app/operator_commands.h"
#include "config/settings.h"
#include "monitor/snapshot.h"
#include "monitor/stats.h"
#include "monitor/stats_file.h"
#include "monitor/status_api.h"
#include "monitor/status_report.h"

namespace {

MinerState g_state;

}  // namespace

void handle_signal(int /*signal_number*/) { request_shutdown(g_state); }

namespace {

// The dispatch loop's, the publishers' and the statistics thread's view of the globals.
MinerEnv process_env() { return {g_state, g_settings, bus_publisher(g_state.bus)}; }

const char* const kRule = "============================================================";

}  // namespace

void log_banner_start() {
    log_line("INFO", "%s", kRule);
    log_line("INFO", "  DREVIK GPU Miner v3.2.1 (split kernel + precomp)");
    log_line("INFO", "  Share divisor: %lld", static_cast<long long>(kDefaultShareDivisor));
    log_line("INFO", "%s", kRule);
}

namespace {

// A device can fail the host's re-check at every find (the engine's WARN lines); it goes out of
// service only once.
void log_health(const char* level, const std::string& message) {
    if (std::strcmp(level, "WARN") == 0) {
        log_within(g_state.noise.hardware_errors, "%s", message.c_str());
    } else {
        log_line(level, "%s", message.c_str());
    }
}

}  // namespace

SetUp set_up_gpus() {
    for (const int32_t device : g_settings.gpu_ids) {
        if (!g_state.running.load()) return SetUp::interrupted;
        GpuSlot slot;
        slot.device = device;
        try {
            slot.engine = std::make_unique<GpuMiner>();
            slot.engine->set_health_log(log_health);
            if (!slot.engine->init(device, &g_state.stop)) return SetUp::interrupted;
        } catch (const std::exception& error) {
            log_line("ERROR", "GPU %d init failed: %s", device, error.what());
            return SetUp::failed;
        }
        slot.info = slot.engine->describe();
        log_line("INFO", "GPU %d: %s (SM=%d, grid=%d, loops=%d, hashes/launch=%lld)", device, slot.info.name.c_str(),
                 slot.info.sm_count, slot.info.grid, slot.info.loops,
                 static_cast<long long>(slot.info.hashes_per_launch));
        // Before its first job: a device that fails is out of service from here on (its ERROR
        // line), and the others mine.
        slot.engine->set_self_test_interval(g_settings.self_test_hours * 3600.0);
        slot.engine->self_test();
        g_state.gpus.push_back(std::move(slot));
    }
    if (!g_state.gpus.empty() && gpus_in_service(g_state) == 0) {
        log_line("ERROR", "No GPU left in service, exiting");
        return SetUp::failed;
    }
    return SetUp::ready;
}

namespace {

// Signals are taken by a thread of their own with sigwait, so the shutdown request runs as
// ordinary code (a condition variable cannot be signalled safely from a signal handler).
// They must be blocked before any other thread starts so that every thread inherits the mask.
sigset_t shutdown_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

std::thread start_signal_thread() {
    const sigset_t set = shutdown_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return std::thread([set] {
        int signal_number = 0;
        while (sigwait(&set, &signal_number) != 0) {
        }
        handle_signal(signal_number);
    });
}

void end_signal_thread(std::thread& signal_thread) {
    // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): it ends sigwait, for which it is blocked.
    pthread_kill(signal_thread.native_handle(), SIGTERM);
    signal_thread.join();
}

// Telemetry is optional: without the driver's library every reading stays 0.
void open_telemetry() {
    std::string error;
    if (!g_state.nvml.open(nvml_library_path(), error)) {
        log_line("DEBUG", "NVML not available, GPU telemetry reads 0: %s", error.c_str());
    }
}

// A CA, certificate or key file that cannot be used ends the start, before any GPU work.
bool configure_bus_tls() {
    const TlsOptions options{g_settings.tls_ca, g_settings.tls_cert, g_settings.tls_key};
    if (!options.any()) return true;
    const std::string error = g_state.bus.set_tls(options);
    if (error.empty()) return true;
    console_print("[NATS] TLS set-up failed: %s\n", error.c_str());
    return false;
}

// Finds a crash left undelivered go first; a journal that cannot be used ends the start, before
// any GPU work.
bool open_journal(std::unique_ptr<ResultsJournal>& journal) {
    if (g_settings.journal.empty()) return true;
    const char* path = g_settings.journal.c_str();
    ResultsJournal::Opened opened = ResultsJournal::open(g_settings.journal);
    if (!opened.journal) {
        log_line("ERROR", "Journal %s: %s", path, opened.error.c_str());
        return false;
    }
    if (!opened.damage.empty())
        log_line("WARN", "Journal %s: dropped a damaged tail of %s", path, opened.damage.c_str());
    if (!opened.pending.empty()) {
        log_line("INFO", "Journal %s: %zu undelivered result(s) to send", path, opened.pending.size());
    }
    journal = std::move(opened.journal);
    g_state.bus.set_journal(journal.get(), opened.pending);
    return true;
}

void log_banner_end(const StatusApi& api) {
    log_line("INFO", "All %d GPU(s) ready%s", static_cast<int>(g_state.gpus.size()),
             g_settings.gpus_given ? "" : " (auto-detected)");
    log_line("INFO", "NATS: %zu server(s)", g_settings.servers.size());
    for (const std::string& server : masked_server_list(g_settings.servers)) log_line("INFO", "  %s", server.c_str());
    if (!g_settings.wallet.empty()) log_line("INFO", "Wallet: %s", g_settings.wallet.c_str());
    if (g_settings.api_port != 0) {
        log_line("INFO", "Status API: %s port %d (/status, /metrics)", g_settings.api_bind.c_str(),
                 static_cast<int>(g_settings.api_port));
        if (api.on_every_address()) {
            log_line("WARN", "Status API: --api-bind %s listens on every address, reachable from the network",
                     g_settings.api_bind.c_str());
        }
    }
    log_line("INFO", "%s", kRule);
}

void on_job_message(const NatsMsg& message) {
    handle_job_message(g_state, message);
    // The message's JSON, and a pending job it replaced, are freed by now.
    release_heap_after(message.data.size());
}
void on_cancel_message(const NatsMsg& message) { handle_cancel_message(g_state, message); }
void on_config_message(const NatsMsg& message) { handle_config_message(g_state, message); }

// Mining's start-up before the bus: the status API's port, the GPUs and the banner.
SetUp start_up(StatusApi& api) {
    // Bound before the GPUs are set up, so that a port in use fails the start at once.
    if (g_settings.api_port != 0 && !api.bind(g_settings.api_bind, g_settings.api_port)) {
        log_line("ERROR", "Status API: cannot listen on %s port %d", g_settings.api_bind.c_str(),
                 static_cast<int>(g_settings.api_port));
        return SetUp::failed;
    }
    if (!check_stats_file(g_settings.stats_file)) return SetUp::failed;
    if (!resolve_gpu_list(g_settings)) return SetUp::failed;
    log_banner_start();
    const SetUp set_up = set_up_gpus();
    if (set_up == SetUp::ready) log_banner_end(api);
    return set_up;
}

// The engines give back their device memory and streams before the runtime's own statics go at
// exit, however the run ends.
struct GpusReleased {
    GpusReleased() = default;
    GpusReleased(const GpusReleased&) = delete;
    GpusReleased& operator=(const GpusReleased&) = delete;
    ~GpusReleased() { g_state.gpus.clear(); }
};

int benchmark() {
    const GpusReleased released;
    std::thread signal_thread = start_signal_thread();
    const SetUp set_up = resolve_gpu_list(g_settings) ? set_up_gpus() : SetUp::failed;
    if (set_up != SetUp::ready) {
        end_signal_thread(signal_thread);
        return set_up == SetUp::failed ? 1 : 0;
    }
    const int status = run_benchmark(process_env(), g_settings.benchmark_seconds);
    end_signal_thread(signal_thread);
    return status;
}

}  // namespace

int run_miner(int argc, char** argv) {
    // Blocks above this size get mappings of their own that go back to the system when freed.
    // Without a fixed value glibc raises the threshold after the first large free, and a huge
    // bus message would leave the reader thread's heap at its peak size for good.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);  // NOLINT(concurrency-mt-unsafe): before any thread starts
    if (!parse_command_line(argc, argv, g_settings)) return 1;
    set_log_client_id(g_settings.client_id);
    switch (g_settings.mode) {
        case RunMode::version:
            return print_version();
        case RunMode::list_devices:
            return print_device_list();
        case RunMode::benchmark:
            return benchmark();
        case RunMode::self_test:
            return resolve_gpu_list(g_settings) ? print_self_tests(g_settings.gpu_ids, log_health) : 1;
        case RunMode::mine:
            break;
    }
    if (!configure_bus_tls()) return 1;
    g_state.bus.set_results_ack(g_settings.results_ack);
    std::unique_ptr<ResultsJournal> journal;
    if (!open_journal(journal)) return 1;
    // Before device detection: the CUDA runtime starts threads of its own, and they too must
    // leave the shutdown signals to the signal thread.
    std::thread signal_thread = start_signal_thread();
    const GpusReleased released;
    StatusApi api;
    const SetUp set_up = start_up(api);
    if (set_up != SetUp::ready) {
        end_signal_thread(signal_thread);
        if (set_up == SetUp::failed) return 1;
        log_line("INFO", "Shutting down...");
        return 0;
    }
    open_telemetry();
    g_state.start_time = steady_seconds();

    g_state.bus.set_servers(g_settings.servers);
    g_state.bus.subscribe(kJobSubject, on_job_message);
    g_state.bus.subscribe(kCancelSubject, on_cancel_message);
    g_state.bus.subscribe(kConfigSubject, on_config_message);
    // A miner that joins between two jobs need not wait for the next one.
    g_state.bus.request_on_connect(kCurrentJobSubject, on_job_message);
    g_state.bus.start();
    const MinerEnv env = process_env();
    std::thread stats_thread(stats_loop, std::cref(env));
    if (g_settings.api_port != 0) {
        api.start([] { return status_json(g_settings, take_snapshot(g_state)); },
                  [] { return status_metrics(g_settings, take_snapshot(g_state)); });
    }

    int status = 0;
    while (g_state.running.load()) {
        std::optional<MiningJob> job = take_job(g_state);
        if (!job) break;
        const bool in_service = mine(env, *job);
        const size_t job_bytes = receipt_bytes(*job);
        job.reset();
        release_heap_after(job_bytes);
        if (!in_service) {
            // Exit status 1 lets a service manager restart the miner.
            log_line("ERROR", "No GPU left in service, exiting");
            status = 1;
            break;
        }
    }

    log_line("INFO", "Shutting down...");
    if (status != 0) {
        end_signal_thread(signal_thread);  // also ends the statistics thread's loop
    } else {
        signal_thread.join();
    }
    g_state.bus.stop();
    stats_thread.join();
    api.stop();
    return status;
}
