#pragma once

// The whole process: start-up, job dispatch loop, shutdown. Returns the exit status.
int run_miner(int argc, char** argv);

// Logs the banner's opening lines.
void log_banner_start();
enum class SetUp { ready, failed, interrupted };
// Creates, sets up and tunes one engine per listed device into the global state's slots,
// logging each; `failed`, after logging why, when a device cannot be set up; `interrupted`
// when a shutdown request arrives first (it is seen before every tuning launch).
SetUp set_up_gpus();

// Shutdown request (SIGINT, SIGTERM): ends the dispatch loop and the running search.
void handle_signal(int signal_number);
