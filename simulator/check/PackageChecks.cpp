// The checks of the packages themselves: present, readable, members that
// stay in /tmp, and files two packages hold with different content.
#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

void CheckPackagePresent(Scan& s, const char* key)
{
    if (!s.packages.at(0).present) {
        Report(s, E, key, "file0", "", 0, "file0 is missing",
               "the instrument sees no update medium: the start-up puts no control files into /tmp and no update "
               "is offered");
    }
    for (int i = 1; i <= s.facts->unpacked; ++i) {
        const Package& p = s.packages.at(i);
        if (!p.present) Report(s, E, key, p.name, "", 0, p.name + " is missing", kUnpackingFails);
    }
    // A package the version-zero check blames is not reported twice.
    std::set<std::string> blamed;
    for (const auto& f : s.walk) {
        if (Written(f) && f.hostPath.empty() && s.zeroVersion) blamed.insert(HeldByUnread(s, f.map->partition));
    }
    for (const auto& p : s.packages) {
        if (p.first <= s.facts->unpacked || blamed.count(p.second.name)) continue;
        Report(s, W, key, p.second.name, "", 0,
               p.second.name + " is on the medium, but the updater unpacks only file1" +
                   (s.facts->unpacked == 1 ? std::string(" for a version beginning \"0.\"") : std::string(" to file3")),
               "the instrument never reads " + p.second.name);
    }
}

void CheckPackageFormat(Scan& s, const char* key)
{
    for (int i = 0; i <= s.facts->unpacked; ++i) {
        const Package& p = s.packages.at(i);
        if (!p.present) continue;
        if (!p.readable) {
            Report(s, E, key, p.name, "", 0,
                   p.name + " is not a readable gzip-compressed tar archive (" + p.error + ")",
                   i == 0 ? "the start-up cannot put the control files into /tmp, so the update cannot run"
                          : kUnpackingFails);
        } else if (i > 0 && !p.unpackError.empty()) {
            // The updater counts a failed tar as a failed unpacking.
            Report(s, E, key, p.name, "", 0, "tar --gunzip -xvf " + p.name + " fails in /tmp (" + p.unpackError + ")",
                   kUnpackingFails);
        }
    }
}

void CheckPackageMembers(Scan& s, const char* key)
{
    for (int n : s.opened) {
        const Package& p = s.packages.at(n);
        for (const auto& m : p.members) {
            const std::string unsafe = UnsafeMember(m);
            if (unsafe.empty()) continue;
            Report(s, E, key, p.name, m.name, 0, "member " + Shown(m.name) + " " + unsafe,
                   "the instrument unpacks the package as root, so this member would be created outside /tmp");
        }
    }
}

void CheckPackageDuplicates(Scan& s, const char* key)
{
    for (const auto& d : s.duplicates) {
        // The start-up files are read before the unpacking: the version-file,
        // script and estimate checks judge their later copies.
        if (s.startup.count(d.name)) continue;
        Report(s, E, key, d.later, d.name, 0,
               d.name + " is in " + d.earlier + " and in " + d.later + " with different content",
               "the updater unpacks " + d.later + " after " + d.earlier + ", so the instrument uses " + d.later +
                   "'s " + d.name + " and never " + d.earlier + "'s");
    }
}

}  // namespace scan
}  // namespace swsim
