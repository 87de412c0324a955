#pragma once
// The statistics file: the heartbeat's text, replaced whole at every heartbeat through a
// temporary file in its directory and a rename, so a reader never sees a partial file. The
// rename would replace whatever is at the path, so only a regular file (or a symbolic link,
// which is replaced and its target left alone) may be there.

#include <string>

// The start-up check: false, after an ERROR line that says why, when `path` cannot be the
// statistics file: something other than a regular file or a symbolic link is there (a
// directory, a device, a FIFO, a socket), or no file can be made in its directory.
bool check_stats_file(const std::string& path);

// Replaces `path` with `text`. False, with the reason in `why`, when it cannot; nothing is
// left behind then.
bool write_stats_file(const std::string& path, const std::string& text, std::string& why);

// Whether the last write failed: a failure is logged when writing starts to fail and again
// when it works again, not at every heartbeat.
struct StatsFileLog {
    bool failing = false;
};
void store_stats_file(StatsFileLog& log, const std::string& path, const std::string& text);
