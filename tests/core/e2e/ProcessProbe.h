#pragma once

// What /proc tells about a running process from outside: memory, descriptors, CPU time and the
// receive queue of its UDP socket. Used by the soak test and the benchmarks alike.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace krvd::e2e {

struct MemorySample {
    long residentKiB = -1;      // VmRSS
    long privateDirtyKiB = -1;  // Private_Dirty over all mappings
};

MemorySample sampleMemory(pid_t pid);

// "NUMBER -> TARGET" for every open descriptor, sorted; empty when the process is gone.
std::vector<std::string> openDescriptors(pid_t pid);

// CPU time the process itself has used (all threads), in nanoseconds.
std::uint64_t ownCpuNanoseconds(pid_t pid);
// CPU time of its children that it has waited for, theirs included, in nanoseconds (clock-tick
// resolution).
std::uint64_t childrenCpuNanoseconds(pid_t pid);

// The UDP socket bound to port in the process's network namespace.
struct UdpSocketState {
    bool found = false;
    long queuedBytes = 0;  // memory the queued datagrams hold
    long drops = 0;        // datagrams the kernel dropped for a full queue
};

UdpSocketState udpSocketState(pid_t pid, std::uint16_t port);

}  // namespace krvd::e2e
