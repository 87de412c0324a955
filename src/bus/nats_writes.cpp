// What the client's writers and its connection session share: the one way onto the link and the
// results due on it.

#include <sys/socket.h>

#include "bus/nats_client.h"
#include "bus/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kind_name(KeptKind kind) { return kind == KeptKind::block ? "block result" : "share"; }

}  // namespace

void NatsClient::send_raw(const std::string& text) {
    MutexLock lock(send_mutex);
    write_locked(text);
}

bool NatsClient::write_locked(const std::string& text) {
    int fd;
    {
        MutexLock link_lock(link_mutex);
        if (!link_open()) return false;
        fd = link.fd.get();
    }
    if (text.empty()) return true;
    // The descriptor stays open while send_mutex is held: the session closes it only under it.
    if (send_whole(link, text, timings.connect_timeout)) return true;
    MutexLock link_lock(link_mutex);
    shutdown(fd, SHUT_RDWR);  // the reader's receive ends, and the session closes the descriptor
    set_state(LinkState::closed);
    return false;
}

std::string NatsClient::due_results_locked(std::vector<OutboxEntry>& oversized_entries) {
    // Where only a stream may deliver results, a server that cannot carry its answers gets none.
    const bool replies = outbox.mode != ResultsAck::server && headers_ok.load();
    if (outbox.mode == ResultsAck::stream && !replies) return "";
    return outbox_write_text(outbox, max_payload.load(), replies ? ack_prefix : "", Clock::now(), oversized_entries);
}

void NatsClient::report_oversized(const std::vector<OutboxEntry>& entries) {
    for (const OutboxEntry& entry : entries) {
        oversized.fetch_add(1);
        print_within(noise.refused, "[NATS] Not sent: " + std::to_string(outbox_wire_bytes(entry, entry.with_reply)) +
                                        "-byte " + kind_name(entry.kind) + " on " + entry.subject +
                                        " exceeds max_payload " + std::to_string(max_payload.load()) +
                                        ", kept for another server\n");
    }
}
