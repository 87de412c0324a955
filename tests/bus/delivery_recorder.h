#pragma once

#include <string>
#include <vector>

#include "bus/nats_client.h"
#include "common/mutex.h"
#include "support/nats_server_process.h"

// What a client subscribed for its callbacks, as the server lists them: without the inbox its
// results' answers arrive on (sid 0), which every connection that can carry them has.
inline std::vector<NatsServerProcess::Subscription> callback_subscriptions(const NatsServerProcess& server,
                                                                           const std::string& connection_name) {
    std::vector<NatsServerProcess::Subscription> subscriptions;
    for (const NatsServerProcess::Subscription& s : server.subscriptions_of(connection_name)) {
        if (s.sid != std::to_string(kResultReplySid)) subscriptions.push_back(s);
    }
    return subscriptions;
}

// Records deliveries from the reader thread for inspection by the test thread.
struct Delivery {
    std::string callback;  // which subscription's callback ran
    std::string subject;
    std::string data;
    bool operator==(const Delivery& other) const {
        return callback == other.callback && subject == other.subject && data == other.data;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Delivery& d) {
    return out << d.callback << " " << d.subject << " [" << d.data << "]";
}

class DeliveryRecorder {
public:
    MsgCallback callback(const std::string& name) {
        return [this, name](const NatsMsg& message) {
            MutexLock lock(mutex);
            deliveries.push_back({name, message.subject, message.data});
        };
    }
    size_t size() const {
        MutexLock lock(mutex);
        return deliveries.size();
    }
    std::vector<Delivery> all() const {
        MutexLock lock(mutex);
        return deliveries;
    }

private:
    mutable Mutex mutex;
    std::vector<Delivery> deliveries GUARDED_BY(mutex);
};

// Subscribes the miner's three subjects in the miner's order, so they get sids 1, 2, 3.
inline void subscribe_miner_subjects(NatsClient& client, DeliveryRecorder& recorder) {
    client.subscribe("drevik.mining.job", recorder.callback("job"));
    client.subscribe("drevik.mining.cancel", recorder.callback("cancel"));
    client.subscribe("drevik.mining.config", recorder.callback("config"));
}

// Time-outs short enough that reconnects take a fraction of a second.
inline NatsTimings quick_timings() {
    NatsTimings timings;
    timings.connect_timeout = std::chrono::milliseconds(2000);
    timings.receive_timeout = std::chrono::milliseconds(500);
    timings.backoff = std::chrono::milliseconds(200);
    timings.backoff_jitter = std::chrono::milliseconds(0);
    timings.greeting_timeout = std::chrono::milliseconds(500);
    timings.results.ack_wait = std::chrono::milliseconds(300);
    timings.results.retry_first = std::chrono::milliseconds(100);
    timings.results.retry_most = std::chrono::milliseconds(400);
    return timings;
}
