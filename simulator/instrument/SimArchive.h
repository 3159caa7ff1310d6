// Tar archives as the instrument and the simulator unpack them: their
// members as the host's tar lists them, and whether a member, or a path
// through the links an unpacked archive made, stays inside the directory it
// is unpacked into (the instrument's /tmp for a medium's package, its
// /instrumentData or /log for a service engineer's copy).
#ifndef SWSIM_SIM_ARCHIVE_H
#define SWSIM_SIM_ARCHIVE_H

#include <string>
#include <vector>

namespace swsim {

// One member, from tar's verbose listing.
struct ArchiveMember {
    char type = '-';     // '-' file, 'd' directory, 'l' symbolic link, 'h' hard link, 'c' 'b' 'p' devices
    std::string perms;   // "rwxr-xr-x"
    std::string name;
    std::string target;  // of a link
};

// Lists an archive with the host's tar ("tar --gunzip -tvf" with `gunzip`,
// as the updater reads its packages; else tar finds the compression itself).
// Returns false when tar cannot read it, with its first complaint.
bool ListArchive(const std::string& path, bool gunzip, std::vector<ArchiveMember>* members, std::string* complaint);

// The components of `path` with "." and empty ones left out, and joined again.
std::vector<std::string> PathComponents(const std::string& path);
std::string JoinedPath(const std::vector<std::string>& parts);
// "./a//b/./c" -> "a/b/c"; ".." stays.
std::string NormalName(const std::string& name);
bool HasDotDot(const std::string& name);

// An absolute path below `mountPoint` ("/tmp") as the components below it;
// false for any other path.
bool BelowMount(const std::string& path, const std::string& mountPoint, std::vector<std::string>* below);

// Why a member unpacked into `mountPoint` would create something outside it
// (an absolute name, a ".." component, a device node or FIFO, a symbolic
// link leading out, a hard link to outside); "" when it stays inside.
std::string EscapingMember(const ArchiveMember& m, const std::string& mountPoint);

// The host path of `path` (absolute on the instrument, or relative to
// `mountPoint`) inside `hostDir`, the host directory that stands for
// `mountPoint`, following every symbolic link there as the instrument
// would (an absolute target below `mountPoint` maps into `hostDir`); empty
// when the path or a link on its way leads out of it.
std::string ResolveInside(const std::string& hostDir, const std::string& mountPoint, const std::string& path);

}  // namespace swsim

#endif
