#include <exception>

#include "log.h"
#include "miner.h"

// Nothing leaves the program as an exception: what reaches here (from the command line, the
// operator commands or start-up, before any thread of the miner runs) is logged, status 1.
int main(int argc, char** argv) {
    try {
        return run_miner(argc, argv);
    } catch (const std::exception& error) {
        log_line("ERROR", "Fatal error: %s", error.what());
    } catch (...) {
        log_line("ERROR", "Fatal error: unknown error");
    }
    return 1;
}
