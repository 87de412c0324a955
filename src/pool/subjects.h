#pragma once
// Every subject the miner and the pool exchange messages on.

// Jobs from the pool, and the request answered with the job being mined now, exactly as on
// kJobSubject.
inline constexpr const char* kJobSubject = "drevik.mining.job";
inline constexpr const char* kCurrentJobSubject = "drevik.mining.job.current";
inline constexpr const char* kCancelSubject = "drevik.mining.cancel";
inline constexpr const char* kConfigSubject = "drevik.mining.config";

inline constexpr const char* kShareSubject = "drevik.mining.share";
inline constexpr const char* kResultSubject = "drevik.mining.result";
// Followed by the client id.
inline constexpr const char* kHeartbeatSubjectPrefix = "drevik.monitor.heartbeat.";
