#include "krvctl/web/ConsoleFleet.h"

#include <sstream>

#include "krvctl/views/ApplyView.h"
#include "krvctl/views/PlanView.h"

namespace krvctl {

namespace {

// The plan as the command line prints it, so the page shows the very same words.
std::string planText(const Plan& plan) {
    std::ostringstream text;
    printPlan(text, plan);
    return text.str();
}

std::string reportText(const ApplyReport& report) {
    std::ostringstream text;
    printApplyReport(text, report);
    return text.str();
}

}  // namespace

ConsoleFleet::ConsoleFleet(std::function<Discovery()> discover) : discover_(std::move(discover)) {}

Json ConsoleFleet::planAnswer(const Plan& plan) const {
    return {{"id", planId_},
            {"file", plan.file},
            {"text", planText(plan)},
            {"plan", planJson(plan)},
            {"pending", plan.pending()},
            {"blocked", plan.blocks(false)},
            {"onlyRisks", plan.blocks(false) && !plan.blocks(true)},
            {"exit", planStatus(plan)}};
}

ConsoleFleet::Answer ConsoleFleet::open(const std::string& name, const std::string& bytes) {
    PlanFile file = readPlanFile(name, bytes);
    // A file that cannot be read through is shown with its problems; the LAN is not asked.
    const Discovery lan = file.complete ? discover_() : Discovery{};
    if (file.complete && lan.delivery == Delivery::NotSent) {
        return {503, {{"error", "cannot send the query: " + lan.problem}}};
    }
    Plan plan = makePlan(file, lan);
    const std::lock_guard lock(mutex_);
    if (phase_ == "checking" || phase_ == "applying") {
        return {409, {{"error", "an apply is running; open the plan again once it has ended"}}};
    }
    ++planId_;
    Json answer = planAnswer(plan);
    shownChanges_ = answer["plan"]["changes"];
    file_ = std::move(file);
    plan_ = std::move(plan);
    return {200, std::move(answer)};
}

std::optional<ConsoleFleet::Answer> ConsoleFleet::reserveApply(std::uint64_t id, bool force,
                                                               std::size_t parallel) {
    const std::lock_guard lock(mutex_);
    if (phase_ == "checking" || phase_ == "applying") {
        return Answer{409, {{"error", "an apply is running already; wait for it or stop it"}}};
    }
    if (!plan_ || id != planId_) {
        return Answer{409,
                      {{"error", "another plan was opened since; review it and apply that one"}}};
    }
    if (plan_->blocks(force)) {
        return Answer{400, {{"error", "nothing sent: the plan has problems"}}};
    }
    if (parallel < 1 || parallel > 1000) {
        return Answer{400, {{"error", "parallel is 1 to 1000 controllers at once"}}};
    }
    phase_ = "checking";
    force_ = force;
    parallel_ = parallel;
    progress_ = {};
    finished_.clear();
    report_.reset();
    problem_.clear();
    replanned_ = nullptr;
    stopRequested_ = false;
    return std::nullopt;
}

void ConsoleFleet::abandonReservation() {
    const std::lock_guard lock(mutex_);
    phase_ = "idle";
}

void ConsoleFleet::apply(Client& client) {
    PlanFile file;
    {
        const std::lock_guard lock(mutex_);
        file = *file_;
    }
    // As the command line does, the plan is made from the LAN as it is now; what the page showed
    // may be minutes old, and another tool may have changed a controller since.
    Plan plan = makePlan(file, discover_());
    const Json changes = planJson(plan)["changes"];
    {
        const std::lock_guard lock(mutex_);
        if (stopRequested_) {
            phase_ = "stopped";
            problem_ = "stopped before anything was sent";
            stopRequested_ = false;
            return;
        }
        if (changes != shownChanges_ || plan.blocks(force_)) {
            phase_ = "refused";
            problem_ =
                "nothing sent: the LAN no longer matches the plan that was shown; review it again";
            ++planId_;
            replanned_ = planAnswer(plan);
            shownChanges_ = changes;
            plan_ = std::move(plan);
            return;
        }
        phase_ = "applying";
        plan_ = plan;
    }
    ApplyOptions options;
    options.parallel = parallel_;
    options.onProgress = [this](const ApplyProgress& progress) {
        const std::lock_guard lock(mutex_);
        progress_ = progress;
    };
    options.onFinished = [this, &plan](const ControllerReport& controller,
                                       const ApplyProgress& progress) {
        const std::lock_guard lock(mutex_);
        progress_ = progress;
        finished_.push_back(finishedLine(plan.labelColumns, controller));
    };
    ApplyReport report = applyPlan(client, plan, options);
    const std::lock_guard lock(mutex_);
    phase_ = stopRequested_ ? "stopped" : "done";
    if (stopRequested_) {
        problem_ =
            "stopped: controllers already sent to are reported as not checked, the rest "
            "as not sent";
    }
    stopRequested_ = false;
    report_ = std::move(report);
}

void ConsoleFleet::stop() {
    const std::lock_guard lock(mutex_);
    if (phase_ == "checking" || phase_ == "applying") {
        stopRequested_ = true;
    }
}

Json ConsoleFleet::progress() const {
    const std::lock_guard lock(mutex_);
    Json json = {{"phase", phase_},
                 {"planId", planId_},
                 {"total", progress_.total},
                 {"done", progress_.done},
                 {"ok", progress_.ok},
                 {"failed", progress_.failed},
                 {"inFlight", progress_.inFlight},
                 {"line", progressLine(progress_)},
                 {"finished", finished_},
                 {"problem", problem_}};
    if (report_) {
        json["report"] = applyJson(*report_);
        json["reportText"] = reportText(*report_);
        json["exit"] = report_->status;
    }
    if (!replanned_.is_null()) {
        json["plan"] = replanned_;
    }
    return json;
}

std::optional<std::string> ConsoleFleet::reportCsv() const {
    const std::lock_guard lock(mutex_);
    if (!report_) {
        return std::nullopt;
    }
    return applyCsv(*report_);
}

}  // namespace krvctl
