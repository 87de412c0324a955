#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exit_status = -1;  // -1 when the process did not exit normally
    std::string standard_output;
    std::string standard_error;
};

// Runs `program` with `args` (argv[0] is `program`), standard input from /dev/null, and
// waits for it to end, collecting its standard output and standard error. `environment` entries ("NAME=value") are
// added to this process's environment for the child.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment = {});
