#include <chrono>

#include "common/console.h"
#include "app/miner.h"
#include "common/log.h"
#include "common/run_reporting.h"

namespace {

// Nothing leaves the program as an exception: what reaches here (from the command line, the
// operator commands or start-up, before any thread of the miner runs) is logged, status 1.
int run(int argc, char** argv) {
    int status = 1;
    run_reporting([&] { status = run_miner(argc, argv); },
                  [](const char* what) { log_line("ERROR", "Fatal error: %s", what); });
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    console_set_drop_report(dropped_lines_report);
    const int status = run(argc, argv);
    // The last lines get a moment to leave; a standard error that takes nothing does not
    // hold the exit up.
    console_flush(std::chrono::seconds(1));
    return status;
}
