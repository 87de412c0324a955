#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "bus/nats_client.h"
#include "mining/miner_state.h"
#include "config/settings.h"

// Where the miner's messages go: the process's bus client, or a recorder in tests.
struct Publisher {
    // Fire and forget (the heartbeat).
    std::function<void(const std::string& subject, const std::string& payload)> publish;
    // Kept until the server confirms it (shares and block results).
    std::function<void(const std::string& subject, const std::string& payload, KeptKind kind,
                       const std::string& msg_id)>
        publish_kept;
};

inline Publisher bus_publisher(NatsClient& bus) {
    return {[&bus](const std::string& subject, const std::string& payload) { bus.publish(subject, payload); },
            [&bus](const std::string& subject, const std::string& payload, KeptKind kind, const std::string& msg_id) {
                bus.publish_kept(subject, payload, kind, msg_id);
            }};
}

// The search of one slot for one job, with the engine's contract (GpuMiner::search).
using SlotSearch = std::function<bool(GpuSlot& slot, const MiningJob& job, StopFlag& stop, SearchOutcome& outcome,
                                      FindCallback callback, void* context)>;

inline bool search_engine(GpuSlot& slot, const MiningJob& job, StopFlag& stop, SearchOutcome& outcome,
                          FindCallback callback, void* context) {
    return slot.engine->search(job, stop, outcome, callback, context);
}

// What the dispatch loop, the publish functions and the statistics loop work on, passed in
// rather than reached as globals: the process wires in g_state, g_settings and its bus client
// (app/miner.cpp); a test its own state, settings, recorder and search.
struct MinerEnv {
    MinerState& state;
    const MinerSettings& settings;
    Publisher publisher;
    SlotSearch search = search_engine;
};
