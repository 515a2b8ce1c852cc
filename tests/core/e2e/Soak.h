#pragma once

// A long mixed stream of datagrams against a running daemon: queries for it and for other
// controllers, other controllers' replies, junk, binary, oversize and empty datagrams, and
// assignments with bad values. Paced by the daemon's receive queue, so none is dropped.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "tests/core/e2e/NetworkLab.h"
#include "tests/core/e2e/ProcessProbe.h"

namespace krvd::e2e {

struct SoakPlan {
    std::size_t datagrams = 100000;
    // Of those, the ones that make the daemon read its settings through the shell (a query for
    // it, or an assignment for it with a bad value): about 15 commands each.
    std::size_t addressedHere = 24;
    std::chrono::seconds timeLimit{100};
};

struct SoakFigures {
    std::size_t sent = 0;
    std::size_t sentNonEmpty = 0;
    std::size_t queriesHere = 0;
    std::size_t queriesAnswered = 0;
    std::vector<std::string> unanswered;  // seqids
    long drops = 0;
    std::size_t verdicts = 0;  // verdict lines for the peer's datagrams
    MemorySample idle;
    MemorySample warm;  // after the first tenth
    MemorySample end;
    long highestResidentKiB = 0;
    std::vector<std::string> descriptorsBefore;
    std::vector<std::string> descriptorsAfter;
    double seconds = 0;
    bool finishedInTime = false;
};

// Runs the plan against a started daemon; the peer must be in the daemon's lab.
SoakFigures runSoak(Peer& peer, const Daemon& daemon, const SoakPlan& plan);

// The figures as a few lines of text, for logs and docs/measured.md.
std::string describe(const SoakFigures& figures);

}  // namespace krvd::e2e
