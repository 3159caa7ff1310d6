// The checks of the two scripts the instrument runs before the updater
// unpacks file1 to file3: each is judged from file0's copy (the last of its
// name in file0, with the mode tar gave it), which is the one that runs.
#include <sys/stat.h>
#include <sys/wait.h>

#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

bool ShellAccepts(const std::string& path, std::string* complaint)
{
    std::string output, ignored;
    const int status = RunProgram({"mksh", "-n", path}, &output, &ignored);
    *complaint = FirstLine(output);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ModeText(mode_t mode)
{
    std::string text;
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; --bit) text += (mode >> bit) & 1 ? letters[(8 - bit) % 3] : '-';
    return text;
}

// "FlashRepartition.sh is missing", with the later packages that carry it.
std::string MissingText(const Scan& s, const std::string& name)
{
    std::string later;
    for (int n : s.opened) {
        if (n > 0 && s.packages.at(n).files.count(name)) later += (later.empty() ? "" : ", ") + s.packages.at(n).name;
    }
    return name + " is missing from file0" +
           (later.empty() ? "" : " (" + later + " carries it, unpacked only after the script ran)");
}

}  // namespace

void ReportUnusedCopies(Scan& s, const char* key, const std::string& name, const std::string& uses)
{
    if (!s.InFile0(name.c_str())) return;
    const StartupCopy& used = s.startup.at(name);
    for (int n : s.opened) {
        const Package& p = s.packages.at(n);
        if (n == 0 || !p.files.count(name)) continue;
        std::string differs;
        struct stat st;
        const std::string path = s.ScratchPath(name);
        if (s.OwnerOf(name) == p.name && !path.empty() && stat(path.c_str(), &st) == 0) {
            if (ReadTextOr(path, "") != used.text) {
                differs = ", with other content than file0's";
            } else if ((st.st_mode & 07777) != used.mode) {
                differs = ", with another mode than file0's (" + ModeText(st.st_mode) + ")";
            }
        }
        Report(s, W, key, p.name, name, 0,
               "an unused copy of " + name + " in " + p.name + differs + ": the updater unpacks " + p.name +
                   " after it read file0's",
               uses + "; " + p.name + "'s copy is never used");
    }
}

void CheckRepartitionScript(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    const char* name = "FlashRepartition.sh";
    const std::string refused =
        "the updater refuses the update after the user agreed: the pre-update actions fail, the failure "
        "screen is shown and the instrument reboots unchanged";
    const std::string failure = refused.substr(refused.find("the pre"));
    std::string complaint;
    const StartupCopy& script = s.startup[name];
    if (!script.present) {
        Report(s, E, key, "file0", name, 0, MissingText(s, name), refused);
    } else if ((script.mode & 0111) == 0) {
        Report(s, E, key, "file0", name, 0, "FlashRepartition.sh is not executable (" + ModeText(script.mode) + ")",
               refused);
    } else if (const int cr = FirstCrLine(script.text)) {
        const std::string first = FirstLine(script.text);
        Report(s, E, key, "file0", name, cr, "FlashRepartition.sh has CR LF line ends (the first in line " +
                   std::to_string(cr) + ")",
               cr == 1 && first.compare(0, 2, "#!") == 0
                   ? "the updater runs it by path and the system looks for the interpreter \"" +
                         Shown(first.substr(2)) + "\", which does not exist: " + failure
                   : "the shell takes each CR as part of its line's last word, so the script's commands get wrong "
                     "arguments: when the script ends in failure, " + failure);
    } else if (!ShellAccepts(script.hostPath, &complaint)) {
        Report(s, E, key, "file0", name, 0, "mksh -n rejects FlashRepartition.sh: " + complaint, refused);
    }
    ReportUnusedCopies(s, key, name, "the updater runs file0's FlashRepartition.sh before it unpacks the packages");
}

void CheckBackupScript(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    const char* name = "SwUpdate_backup.sh";
    std::string complaint;
    const StartupCopy& script = s.startup[name];
    if (!script.present) {
        Report(s, E, key, "file0", name, 0, MissingText(s, name),
               "the backup fails: the instrument's data and logs are not saved to the medium before the flash is "
               "written, and the update goes on");
    } else if (const int cr = FirstCrLine(script.text)) {
        Report(s, E, key, "file0", name, cr, "SwUpdate_backup.sh has CR LF line ends (the first in line " +
                   std::to_string(cr) + ")",
               "the updater runs it with the dot command and the shell takes each CR as part of its line's last "
               "word: the backup stops at a syntax error or copies to wrong names, so the instrument's data and logs "
               "are not saved to the medium, and the update goes on");
    } else if (!ShellAccepts(script.hostPath, &complaint)) {
        Report(s, E, key, "file0", name, 0, "mksh -n rejects SwUpdate_backup.sh: " + complaint,
               "the backup stops at the syntax error: the instrument's data and logs are not saved to the medium "
               "before the flash is written, and the update goes on");
    }
    ReportUnusedCopies(s, key, name, "the updater runs file0's SwUpdate_backup.sh before it unpacks the packages");
}

}  // namespace scan
}  // namespace swsim
