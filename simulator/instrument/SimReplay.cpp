#include "SimReplay.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "Fd.h"
#include "SimFiles.h"
#include "SwUpdateFlash.h"

namespace swsim {

namespace {

// What the replaying process sends back, ahead of the reason (whyLength
// bytes) and the recorded bus (busCount accesses). Parent and child are the
// same program, so the records cross as they are laid out in memory.
struct ReplayReport {
    int32_t up = 0;  // the chip powered up and the images were written
    uint32_t whyLength = 0;
    uint64_t busCount = 0;
    norsim::NorChipStats stats;
};
static_assert(std::is_trivially_copyable<ReplayReport>::value, "sent as bytes");
static_assert(std::is_trivially_copyable<norsim::BusAccess>::value, "sent as bytes");

// The replay proper, in a process of its own: the chip model and the
// updater's flash module keep process-wide state (the chip's content,
// counters and recorder, the module's fault flags, standard output while it
// writes), so each replay owns a process, and with it a chip, from power-up
// to its end. Nothing is shared between replays and none waits for another.
[[noreturn]] void ReplayInChild(const norsim::NorChipConfig& config, const std::vector<ReplayImage>& images,
                                bool recordBus, int out)
{
    ReplayReport report;
    std::string why;
    std::vector<norsim::BusAccess> bus;
    if (norsim::NorChipPowerUp(config, &why) == 0) {
        norsim::NorChipResetStats();
        FlashResetFaultState();
        if (recordBus) norsim::NorChipSetRecorder(&bus);
        {
            const StdoutTo quiet("/dev/null");
            for (const auto& image : images) {
                FlashInit(image.path.empty() ? "/nonexistent" : image.path.c_str(), image.startKiB);
            }
        }
        norsim::NorChipSetRecorder(nullptr);
        report.stats = norsim::NorChipGetStats();
        norsim::NorChipPowerDown();
        report.up = 1;
    }
    report.whyLength = static_cast<uint32_t>(why.size());
    report.busCount = bus.size();
    const bool sent = WriteAll(out, &report, sizeof report) && WriteAll(out, why.data(), why.size()) &&
                      WriteAll(out, bus.data(), bus.size() * sizeof(norsim::BusAccess));
    _exit(sent ? 0 : 1);
}

// Takes the replaying process's report: the record, the reason, the bus
// (appended to *bus, straight into its memory: a sweep's reference records
// millions of accesses). False when it is not whole.
bool ReceiveReport(int fd, std::vector<norsim::BusAccess>* bus, ReplayReport* report, std::string* why)
{
    if (!ReadAll(fd, report, sizeof *report)) return false;
    why->resize(report->whyLength);
    if (!ReadAll(fd, why->data(), why->size())) return false;
    if (report->busCount == 0) return true;
    if (bus == nullptr) return false;
    const size_t at = bus->size();
    bus->resize(at + report->busCount);
    if (!ReadAll(fd, bus->data() + at, report->busCount * sizeof(norsim::BusAccess))) {
        bus->resize(at);
        return false;
    }
    char extra;
    return read(fd, &extra, 1) == 0;
}

// Runs the replay in a child process and takes its report. Returns false
// with the reason when the child could not run, sent no whole report, or
// could not power the chip up.
bool ReplayElsewhere(const norsim::NorChipConfig& config, const std::vector<ReplayImage>& images,
                     std::vector<norsim::BusAccess>* bus, ReplayResult* r)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        r->why = std::string("replay: pipe: ") + std::strerror(errno);
        return false;
    }
    host::Fd in(fds[0]), out(fds[1]);
    const pid_t pid = fork();
    if (pid < 0) {
        r->why = std::string("replay: fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        in.release();
        ReplayInChild(config, images, bus != nullptr, out.get());
    }
    out.reset();
    ReplayReport report;
    std::string why;
    const bool whole = ReceiveReport(in.get(), bus, &report, &why);
    in.reset();  // a child still writing ends on a broken pipe
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        r->why = "replay: the replaying process ended without its whole report (wait status " +
                 std::to_string(status) + ")";
        return false;
    }
    r->why = why;
    if (report.up == 0) return false;
    r->stats = report.stats;
    return true;
}

}  // namespace

ReplayResult ReplayImages(const std::string& flashBefore, const std::string& faultsFile,
                          const std::vector<ReplayImage>& images, const std::string& compareWith,
                          std::vector<norsim::BusAccess>* bus)
{
    ReplayResult r;
    const std::string copy = compareWith + ".replay";
    if (!CopyFileTo(flashBefore, copy, &r.why)) return r;
    norsim::NorChipConfig config;
    config.flashPath = copy;
    config.faultPath = faultsFile;
    if (!ReplayElsewhere(config, images, bus, &r)) {
        RemoveTree(copy);
        return r;
    }
    std::vector<uint8_t> replayed, actual;
    r.matchesFlash = ReadBytes(copy, &replayed) && ReadBytes(compareWith, &actual) && replayed == actual;
    RemoveTree(copy);
    r.done = true;
    return r;
}

BusPlan PlanFromBus(const std::vector<norsim::BusAccess>& bus)
{
    BusPlan plan;
    bool programmed[kSectorCount] = {};
    for (const auto& op : norsim::NorOperationsOf(bus, &plan.writes)) {
        const uint64_t n = op.write;
        const int sector = static_cast<int>(op.address / kSectorSize);
        if (op.kind == norsim::NorWrite::ProgramData && !programmed[sector]) {
            plan.favoured.push_back(n);  // the sector's first word program
            programmed[sector] = true;
        }
        if (op.kind == norsim::NorWrite::UnlockConfirm) {
            plan.favoured.push_back(n);
            continue;
        }
        if (op.kind == norsim::NorWrite::EraseConfirm) plan.favoured.push_back(n);
        if (plan.first[sector] == 0) plan.first[sector] = n;
        plan.last[sector] = n;
    }
    for (int s = 0; s < kSectorCount; ++s) {
        if (plan.last[s] != 0) plan.favoured.push_back(plan.last[s]);
    }
    return plan;
}

}  // namespace swsim
