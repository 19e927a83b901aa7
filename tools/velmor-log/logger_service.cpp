// The logger under a service manager: readiness, the status line, the
// watchdog and reopening the output.
#include "velmor-log/logger.h"

#include "protocol/frames.h"

namespace vlog {

namespace {

constexpr std::chrono::seconds ServiceStatusPeriod{1};
// A loaded machine, and a lost port's reconnect attempts once a second.
constexpr std::chrono::seconds StepSlack{2};

} // namespace

void TLogger::StartService()
{
    settingsGiven = options.mode || options.voltageRange || options.currentRange;
    progress.assign(meters.size(), {0, std::chrono::steady_clock::now()});
    try {
        service.OnReopenSignal([this] { Reopen(); });
    } catch (const std::system_error& e) {
        Note(std::string(e.what()) + ": SIGUSR1 does not reopen the output", Priority::Warning);
    }
    service.StartWatchdog([this] { return Polling(); });
    if (service.Notifying()) {
        QObject::connect(&serviceTick, &QTimer::timeout,
                         [this] { service.Status(ServiceStatus()); });
        serviceTick.start(ServiceStatusPeriod);
    }
    CheckReady();
}

void TLogger::CheckReady()
{
    // Not before polling begins (it may wait a moment for the broker).
    if (service.IsReady() || exitStatus || !logging) {
        return;
    }
    // A meter's first line comes after its settings were acknowledged; one
    // that did not acknowledge them ends the run.
    if (settingsGiven) {
        for (const auto& meter : meters) {
            if (meter->Stats().lines == 0) {
                return;
            }
        }
    }
    service.Ready(ServiceStatus());
}

// Every meter's polling goes on: each step comes within the longest a step
// may take (the pause, the quiet time after a missed reply, a reply whose
// bytes each restart the time-out). A meter that does not answer still steps
// on through its time-outs; one whose requests no longer leave, or whose
// step never ends, does not.
bool TLogger::Polling()
{
    const auto now = std::chrono::steady_clock::now();
    const auto patience = options.interval + std::max(options.timeout, options.interval) +
                          (MeasurementReplyLength + 1) * options.timeout + StepSlack;
    bool polling = true;
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (meters[i]->Done() || meters[i]->Gone()) {
            continue;
        }
        const std::uint64_t steps = meters[i]->Progress();
        if (steps != progress[i].steps) {
            progress[i] = {steps, now};
        } else if (now - progress[i].since > patience) {
            polling = false;
        }
    }
    return polling;
}

std::string TLogger::ServiceStatus()
{
    TakeSamples();
    std::string status;
    for (std::size_t i = 0; i < meters.size(); ++i) {
        status += (i == 0 ? "" : "; ") + StatusLine(i);
    }
    return status;
}

void TLogger::Reopen()
{
    if (exitStatus) {
        return;
    }
    if (const std::string error = output.Reopen(); !error.empty()) {
        Note(error + "; the lines go on into the file as it was", Priority::Warning);
    }
}

} // namespace vlog
