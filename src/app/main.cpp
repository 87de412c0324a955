#include <chrono>
#include <exception>

#include "common/console.h"
#include "common/log.h"
#include "app/miner.h"

namespace {

// Nothing leaves the program as an exception: what reaches here (from the command line, the
// operator commands or start-up, before any thread of the miner runs) is logged, status 1.
int run(int argc, char** argv) {
    try {
        return run_miner(argc, argv);
    } catch (const std::exception& error) {
        log_line("ERROR", "Fatal error: %s", error.what());
    } catch (...) {
        log_line("ERROR", "Fatal error: unknown error");
    }
    return 1;
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
