#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

// A directory of its own under /tmp for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/drevik-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary directory");
        path = pattern;
    }
    ~TempDir() {
        const std::string command = "rm -rf '" + path + "'";
        [[maybe_unused]] const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe): cleanup
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path;
};
