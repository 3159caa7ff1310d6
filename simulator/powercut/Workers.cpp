// The workers' instruments: each point is run on an instrument refreshed
// from the one it starts from, not copied anew, and its flash file gets
// only the sectors that differ from what it holds.
#include "Sweep.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "SimFiles.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

namespace {

// `to` made a copy of the directory `from`, rewriting the files it already
// holds in place and leaving those that hold the same bytes: a worker's
// instrument is refreshed for every point, and reading a file costs far less
// than writing it (rewriting one less than removing it and creating
// another).
bool SyncTree(const std::string& from, const std::string& to, std::string* why)  // NOLINT(misc-no-recursion)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(to, ec) && (fs::remove_all(to, ec), !fs::create_directories(to, ec))) {
        *why = "cannot create " + to + ": " + ec.message();
        return false;
    }
    const std::vector<std::string> names = ListDir(from);
    const std::set<std::string> wanted(names.begin(), names.end());
    for (const auto& name : ListDir(to)) {
        if (!wanted.count(name)) fs::remove_all(to + "/" + name, ec);
    }
    for (const auto& name : names) {
        const std::string f = from + "/" + name, t = to + "/" + name;
        const fs::file_status st = fs::symlink_status(f, ec);
        bool ok = true;
        if (fs::is_directory(st)) {
            ok = SyncTree(f, t, why);
        } else if (fs::is_regular_file(st)) {
            const fs::file_status tst = fs::symlink_status(t, ec);
            if (!fs::is_regular_file(tst)) fs::remove_all(t, ec);
            std::vector<uint8_t> bytes, held;
            const auto mode = static_cast<mode_t>(st.permissions() & fs::perms::mask);
            ok = ReadBytes(f, &bytes);
            // A file the point before left as it was is not written again.
            const bool same = ok && fs::is_regular_file(tst) && tst.permissions() == st.permissions() &&
                              fs::file_size(t, ec) == bytes.size() && ReadBytes(t, &held) && held == bytes;
            ok = ok && (same || (WriteBytes(t, bytes.data(), bytes.size(), mode, why) &&
                                 (fs::permissions(t, st.permissions(), ec), !ec)));
        } else {
            fs::remove_all(t, ec);
            fs::copy(f, t, fs::copy_options::copy_symlinks, ec);
            ok = !ec;
        }
        if (!ok) {
            if (why->empty()) *why = "cannot copy " + f + " to " + t;
            return false;
        }
    }
    return true;
}

}  // namespace

// The worker's instrument made a copy of the instrument `from` (as
// CopyInstrument makes it), reusing what a point before left there; its
// flash is left to the point. Its /tmp is copied only `withTmp`, else left
// empty: every run starts with an empty /tmp, as after a reboot. The records
// a point is judged by are removed: each run writes them anew.
int RefreshInstrument(const std::string& from, Worker* wk, std::string* why, bool withTmp)
{
    const StatePaths f(from), t(wk->root);
    if (!PathExists(t.marker())) {
        wk->flash.clear();
        return CopyInstrument(from, wk->root, why);
    }
    for (const auto& dir : {f.tmp(), f.usbdongle(), f.instrumentData(), f.log(), f.medium()}) {
        const std::string into = t.root + dir.substr(f.root.size());
        if (!IsDirectory(dir) || (dir == f.tmp() && !withTmp)) {
            if (!RemoveTree(into, why) || !MakeDirs(into, why)) return 1;
        } else if (!SyncTree(dir, into, why)) {
            return 1;
        }
    }
    for (const auto& file : {f.boardTools(), f.marker()}) {
        const std::string into = t.root + file.substr(f.root.size());
        if (!PathExists(file)) {
            RemoveTree(into);
        } else if (!CopyFileTo(file, into, why)) {
            return 1;
        }
    }
    RemoveTree(t.trace());
    RemoveTree(t.runRecord());
    return 0;
}

// The worker's flash file made `want`: only the sectors that differ from
// what it holds are written when that is known, else the whole file.
bool PutFlash(Worker* wk, const std::vector<uint8_t>& want, std::string* why)
{
    const std::string path = StatePaths(wk->root).flash();
    if (wk->flash.size() == want.size() && want.size() % kSectorSize == 0) {
        const Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        bool ok = static_cast<bool>(fd);
        for (size_t at = 0; ok && at < want.size(); at += kSectorSize) {
            if (std::memcmp(want.data() + at, wk->flash.data() + at, kSectorSize) == 0) continue;
            ok = pwrite(fd.get(), want.data() + at, kSectorSize, static_cast<off_t>(at)) == static_cast<ssize_t>(kSectorSize);
            if (ok) std::memcpy(wk->flash.data() + at, want.data() + at, kSectorSize);
        }
        if (ok) return true;
    }
    wk->flash.clear();
    if (!WriteBytes(path, want.data(), want.size(), 0644, why)) return false;
    wk->flash.assign(want.begin(), want.end());
    return true;
}

}  // namespace sweep
}  // namespace swsim
