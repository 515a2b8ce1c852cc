#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/fleet/Apply.h"
#include "krvctl/fleet/Plan.h"
#include "krvctl/fleet/PlanFile.h"
#include "krvctl/lan/Client.h"
#include "krvctl/views/JsonView.h"

namespace krvctl {

// A plan file is a few hundred bytes per controller: room for a thousand and more, while every
// other request keeps the console's usual limit.
inline constexpr std::size_t kPlanUploadBytes = 1024 * 1024;

// Plan and apply in the console, with the command line's plan file reader, plan and apply
// engine. One plan is open at a time, and one apply runs at a time: a second tab that asks is
// refused, and the console's other changes wait behind it on the LAN worker, so nothing is ever
// interleaved on one controller. The LAN work runs on the worker; the state is read from the
// HTTP thread.
class ConsoleFleet {
  public:
    struct Answer {
        int status = 200;
        Json body;
    };

    // discover: a discovery round on the worker, whose records also refresh the console's table.
    explicit ConsoleFleet(std::function<Discovery()> discover);

    // On the worker: the file read, the LAN discovered, the plan made and kept as the open one.
    Answer open(const std::string& name, const std::string& bytes);

    // On the HTTP thread: whether an apply of plan id may start; when it may, it is reserved, and
    // the caller runs apply() on the worker.
    std::optional<Answer> reserveApply(std::uint64_t id, bool force, std::size_t parallel);
    // When the worker took no job after all.
    void abandonReservation();
    // On the worker: the plan made again from a fresh discovery and, if it still asks for what
    // the page showed, applied with live progress.
    void apply(Client& client);
    // Makes the running apply stop sending, as Ctrl-C does on the command line.
    void stop();
    bool stopRequested() const { return stopRequested_; }

    // The apply's state, for the page to draw while it runs and after.
    Json progress() const;
    // The last apply's report as CSV in the plan file's separator; nothing before one ended.
    std::optional<std::string> reportCsv() const;

  private:
    Json planAnswer(const Plan& plan) const;

    std::function<Discovery()> discover_;
    mutable std::mutex mutex_;
    std::optional<PlanFile> file_;
    std::optional<Plan> plan_;
    std::uint64_t planId_ = 0;
    Json shownChanges_;  // what the page was shown of the open plan's changes

    // The apply: "idle", "checking", "applying", "done", "stopped" or "refused".
    std::string phase_ = "idle";
    bool force_ = false;
    std::size_t parallel_ = 8;
    ApplyProgress progress_;
    std::vector<std::string> finished_;
    std::optional<ApplyReport> report_;
    std::string problem_;
    Json replanned_;  // the plan made again when the LAN no longer matched what was shown
    std::atomic<bool> stopRequested_ = false;
};

}  // namespace krvctl
