#include "monitor/snapshot.h"

#include "common/console.h"
#include "common/steady_clock.h"
#include "pool/job_message.h"

MinerSnapshot take_snapshot(MinerState& state) {
    MinerSnapshot snapshot;
    snapshot.uptime = steady_seconds() - state.start_time;
    snapshot.counts.uptime_seconds = static_cast<int32_t>(snapshot.uptime);
    snapshot.gpus = gpu_rates(state.gpus, state.nvml);
    snapshot.counts.found = state.jobs_found.load();
    snapshot.counts.shares = state.shares_sent.load();
    snapshot.counts.jobs_received = state.jobs_received.load();
    snapshot.jobs_cancelled = state.jobs_cancelled.load();
    snapshot.jobs_skipped = state.jobs_skipped.load();
    snapshot.height = state.mining_height.load();
    const int64_t divisor = state.share_divisor.load();
    snapshot.share_divisor_dynamic = divisor > 0;
    snapshot.share_divisor = snapshot.share_divisor_dynamic ? divisor : kDefaultShareDivisor;
    snapshot.connected = state.bus.is_connected();
    snapshot.server = state.bus.current_server_copy();
    snapshot.outbox_size = state.bus.outbox_size();
    snapshot.outbox_dropped = state.bus.outbox_dropped();
    snapshot.refused_oversized = state.bus.refused_oversized();
    snapshot.console_dropped = console_dropped_lines();
    return snapshot;
}

std::vector<GpuRate> gpu_rates(std::vector<GpuSlot>& gpus, const Nvml& nvml) {
    std::vector<GpuRate> rates;
    rates.reserve(gpus.size());
    for (GpuSlot& slot : gpus) {
        GpuRate rate{slot.device, slot.info.name, 0.0, nvml.read(slot.info.pci_bus_id), 0, DeviceState::idle};
        if (slot.engine) {
            rate.mhs = slot.engine->hashrate();
            rate.hw_errors = slot.engine->hardware_errors();
            rate.state = slot.engine->state();
        }
        rates.push_back(rate);
    }
    return rates;
}

double total_mhs(const std::vector<GpuRate>& gpus) {
    double total = 0.0;
    for (const GpuRate& gpu : gpus) total += gpu.mhs;
    return total;
}
