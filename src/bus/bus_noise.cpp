#include "bus/bus_noise.h"

#include "common/console.h"

namespace {

void print_report(const LineBudget& budget, uint64_t held_back) {
    if (held_back > 0) console_write(budget.held_back_text(held_back) + "\n");
}

}  // namespace

std::string refused_line(size_t payload_size, const std::string& subject, int64_t limit) {
    return "[NATS] Not sent: " + std::to_string(payload_size) + "-byte message on " + subject +
           " exceeds max_payload " + std::to_string(limit) + "\n";
}

void print_within(LineBudget& budget, const std::string& line) {
    const LineBudget::Verdict verdict = budget.take();
    print_report(budget, verdict.held_back);
    if (verdict.write) console_write(line);
}

void print_held_back(BusNoise& noise) {
    for (LineBudget* budget : {&noise.discovered, &noise.server_errors, &noise.refused, &noise.callback_failures}) {
        print_report(*budget, budget->take_overdue());
    }
}
