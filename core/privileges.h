#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Capability masks (first 32-bit word): network administration, raw network
// access and, during start-up only, raw I/O.
inline constexpr uint32_t INIT_CAPABILITIES = 0x23000;
inline constexpr uint32_t RUNNING_CAPABILITIES = 0x3000;

// Sets effective = permitted = mask and clears the inheritable set and every
// capability above 31, on every thread of the process. The kernel applies
// capset to the calling thread only, so every other task of /proc/self/task
// is signalled and makes the same call in its handler, including threads
// plugins started from their own code. A refusal on the calling thread is
// logged at level 50 and the old sets stay; a thread that does not take the
// new sets within two seconds (one that blocks the signal) is named at level 50.
void SetCapabilities(uint32_t mask);

// The signal that carries the call to the other threads; its handler stays
// installed for the rest of the run, so a thread that unblocks it late still
// takes the latest sets.
int CapabilitySignal();

// One thread's identity and capability sets as the kernel reports them in
// /proc/self/task/<tid>/status: real, effective, saved and file-system IDs.
struct ThreadCredentials {
    uid_t uid[4];
    gid_t gid[4];
    uint64_t effective, permitted, inheritable;
    uint64_t blockedSignals;
};

// Threads of this process, in no particular order; empty when /proc is missing.
std::vector<pid_t> ProcessThreads();
// Nothing when the thread has ended.
std::optional<ThreadCredentials> ReadThreadCredentials(pid_t tid);
// "<tid> (<name>)", for log lines about one thread.
std::string DescribeThread(pid_t tid);
