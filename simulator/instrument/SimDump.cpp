#include "SimDump.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "SimArchive.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimState.h"
#include "SwUpdateUtils.h"

namespace swsim {

namespace {

int Wrong(std::string* why, const std::string& text)
{
    *why = text;
    return kDumpWrong;
}

// The first entry of the tree below `hostDir` (the host directory standing
// for `mountPoint`) that reaches outside it: a symbolic link that leads out,
// its chain of links followed, or a device node, FIFO or socket. "" when
// there is none.
std::string EscapingEntry(const std::string& hostDir, const std::string& mountPoint)
{
    std::vector<std::string> dirs = {""};  // relative to hostDir
    while (!dirs.empty()) {
        const std::string dir = dirs.back();
        dirs.pop_back();
        for (const auto& name : ListDir(hostDir + (dir.empty() ? "" : "/" + dir))) {
            const std::string rel = dir.empty() ? name : dir + "/" + name;
            const std::string path = hostDir + "/" + rel;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) return rel + " cannot be read";
            if (S_ISDIR(st.st_mode)) {
                dirs.push_back(rel);
            } else if (S_ISLNK(st.st_mode)) {
                char target[4096];
                const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
                const std::string t = n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
                if (ResolveInside(hostDir, mountPoint, rel).empty()) {
                    return "the symbolic link " + Shown(rel) + " -> " + Shown(t) + " leads out of " + mountPoint;
                }
            } else if (!S_ISREG(st.st_mode)) {
                return Shown(rel) + " is a device node, FIFO or socket";
            }
        }
    }
    return "";
}

// The first member of an archive that would be unpacked outside
// `mountPoint`: one that escapes by itself, or one whose path goes through
// a symbolic link the archive makes.
std::string EscapingMemberOf(const std::vector<ArchiveMember>& members, const std::string& mountPoint)
{
    std::set<std::string> links;
    for (const auto& m : members) {
        if (m.type == 'l') links.insert(NormalName(m.name));
    }
    for (const auto& m : members) {
        const std::string escape = EscapingMember(m, mountPoint);
        if (!escape.empty()) return "member \"" + Shown(m.name) + "\" " + escape;
        const std::vector<std::string> parts = PathComponents(m.name);
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string through = JoinedPath({parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i)});
            if (links.count(through)) {
                return "member \"" + Shown(m.name) + "\" goes through the symbolic link " + Shown(through);
            }
        }
    }
    return "";
}

int RunQuiet(const std::vector<std::string>& argv, std::string* complaint)
{
    std::string output, why;
    const int status = RunProgram(argv, &output, &why);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    const auto lines = Lines(output);
    *complaint = !lines.empty() ? lines.front() : status == -1 ? why : argv[0] + " failed";
    return 1;
}

// Puts the copy `source` of the instrument's `mountPoint` (a directory, or a
// tar archive holding the directory's content or the directory itself) into
// the new directory `into`, checked first: nothing in it may reach outside.
int Import(const std::string& what, const std::string& source, const std::string& into, const std::string& mountPoint,
           std::string* why)
{
    const std::string named = what + " " + source;
    std::string complaint;
    if (!MakeDirs(into, why)) return kDumpNotMade;
    if (IsDirectory(source)) {
        const std::string escape = EscapingEntry(AbsolutePath(source), mountPoint);
        if (!escape.empty()) return Wrong(why, named + ": " + escape);
        if (RunQuiet({"cp", "-R", "-P", "--preserve=mode,timestamps", "--", source + "/.", into}, &complaint) != 0) {
            return Wrong(why, named + " cannot be copied: " + complaint);
        }
    } else if (IsRegularFile(source)) {
        std::vector<ArchiveMember> members;
        if (!ListArchive(source, false, &members, &complaint)) {
            return Wrong(why, named + " is not a readable tar archive (" + complaint + ")");
        }
        const std::string escape = EscapingMemberOf(members, mountPoint);
        if (!escape.empty()) return Wrong(why, named + ": " + escape);
        if (RunQuiet({"tar", "-xf", source, "-C", into, "--no-same-owner"}, &complaint) != 0) {
            return Wrong(why, named + " cannot be unpacked (" + complaint + ")");
        }
    } else {
        return Wrong(why, named + " is neither a directory nor a tar archive");
    }
    // An archive of the directory itself ("instrumentData/..."): its content.
    const std::string top = PathComponents(mountPoint).back();
    const auto names = ListDir(into);
    struct stat st;
    if (names.size() == 1 && names[0] == top && lstat((into + "/" + top).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        const std::string aside = into + ".top";
        if (std::rename(into.c_str(), aside.c_str()) != 0 ||
            std::rename((aside + "/" + top).c_str(), into.c_str()) != 0 || !RemoveTree(aside, why)) {
            return Wrong(why, named + ": cannot take the content of its directory " + top);
        }
    }
    const std::string escape = EscapingEntry(into, mountPoint);
    if (!escape.empty()) return Wrong(why, named + ": " + escape);
    return 0;
}

// The first line of a version file, without the blanks around it; empty
// when it is missing, no regular file or says nothing.
std::string VersionIn(const std::string& path)
{
    struct stat st;
    std::string text;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadText(path, &text)) return "";
    const size_t end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    const size_t b = text.find_first_not_of(" \t\r");
    return b == std::string::npos ? "" : text.substr(b, text.find_last_not_of(" \t\r") - b + 1);
}

// The market Market.ini gives: "" without one (internal), "Internal" where
// the updater's rule finds it internal, else the text after "Market=" (or a
// note that there is none: the updater counts it as a market instrument).
std::string MarketOf(const std::string& dataDir)
{
    std::string text;
    if (!ReadText(dataDir + "/Inifiles/Market.ini", &text)) return "";
    if (IsMarketTextInternal(text.c_str()) == 1) return "Internal";
    const size_t at = text.find("Market=");
    const std::string value = at == std::string::npos ? "" : text.substr(at + 7, text.find('\n', at) - at - 7);
    return value.empty() || value == "\r" ? "(no market named)" : value.substr(0, value.find('\r'));
}

// The instrument checked and made in `work`.
int MakeIn(const std::string& work, const DumpOptions& o, DumpMade* made, std::string* why)
{
    const StatePaths s(work);
    const off_t size = FileSizeOf(o.flash);
    if (!IsRegularFile(o.flash) || size < 0) return Wrong(why, "the flash image " + o.flash + " cannot be read");
    if (static_cast<uint64_t>(size) != kFlashSize) {
        return Wrong(why, "the flash image " + o.flash + " is " + std::to_string(size) +
                              " bytes, not the flash's 16 MiB (" + std::to_string(kFlashSize) + " bytes)");
    }
    if (!CopyFileTo(o.flash, s.flash(), why)) return Wrong(why, "the flash image " + o.flash + ": " + *why);
    int rc = Import("the copy of /instrumentData", o.data, s.instrumentData(), "/instrumentData", why);
    if (rc != 0) return rc;
    made->installed = VersionIn(s.instrumentData() + "/swVersion/swVersion");
    if (made->installed.empty()) {
        return Wrong(why, "the copy of /instrumentData " + o.data +
                              " has no swVersion/swVersion (the installed version)");
    }
    if (!o.logs.empty()) {
        rc = Import("the copy of /log", o.logs, s.log(), "/log", why);
        if (rc != 0) return rc;
        made->running = VersionIn(s.log() + "/swVersion/swVersion");
        if (made->running.empty()) {
            return Wrong(why, "the copy of /log " + o.logs + " has no swVersion/swVersion (the running version)");
        }
    } else {
        made->running = made->installed;
        if (!MakeDirs(s.log() + "/swVersion", why) ||
            !WriteText(s.log() + "/swVersion/swVersion", made->running + "\n", 0644, why)) {
            return kDumpNotMade;
        }
    }
    made->market = MarketOf(s.instrumentData());
    for (const auto& d : {s.sim(), s.tmp(), s.usbdongle(), s.medium()}) {
        if (!MakeDirs(d, why)) return kDumpNotMade;
    }
    std::string marker = "version=" + made->running + "\ninstalled=" + made->installed + "\nmarket=" + made->market +
                         "\nfrom-dump=" + AbsolutePath(o.flash) + "\ndata=" + AbsolutePath(o.data) +
                         "\nlogs=" + (o.logs.empty() ? "" : AbsolutePath(o.logs)) + "\n";
    if (o.mounted) marker += FactoryMountsLine();
    if (!WriteText(s.boardTools(), "", 0644, why) || !WriteText(s.marker(), marker, 0644, why)) return kDumpNotMade;
    return 0;
}

// Moves the instrument made in `work` to `dir`, replacing what `dir` held.
bool MoveIntoPlace(const std::string& work, const std::string& dir, std::string* why)
{
    const std::string aside = DirOf(dir) + "/." + PathComponents(dir).back() + ".old-" + std::to_string(getpid());
    const bool had = IsDirectory(dir);
    if (had && ListDir(dir).empty()) {
        if (rmdir(dir.c_str()) != 0) {
            *why = "cannot replace " + dir;
            return false;
        }
    } else if (had && std::rename(dir.c_str(), aside.c_str()) != 0) {
        *why = "cannot set " + dir + " aside";
        return false;
    }
    if (std::rename(work.c_str(), dir.c_str()) != 0) {
        if (had) std::rename(aside.c_str(), dir.c_str());
        *why = "cannot move the new instrument to " + dir;
        return false;
    }
    RemoveTree(aside);
    return true;
}

}  // namespace

int CreateFromDump(const std::string& dir, const DumpOptions& o, DumpMade* made, std::string* why)
{
    if (!SafeStateDir(dir, why) || !MayReplace(dir, o.force, why)) return kDumpNotMade;
    const std::string target = AbsolutePath(dir);
    // The parent made for it is removed again when nothing is made.
    std::string firstMade;
    for (std::string d = DirOf(target); !PathExists(d) && d != "/"; d = DirOf(d)) firstMade = d;
    const std::string work =
        DirOf(target) + "/." + PathComponents(target).back() + ".new-" + std::to_string(getpid());
    RemoveTree(work);
    int rc = MakeDirs(work, why) ? MakeIn(work, o, made, why) : kDumpNotMade;
    if (rc == 0 && !MoveIntoPlace(work, target, why)) rc = kDumpNotMade;
    if (rc != 0) {
        RemoveTree(work);
        if (!firstMade.empty()) RemoveTree(firstMade);
    }
    return rc;
}

}  // namespace swsim
