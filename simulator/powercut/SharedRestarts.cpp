// One restart standing for several flash cut states. The update writes each
// sector of an image by reading the whole sector, laying the image's bytes
// over what it read, erasing the sector and programming it back: what a cut
// left in an image's bytes is read and thrown away, what it left in the
// sector's other bytes is written back. Cuts that leave the same files and
// differ only in image bytes therefore lead to the same restart.
//
// That is not taken on trust: the first run of the restart that stands for
// others records how the chip first reached every word (the chip model's
// first-touch map), and a cut state takes that restart only where every word
// in which it differs lies in an image's bytes, was erased by the restart and
// was not programmed before it was (a word the restart never erased, or
// programmed over, keeps something of what the cut left). The restart must
// also have finished the update at once with every image in place, and
// nothing but the chips of the run may have opened the flash file (a program
// reading the file itself escapes the map); else each state runs its own.
#include "Sweep.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "Fd.h"
#include "NorChip.h"
#include "TraceFacts.h"

namespace swsim {
namespace sweep {

namespace {

constexpr uint32_t kSectorWords = kSectorSize / 2;

// The bytes a cut state leaves in `sector`.
const uint8_t* SectorBytes(const Reference& ref, const CutFlashState& s, int sector)
{
    const auto own = s.ownSectors.find(sector);
    if (own != s.ownSectors.end()) return own->second.data();
    const bool done = std::binary_search(s.doneSectors.begin(), s.doneSectors.end(), sector);
    return (done ? ref.done : ref.before).data() + static_cast<size_t>(sector) * kSectorSize;
}

// The sectors a cut state leaves otherwise than before the update.
std::set<int> SectorsOf(const CutFlashState& s)
{
    std::set<int> sectors(s.doneSectors.begin(), s.doneSectors.end());
    for (const auto& kv : s.ownSectors) sectors.insert(kv.first);
    return sectors;
}

// A hash of the bytes of `sector` (`bytes`) outside the images, or 0 when
// they are as before the update.
size_t KeptHash(const Reference& ref, const ImageWords& iw, int sector, const uint8_t* bytes)
{
    const uint8_t* before = ref.before.data() + static_cast<size_t>(sector) * kSectorSize;
    const size_t first = static_cast<size_t>(sector) * kSectorWords;
    std::vector<uint8_t> kept(bytes, bytes + kSectorSize);
    bool asBefore = true;
    for (size_t w = 0; w < kSectorWords; ++w) {
        if (iw.in[first + w]) {
            kept[2 * w] = kept[2 * w + 1] = 0xFF;
        } else {
            asBefore = asBefore && bytes[2 * w] == before[2 * w] && bytes[2 * w + 1] == before[2 * w + 1];
        }
    }
    if (asBefore) return 0;
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(kept.data()), kept.size())) |
           1;
}

}  // namespace

ImageWords ImageWordsOf(const Reference& ref)
{
    ImageWords iw;
    iw.in.assign(kFlashSize / 2, false);
    for (const auto& img : ref.images) {
        // Words of which both bytes are the image's.
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        const uint64_t end = std::min<uint64_t>(start + img.bytes.size(), kFlashSize);
        for (uint64_t w = (start + 1) / 2; 2 * w + 2 <= end; ++w) iw.in[w] = true;
    }
    for (int sector = 0; sector < static_cast<int>(kSectorCount); ++sector) {
        const size_t at = static_cast<size_t>(sector) * kSectorSize;
        if (std::memcmp(ref.before.data() + at, ref.done.data() + at, kSectorSize) == 0) continue;
        iw.doneKept[sector] = KeptHash(ref, iw, sector, ref.done.data() + at);
    }
    return iw;
}

size_t KeptBytesKey(const Reference& ref, const ImageWords& iw, const CutFlashState& s)
{
    size_t h = 0;
    const auto mix = [&h](int sector, size_t kept) {
        if (kept == 0) return;
        h ^= kept + static_cast<size_t>(sector) * 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    };
    for (int sector : s.doneSectors) {
        const auto it = iw.doneKept.find(sector);
        mix(sector, it == iw.doneKept.end() ? 0 : it->second);
    }
    for (const auto& kv : s.ownSectors) mix(kv.first, KeptHash(ref, iw, kv.first, kv.second.data()));
    return h;
}

host::Fd WatchFlashFile(const std::string& path)
{
    // The closes keep one process's open from merging with the next one's
    // (the kernel merges like events in a row that are not read yet).
    host::Fd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (fd && inotify_add_watch(fd.get(), path.c_str(), IN_OPEN | IN_CLOSE | IN_ACCESS | IN_MODIFY) < 0) fd.reset();
    return fd;
}

int64_t FlashFileOpens(int watch)
{
    int64_t opens = 0;
    bool byDescriptor = false;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(watch, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN && !byDescriptor ? opens : -1;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
            if ((e->mask & IN_Q_OVERFLOW) != 0) return -1;
            if ((e->mask & IN_OPEN) != 0) ++opens;
            byDescriptor = byDescriptor || (e->mask & (IN_ACCESS | IN_MODIFY)) != 0;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        }
    }
}

bool ReadRestartTouch(const ImageWords& iw, const std::string& path, int64_t flashOpens, RestartTouch* t)
{
    *t = RestartTouch();
    host::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || st.st_size != static_cast<off_t>(norsim::kTouchMapSize)) return false;
    void* m = mmap(nullptr, norsim::kTouchMapSize, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (m == MAP_FAILED) return false;
    uint64_t chips = 0;
    std::memcpy(&chips, m, sizeof chips);
    if (flashOpens < 0 || chips != static_cast<uint64_t>(flashOpens)) {
        munmap(m, norsim::kTouchMapSize);
        return false;
    }
    const uint8_t* touch = static_cast<const uint8_t*>(m) + norsim::kTouchHeaderSize;
    for (int sector = 0; sector < static_cast<int>(kSectorCount); ++sector) {
        const uint8_t* first = touch + static_cast<size_t>(sector) * kSectorWords;
        if (std::all_of(first, first + kSectorWords, [](uint8_t v) { return v == 0; })) continue;  // untouched
        std::vector<bool> may(kSectorWords);
        size_t count = 0;
        for (uint32_t w = 0; w < kSectorWords; ++w) {
            const uint8_t v = first[w];
            const bool erased = (v & norsim::kTouchErased) != 0;
            const bool programmedFirst = (v & norsim::kTouchFirst) == static_cast<uint8_t>(norsim::NorTouch::Program);
            may[w] = erased && !programmedFirst && iw.in[static_cast<size_t>(sector) * kSectorWords + w];
            count += may[w] ? 1 : 0;
        }
        if (count == kSectorWords) t->wholeSectors.insert(sector);
        else if (count > 0) t->someWords[sector] = std::move(may);
    }
    munmap(m, norsim::kTouchMapSize);
    t->read = true;
    return true;
}

bool RestartStandsFor(const Reference& ref, const RestartTouch& t, const CutFlashState& took,
                      const CutFlashState& other)
{
    if (!t.read) return false;
    std::set<int> sectors = SectorsOf(took);
    for (int s : SectorsOf(other)) sectors.insert(s);
    for (int sector : sectors) {
        if (t.wholeSectors.count(sector)) continue;
        const uint8_t* a = SectorBytes(ref, took, sector);
        const uint8_t* b = SectorBytes(ref, other, sector);
        if (std::memcmp(a, b, kSectorSize) == 0) continue;
        const auto some = t.someWords.find(sector);
        for (size_t w = 0; w < kSectorWords; ++w) {
            if (a[2 * w] == b[2 * w] && a[2 * w + 1] == b[2 * w + 1]) continue;
            if (some == t.someWords.end() || !some->second[w]) return false;
        }
    }
    return true;
}

bool RestartMayStand(const PointResult& r)
{
    const bool sound = r.cls == PointClass::Recovered || r.cls == PointClass::BytesLost ||
                       r.cls == PointClass::LogHistoryLost || r.cls == PointClass::LogsDiffer;
    return sound && r.restarts == 1 && r.lastOutcome == OutcomeKey(Outcome::Done);
}

}  // namespace sweep
}  // namespace swsim
