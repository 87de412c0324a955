#pragma once

#include <exception>

// Runs `body` where nothing may escape (a thread's top, a callback from a library): an exception
// that leaves it is handed to `report`, inside the handler, as its what(), or as `unknown` when
// it does not derive from std::exception. False when `body` threw.
template <typename Body, typename Report>
bool run_reporting(Body&& body, Report&& report, const char* unknown = "unknown error") {
    try {
        body();
        return true;
    } catch (const std::exception& error) {
        report(error.what());
    } catch (...) {
        report(unknown);
    }
    return false;
}
