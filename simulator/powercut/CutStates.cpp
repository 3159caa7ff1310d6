#include "CutStates.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "SimSectors.h"

namespace swsim {

namespace {

constexpr uint32_t kSectorWords = kSectorSize / 2;

// Whether byte `address` of the flash is covered by one of the images.
bool Covered(const std::vector<WrittenImage>& images, uint64_t address)
{
    for (const auto& img : images) {
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        if (address >= start && address < start + img.bytes.size()) return true;
    }
    return false;
}

// The image that writes `sector` next, from the image `*current` on.
std::string ImageOf(const std::vector<WrittenImage>& images, int sector, size_t* current)
{
    for (size_t i = *current; i < images.size(); ++i) {
        if (TouchedSectors({images[i]}).count(sector)) {
            *current = i;
            return images[i].name;
        }
    }
    return "?";
}

void CoverageOf(const std::vector<WrittenImage>& images, SectorWriting* w)
{
    const uint64_t base = static_cast<uint64_t>(w->sector) * kSectorSize;
    bool any = false;
    for (uint32_t off = 0; off < kSectorSize; off += 2) {
        if (!Covered(images, base + off)) continue;
        if (!any) w->imageFrom = off;
        any = true;
        w->imageTo = off + 2;
    }
}

void AddProgram(SectorWriting* w, uint64_t n, uint32_t offset, bool inside)
{
    if (w->firstProgram == 0) w->firstProgram = n;
    w->lastProgram = n;
    if (w->runs.empty() || w->runs.back().inside != inside) {
        SectorWriting::Run r;
        r.first = n;
        r.inside = inside;
        r.fromByte = offset;
        w->runs.push_back(r);
    }
    SectorWriting::Run& r = w->runs.back();
    r.last = n;
    r.fromByte = std::min(r.fromByte, offset);
    r.toByte = std::max(r.toByte, offset + 2);
}

// The part of a sector that an erase of `bytes` bytes reaches.
std::string EraseReach(const SectorWriting& w, int64_t bytes)
{
    if (bytes >= static_cast<int64_t>(kSectorSize)) return "erasing the whole sector";
    if (bytes <= static_cast<int64_t>(w.imageFrom)) return "erasing, the kept part before the image reached";
    if (bytes <= static_cast<int64_t>(w.imageTo)) return "erasing, the image part reached";
    return "erasing, the kept part after the image reached";
}

std::string SectorName(const WritingPlan& plan, int index)
{
    const SectorWriting& w = plan.sectors[static_cast<size_t>(index)];
    return w.image + " sector " + std::to_string(w.sector);
}

}  // namespace

std::string SweepId(const SweepPoint& p)
{
    std::string id = CutId(p.cut);
    if (p.cut.kind == CutPoint::Flash && p.erased >= 0) id += ":" + std::to_string(p.erased);
    return id;
}

bool ParseSweepId(const std::string& id, SweepPoint* out, std::string* why)
{
    SweepPoint p;
    std::string cut = id;
    const size_t second = id.find(':', id.find(':') + 1);
    if (id.compare(0, 6, "flash:") == 0 && second != std::string::npos) {
        const std::string length = id.substr(second + 1);
        const bool digits = !length.empty() && length.size() <= 7 &&
                            length.find_first_not_of("0123456789") == std::string::npos;
        const long bytes = digits ? std::stol(length) : -1;
        if (bytes < 0 || bytes > static_cast<long>(kSectorSize) || bytes % 2 != 0) {
            *why = "power-cut id " + id + ": the erased length must be an even number of bytes up to " +
                   std::to_string(kSectorSize);
            return false;
        }
        p.erased = bytes;
        cut = id.substr(0, second);
    }
    if (!ParseCutId(cut, &p.cut, why)) {
        if (cut != id) *why += " (in " + id + ")";
        return false;
    }
    *out = p;
    return true;
}

WritingPlan PlanWriting(const std::vector<norsim::BusAccess>& bus, const std::vector<WrittenImage>& images)
{
    WritingPlan plan;
    size_t current = 0;
    for (const auto& op : norsim::NorOperationsOf(bus, &plan.writes)) {
        const uint64_t n = op.write;
        const int sector = static_cast<int>(op.address / kSectorSize);
        if (op.kind == norsim::NorWrite::EraseConfirm) {
            if (!plan.sectors.empty()) plan.sectors.back().end = n - 1;
            SectorWriting w;
            w.sector = sector;
            w.erase = n;
            w.image = ImageOf(images, sector, &current);
            CoverageOf(images, &w);
            plan.sectors.push_back(w);
        } else if (op.kind == norsim::NorWrite::ProgramData && !plan.sectors.empty() &&
                   plan.sectors.back().sector == sector) {
            const uint32_t offset = op.address % kSectorSize;
            AddProgram(&plan.sectors.back(), n, offset, Covered(images, op.address));
        }
    }
    if (!plan.sectors.empty()) plan.sectors.back().end = plan.writes;
    return plan;
}

WritePhase PhaseOf(const WritingPlan& plan, uint64_t n)
{
    WritePhase p;
    const auto it = std::upper_bound(plan.sectors.begin(), plan.sectors.end(), n,
                                     [](uint64_t v, const SectorWriting& w) { return v < w.erase; });
    if (it == plan.sectors.begin()) {
        p.phase = "before the writing";
        return p;
    }
    p.index = static_cast<int>(it - plan.sectors.begin()) - 1;
    const SectorWriting& w = *(it - 1);
    if (n == w.erase) p.phase = "erasing";
    else if (w.firstProgram == 0 || n < w.firstProgram) p.phase = n > w.end ? "done" : "erased";
    else if (n <= w.lastProgram) {
        bool inside = w.runs.front().inside;
        for (const auto& r : w.runs) {
            if (r.first <= n) inside = r.inside;
        }
        p.phase = inside ? "programming inside the image" : "programming outside the image";
    } else if (n < w.end) p.phase = "verifying";
    else p.phase = "done";
    return p;
}

namespace {

// Applies the chip operation `op` to `bytes`, which hold the flash from the
// address `base` on: in whole before the cut, in part at it (as the chip's
// cut does it, or with `erased` bytes erased when that is given).
void ApplyOperation(const norsim::NorOperation& op, bool atCut, int64_t erased, uint8_t* bytes, size_t base,
                    size_t size)
{
    const size_t word = static_cast<size_t>(op.address / 2) * 2;
    if (word < base || word + 1 >= base + size) return;
    if (op.kind == norsim::NorWrite::EraseConfirm) {
        const size_t start = (op.address / kSectorSize) * static_cast<size_t>(kSectorSize);
        const size_t length = !atCut ? kSectorSize
                              : erased >= 0 ? static_cast<size_t>(erased)
                                            : 2 * static_cast<size_t>(norsim::NorCutErasedWords(op.write));
        std::fill(bytes + (start - base), bytes + (std::min(start + length, base + size) - base), 0xFF);
    } else if (op.kind == norsim::NorWrite::ProgramData) {
        const uint16_t value = !atCut ? op.value : norsim::NorCutProgramValue(op.write, op.value);
        bytes[word - base] &= static_cast<uint8_t>(value & 0xFF);
        bytes[word + 1 - base] &= static_cast<uint8_t>(value >> 8);
    }
}

// The sector an operation changes on a flash of `size` bytes (-1: none).
int SectorOfOperation(const norsim::NorOperation& op, size_t size)
{
    if (op.kind != norsim::NorWrite::EraseConfirm && op.kind != norsim::NorWrite::ProgramData) return -1;
    if (static_cast<size_t>(op.address / 2) * 2 + 1 >= size) return -1;
    return static_cast<int>(op.address / kSectorSize);
}

const uint8_t* SectorIn(const std::vector<uint8_t>& flash, int sector)
{
    return flash.data() + static_cast<size_t>(sector) * kSectorSize;
}

// Files the sector `sector` holding `bytes` into `state`: nothing when it is
// as before, done when as the update leaves it, else its own bytes.
void FileSector(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done, int sector,
                const uint8_t* bytes, CutFlashState* state)
{
    const SectorContent c = BytesContentOf(SectorIn(before, sector), SectorIn(done, sector), bytes, kSectorSize);
    if (c == SectorContent::New) state->doneSectors.push_back(sector);
    else if (c == SectorContent::Torn) state->ownSectors[sector].assign(bytes, bytes + kSectorSize);
}

}  // namespace

std::vector<CutFlashState> CutFlashStates(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                                          const std::vector<norsim::BusAccess>& bus, const std::vector<FlashCut>& cuts)
{
    std::vector<size_t> order(cuts.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    // A cut at write 0 is one at write 1: the first write is the one cut.
    const auto at = [&](size_t i) { return std::max<uint64_t>(cuts[i].write, 1); };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return at(a) < at(b); });
    std::vector<CutFlashState> states(cuts.size());
    std::vector<uint8_t> flash = before;   // with the bus writes 1..n done in whole
    std::vector<uint8_t> cutSector(kSectorSize);
    std::set<int> written;                  // sectors those writes changed
    const std::vector<norsim::NorOperation> ops = norsim::NorOperationsOf(bus, nullptr);
    size_t next = 0;                        // the first operation not done in whole
    for (size_t i : order) {
        // The operations before the cut, in whole.
        for (; next < ops.size() && ops[next].write < at(i); ++next) {
            ApplyOperation(ops[next], false, -1, flash.data(), 0, flash.size());
            const int s = SectorOfOperation(ops[next], flash.size());
            if (s >= 0) written.insert(s);
        }
        // The operation the cut write starts, in part, on a copy of its
        // sector (a cut write that starts none changes nothing).
        int cutAt = -1;
        if (next < ops.size() && ops[next].write == at(i) && !cuts[i].untouched) {
            cutAt = SectorOfOperation(ops[next], flash.size());
            if (cutAt >= 0) {
                const size_t base = static_cast<size_t>(cutAt) * kSectorSize;
                std::memcpy(cutSector.data(), flash.data() + base, kSectorSize);
                ApplyOperation(ops[next], true, cuts[i].erased, cutSector.data(), base, kSectorSize);
            }
        }
        std::set<int> sectors = written;
        if (cutAt >= 0) sectors.insert(cutAt);
        for (int s : sectors) {
            FileSector(before, done, s, s == cutAt ? cutSector.data() : SectorIn(flash, s), &states[i]);
        }
    }
    return states;
}

void MaterializeCut(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done, const CutFlashState& state,
                    std::vector<uint8_t>* flash, const CutFlashState* holding)
{
    if (holding == nullptr || flash->size() != before.size()) {
        *flash = before;
    } else {
        // Only the sectors of the state `flash` holds differ from before.
        for (int s : holding->doneSectors) std::memcpy(flash->data() + static_cast<size_t>(s) * kSectorSize, SectorIn(before, s), kSectorSize);
        for (const auto& kv : holding->ownSectors) {
            std::memcpy(flash->data() + static_cast<size_t>(kv.first) * kSectorSize, SectorIn(before, kv.first), kSectorSize);
        }
    }
    for (int s : state.doneSectors) std::memcpy(flash->data() + static_cast<size_t>(s) * kSectorSize, SectorIn(done, s), kSectorSize);
    for (const auto& kv : state.ownSectors) {
        std::memcpy(flash->data() + static_cast<size_t>(kv.first) * kSectorSize, kv.second.data(), kSectorSize);
    }
}

std::vector<uint8_t> CutFlash(const std::vector<uint8_t>& before, const std::vector<norsim::BusAccess>& bus,
                              uint64_t cutAt, int64_t erased)
{
    // With `before` as the finished flash too, every sector the cut changed
    // keeps its own bytes.
    const std::vector<CutFlashState> states = CutFlashStates(before, before, bus, {FlashCut{cutAt, erased}});
    std::vector<uint8_t> flash;
    MaterializeCut(before, before, states.front(), &flash, nullptr);
    return flash;
}

std::string FlashClassOf(const WritingPlan& plan, uint64_t n, int64_t erasedBytes)
{
    for (;; --n, erasedBytes = -1) {
        const WritePhase p = PhaseOf(plan, n);
        if (p.index < 0) return p.phase;
        const SectorWriting& w = plan.sectors[static_cast<size_t>(p.index)];
        if (p.phase != "erasing") return SectorName(plan, p.index) + ": " + p.phase;
        const int64_t bytes = erasedBytes >= 0 ? erasedBytes : 2 * static_cast<int64_t>(norsim::NorCutErasedWords(n));
        if (bytes != 0) return SectorName(plan, p.index) + ": " + EraseReach(w, bytes);
        // Nothing erased yet: the state of the write before.
        if (n <= 1) return "before the writing";
    }
}

std::vector<SweepPoint> ExhaustiveFlashPoints(const WritingPlan& plan)
{
    std::vector<SweepPoint> points;
    std::set<std::pair<uint64_t, int64_t>> seen;
    auto add = [&](uint64_t n, int64_t erased) {
        if (n == 0 || n > plan.writes || !seen.insert({n, erased}).second) return;
        SweepPoint p;
        p.cut.write = n;
        p.erased = erased;
        p.cls = FlashClassOf(plan, n, erased);
        points.push_back(p);
    };
    if (!plan.sectors.empty() && plan.sectors.front().erase > 1) add(1, -1);
    for (const auto& w : plan.sectors) {
        // The erase reaching each part of the sector: the whole of the kept
        // part before the image, the whole image part, the first word of the
        // kept part after it, the whole sector.
        if (w.imageFrom > 0) add(w.erase, w.imageFrom);
        if (w.imageTo > w.imageFrom) add(w.erase, w.imageTo);
        if (w.imageTo + 2 < kSectorSize) add(w.erase, w.imageTo + 2);
        add(w.erase, kSectorSize);
        if (w.firstProgram == 0 || w.erase + 1 < w.firstProgram) add(w.erase + 1, -1);
        for (const auto& r : w.runs) {
            add(r.first, -1);
            add(r.last, -1);
        }
        if (w.lastProgram != 0 && w.lastProgram + 1 < w.end) add(w.lastProgram + 1, -1);
        add(w.end, -1);
    }
    return points;
}

std::vector<SweepPoint> PointsInsideClasses(const WritingPlan& plan, const std::vector<SweepPoint>& points,
                                            int count, uint64_t seed)
{
    std::vector<SweepPoint> drawn;
    std::vector<const SweepPoint*> flash;
    for (const auto& p : points) {
        if (p.cut.kind == CutPoint::Flash && !p.cls.empty()) flash.push_back(&p);
    }
    if (flash.empty() || count <= 0) return drawn;
    std::mt19937_64 random(seed * 7919u + 3);
    for (int tries = 0; static_cast<int>(drawn.size()) < count && tries < 100 * count; ++tries) {
        const SweepPoint& rep = *flash[random() % flash.size()];
        const WritePhase phase = PhaseOf(plan, rep.cut.write);
        if (phase.index < 0) continue;
        const SectorWriting& w = plan.sectors[static_cast<size_t>(phase.index)];
        SweepPoint p = rep;
        if (phase.phase == "erasing") {
            // Another erased length reaching the same part of the sector.
            p.erased = 2 * static_cast<int64_t>(1 + random() % kSectorWords);
        } else if (phase.phase == "erased" || phase.phase == "verifying") {
            const bool erased = phase.phase == "erased";
            const uint64_t from = erased ? w.erase + 1 : w.lastProgram + 1;
            const uint64_t to = erased ? (w.firstProgram ? w.firstProgram - 1 : w.end) : w.end - 1;
            if (to < from) continue;
            p.cut.write = from + random() % (to - from + 1);
        } else if (phase.phase == "done" || w.runs.empty()) {
            continue;  // one write only
        } else {
            const auto& run = w.runs[random() % w.runs.size()];
            p.cut.write = run.first + random() % (run.last - run.first + 1);
        }
        // Kept only when it falls in the class it is drawn for.
        if (FlashClassOf(plan, p.cut.write, p.erased) != rep.cls || SweepId(p) == SweepId(rep)) continue;
        drawn.push_back(p);
    }
    return drawn;
}

}  // namespace swsim
