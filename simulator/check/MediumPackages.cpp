// The medium's packages: listed with the host's tar, judged member by
// member, and unpacked into the scratch /tmp as the instrument unpacks them
// (file0 by the start-up, then the updater's packages, each with "tar
// --gunzip -xvf" in /tmp), leaving out only the members that would land
// outside /tmp. Files are read by the updater's paths with every link
// resolved inside the scratch /tmp, never through a link to the host's files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "SimFiles.h"
#include "SimMedium.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

// Lists a package with the host's tar, which reads it as the updater's
// "tar --gunzip -xvf" does.
void ListPackage(Package* p)
{
    p->readable = ListArchive(p->path, true, &p->members, &p->error);
}

// Makes every symbolic link below `tmp` whose target is an absolute path
// inside /tmp point to the same place relative to itself, so that the host
// follows it into the scratch /tmp (as the instrument follows it into its
// /tmp) and never into the host's own /tmp.
void RelativeLinks(const std::string& tmp)
{
    std::vector<std::pair<std::string, int>> dirs = {{tmp, 0}};  // directory, depth below tmp
    while (!dirs.empty()) {
        const auto [dir, depth] = dirs.back();
        dirs.pop_back();
        for (const auto& name : ListDir(dir)) {
            const std::string path = dir + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) dirs.emplace_back(path, depth + 1);
            if (!S_ISLNK(st.st_mode)) continue;
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            std::vector<std::string> below;
            if (n <= 0 || !BelowMount(std::string(target, static_cast<size_t>(n)), "/tmp", &below)) continue;
            std::string relative;
            for (int i = 0; i < depth; ++i) relative += "../";
            relative += below.empty() ? "." : JoinedPath(below);
            // Should the new link fail, the file is missing to the check,
            // which then never reads the host's file either.
            unlink(path.c_str());
            static_cast<void>(symlink(relative.c_str(), path.c_str()));
        }
    }
}

// Unpacks a package into the scratch /tmp with the instrument's command,
// leaving out every member the listing finds unsafe (by its exact name).
bool Unpack(Package& p, const std::string& tmp, std::string* why)
{
    // The instrument unpacks as root, which keeps each member's mode.
    std::vector<std::string> argv = {"tar", "--gunzip", "-xvf", p.path, "-C", tmp, "--preserve-permissions",
                                     "--anchored", "--no-wildcards"};
    for (const auto& m : p.members) {
        if (!UnsafeMember(m).empty()) argv.push_back("--exclude=" + m.name);
    }
    std::string output;
    const int status = RunProgram(argv, &output, why);
    if (status == -1) return false;
    if (status != 0) {
        std::string complaint;
        for (const auto& line : Lines(output)) {
            if (line.compare(0, 5, "tar: ") == 0 && complaint.empty()) complaint = line;
        }
        p.unpackError = complaint.empty() ? "tar failed" : complaint;
    }
    RelativeLinks(tmp);
    return true;
}

// The bytes of a regular file that is not a link; false for anything else.
bool ReadPlainFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ReadBytes(path, bytes);
}

// Unpacks package n into the scratch /tmp, recording which package each
// file comes from and which earlier copies it replaced.
bool Open(Scan& s, int n, std::string* why)
{
    Package& p = s.packages[n];
    std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> replaced;
    for (const auto& m : p.members) {
        if (!UnsafeMember(m).empty() || (m.type != '-' && m.type != 'h')) continue;
        const std::string name = NormalName(m.name);
        std::vector<uint8_t> bytes;
        if (s.owner.count(name) && !replaced.count(name) && ReadPlainFile(s.tmp + "/" + name, &bytes)) {
            replaced[name] = {s.owner[name], bytes};
        }
    }
    for (const auto& m : p.members) {
        if (!UnsafeMember(m).empty() || (m.type != '-' && m.type != 'h' && m.type != 'l')) continue;
        p.files.insert(NormalName(m.name));
        s.owner[NormalName(m.name)] = p.name;
        s.lastMember[NormalName(m.name)] = m;  // the last copy wins
    }
    s.opened.push_back(n);
    if (!Unpack(p, s.tmp, why)) return false;
    for (const auto& r : replaced) {
        std::vector<uint8_t> now;
        if (ReadPlainFile(s.tmp + "/" + r.first, &now) && now == r.second.second) continue;
        const std::vector<uint8_t>& before = r.second.second;
        s.duplicates.push_back({r.first, r.second.first, p.name, Crc32(before.data(), before.size())});
    }
    return true;
}

// Keeps what the start-up and the updater read from file0 before the
// packages are unpacked: the version, the estimate and the two scripts.
void KeepStartupCopies(Scan& s)
{
    const std::string dir = s.workDir + "/startup";
    MakeDirs(dir);
    for (const auto& name : StartupFiles()) {
        StartupCopy copy;
        const std::string path = s.ScratchPath(name);
        struct stat st;
        if (s.haveFile0 && !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ReadText(path, &copy.text)) {
            copy.present = true;
            copy.mode = st.st_mode & 07777;
            copy.hostPath = dir + "/" + name;
            WriteText(copy.hostPath, copy.text, copy.mode);
        }
        s.startup[name] = copy;
    }
}

}  // namespace

std::string UnsafeMember(const Member& m)
{
    return EscapingMember(m, "/tmp");
}

std::string Scan::OwnerOf(const std::string& file) const
{
    const auto it = owner.find(file);
    return it == owner.end() ? "" : it->second;
}

bool Scan::InFile0(const char* name) const
{
    const auto it = startup.find(name);
    return it != startup.end() && it->second.present;
}

std::string Scan::ScratchPath(const std::string& path) const
{
    return ResolveInside(tmp, "/tmp", path);
}

void FindPackages(Scan& s)
{
    for (const auto& name : ListDir(s.facts->medium)) {
        if (name.size() < 5 || name.size() > 10 || name.compare(0, 4, "file") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int n = std::atoi(name.c_str() + 4);
        if (std::to_string(n) != name.substr(4)) continue;  // "file01" is no package
        Package& p = s.packages[n];
        p.name = name;
        p.path = s.facts->medium + "/" + name;
        p.present = IsRegularFile(p.path);
        if (p.present) ListPackage(&p);
    }
}

bool UnpackAll(Scan& s, std::string* why)
{
    MediumFacts* facts = s.facts;
    Package& file0 = s.packages[0];
    file0.name = "file0";
    s.haveFile0 = file0.present && file0.readable;
    if (file0.present) {
        if (!Open(s, 0, why)) return false;
        s.file0Files = file0.files;
    }
    KeepStartupCopies(s);
    ReadControlFiles(s);
    for (int i = 1; i <= facts->unpacked; ++i) {
        Package& p = s.packages[i];
        if (p.name.empty()) {
            p.name = "file" + std::to_string(i);
            p.path = facts->medium + "/" + p.name;
        }
        if (!p.present || !p.readable) facts->unpackable = false;
        if (p.present && !Open(s, i, why)) return false;
        if (!p.unpackError.empty()) facts->unpackable = false;
    }
    return true;
}

}  // namespace scan
}  // namespace swsim
