// swsim check: every static check against a sample medium given one defect,
// the fleet runs against media the instruments must install or refuse, and
// the JSON and JUnit outputs read back by real parsers.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "BusyCores.h"
#include "MediumCheck.h"
#include "RootTest.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimMedium.h"

using namespace swsim;

namespace {

int RunSwsim(const std::vector<std::string>& args, std::string* output)
{
    std::vector<std::string> argv = {SWSIM_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    const int status = RunProgram(argv, output, &why);
    if (status == -1) {
        *output += why;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same with standard output and standard error apart.
int RunSwsimApart(const std::vector<std::string>& args, const std::string& scratch, std::string* out, std::string* err)
{
    const std::string errFile = scratch + "/stderr.txt";
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", errFile, SWSIM_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    const int status = RunProgram(argv, out, &why);
    *err = ReadTextOr(errFile, "") + why;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A medium built from the sample update, in a scratch directory of its own.
struct Medium {
    ScratchDir scratch;
    std::string src = scratch.path() + "/src";
    std::string medium = scratch.path() + "/medium";
    std::string json = scratch.path() + "/check.json";
    std::string junit = scratch.path() + "/check.xml";
    std::string sarif = scratch.path() + "/check.sarif";
    std::string output;

    void Sample(const std::string& version) const
    {
        SampleOptions o;
        o.version = version;
        std::string why;
        ASSERT_EQ(WriteSampleUpdate(src, o, &why), 0) << why;
    }
    void Build() const
    {
        std::vector<std::string> lines;
        std::string why;
        ASSERT_EQ(BuildMedium(src, medium, &lines, &why), 0) << why;
    }
    // Packages made of the named source files, e.g. {"file0", {"swVersion", ...}}.
    void BuildSplit(const std::vector<std::pair<std::string, std::vector<std::string>>>& packages) const
    {
        const std::string split = scratch.path() + "/split";
        for (const auto& p : packages) {
            ASSERT_TRUE(MakeDirs(split + "/" + p.first));
            for (const auto& f : p.second) ASSERT_TRUE(CopyFileTo(src + "/" + f, split + "/" + p.first + "/" + f));
        }
        std::vector<std::string> lines;
        std::string why;
        ASSERT_EQ(BuildMedium(split, medium, &lines, &why), 0) << why;
    }
    void EditMap(const std::string& from, const std::string& to) const
    {
        std::string map = ReadTextOr(src + "/flashMap", "");
        const size_t at = map.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        map.replace(at, from.size(), to);
        ASSERT_TRUE(WriteText(src + "/flashMap", map));
    }
    // Takes `image` and its CRC file from the source of `from`.
    void TakeImage(const Medium& from, const std::string& image) const
    {
        for (const std::string& f : {image, CrcFileName(image)}) {
            ASSERT_TRUE(CopyFileTo(from.src + "/" + f, src + "/" + f)) << f;
        }
    }
    // Replaces the flash map line that begins with `image` by `line`.
    void EditMapLine(const std::string& image, const std::string& line) const
    {
        std::string map = ReadTextOr(src + "/flashMap", "");
        const size_t at = map.find("\n" + image + " ");
        ASSERT_NE(at, std::string::npos) << image;
        map.replace(at + 1, map.find('\n', at + 1) - at - 1, line);
        ASSERT_TRUE(WriteText(src + "/flashMap", map));
    }
    // Replaces file3 (configPart.bin and fontsPart.bin) with one that also
    // holds `extra` (tar keeps absolute and ".." names with -P).
    void RebuildFile3(const std::string& extra) const
    {
        std::string out, why;
        const int status = RunProgram({"tar", "-czPf", medium + "/file3", "-C", src, "configPart.bin", "fontsPart.bin",
                                       extra},
                                      &out, &why);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
    }
    // Checks the medium; its output (both streams) in `output`, or with
    // `stdoutApart` its standard error there and its standard output in
    // `stdoutText`.
    int Check(const std::vector<std::string>& options, bool stdoutApart = false)
    {
        std::vector<std::string> args = {"check", medium, "--json", json, "--junit", junit, "--sarif", sarif,
                                         "--work", scratch.path() + "/work"};
        args.insert(args.end(), options.begin(), options.end());
        output.clear();
        stdoutText.clear();
        return stdoutApart ? RunSwsimApart(args, scratch.path(), &stdoutText, &output) : RunSwsim(args, &output);
    }
    std::string stdoutText;
    nlohmann::json Result() const { return Parsed(json); }
    nlohmann::json Sarif() const { return Parsed(sarif); }
    static nlohmann::json Parsed(const std::string& path)
    {
        try {
            return nlohmann::json::parse(ReadTextOr(path, ""));
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << path << " unreadable: " << e.what();
            return nlohmann::json::object();
        }
    }
};

// The SARIF log holds the JSON's findings, in its order: each a result of
// its check's rule, at its level, with what is wrong and what the
// instrument does, and where (the member as the artifact, its package as
// the artifact's parent, the line as the region; the instrument as a
// logical location). Every check is a rule described with the README's
// table of checks.
void ExpectSarifMatchesJson(const nlohmann::json& result, const nlohmann::json& sarif)
{
    ASSERT_EQ(sarif.value("version", ""), "2.1.0");
    ASSERT_EQ(sarif["runs"].size(), 1u);
    const auto& run = sarif["runs"][0];
    std::map<std::string, nlohmann::json> rules;
    for (const auto& r : run["tool"]["driver"]["rules"]) {
        EXPECT_TRUE(rules.emplace(r["id"].get<std::string>(), r).second) << "rule given twice: " << r["id"];
        EXPECT_FALSE(r.value("fullDescription", nlohmann::json::object()).value("text", "").empty())
            << r["id"] << " has no row in the table of checks";
    }
    for (const auto& c : AllChecks()) EXPECT_EQ(rules.count(c.key), 1u) << c.key;
    const auto& findings = result["findings"];
    ASSERT_EQ(run["results"].size(), findings.size()) << run["results"].dump(1);
    for (size_t i = 0; i < findings.size(); ++i) {
        const auto& f = findings[i];
        const auto& r = run["results"][i];
        EXPECT_EQ(r["ruleId"], f["check"]);
        EXPECT_EQ(rules.count(r["ruleId"].get<std::string>()), 1u) << r["ruleId"];
        EXPECT_EQ(r["level"], f["severity"]);
        const std::string message = r["message"]["text"];
        EXPECT_NE(message.find(f["what"].get<std::string>()), std::string::npos) << message;
        EXPECT_NE(message.find(f["effect"].get<std::string>()), std::string::npos) << message;
        ASSERT_EQ(r["locations"].size(), 1u) << r.dump(1);
        const auto& where = r["locations"][0];
        const std::string package = f["package"], file = f["file"], instrument = f["instrument"];
        if (!package.empty() && !file.empty() && file[0] != '/' && file.find("..") == std::string::npos) {
            const auto& artifact = run["artifacts"][where["physicalLocation"]["artifactLocation"]["index"].get<size_t>()];
            EXPECT_EQ(artifact["location"]["uri"], file) << r.dump(1);
            EXPECT_EQ(run["artifacts"][artifact["parentIndex"].get<size_t>()]["location"]["uri"], package);
            const int line = f["line"];
            if (line > 0) {
                EXPECT_EQ(where["physicalLocation"]["region"]["startLine"], line) << r.dump(1);
            } else {
                EXPECT_FALSE(where["physicalLocation"].contains("region")) << r.dump(1);
            }
        } else if (!package.empty()) {
            EXPECT_EQ(where["physicalLocation"]["artifactLocation"]["uri"], package) << r.dump(1);
        }
        if (!instrument.empty()) {
            EXPECT_EQ(where["logicalLocations"][0]["name"], instrument) << r.dump(1);
        }
    }
    EXPECT_EQ(run["properties"]["ship"], result["ship"]);
    EXPECT_EQ(run["invocations"][0]["executionSuccessful"], result["couldNotCheck"].is_null());
}

std::multiset<std::string> ChecksOf(const nlohmann::json& result)
{
    std::multiset<std::string> checks;
    for (const auto& f : result["findings"]) checks.insert(f["check"].get<std::string>());
    return checks;
}

// The JUnit file through Python's XML parser: test cases, failed and
// skipped names, and each failed case's message.
struct Junit {
    int cases = -1;
    std::string failed, skipped, failuresAttribute;
    std::map<std::string, std::string> messages;  // failed case -> its failure's message
    std::map<std::string, double> times;          // case -> its time
};

Junit ReadJunit(const std::string& path)
{
    const char* script =
        "import sys, json, xml.etree.ElementTree as ET\n"
        "root = ET.parse(sys.argv[1]).getroot()\n"
        "cases = root.findall('.//testcase')\n"
        "failed = [c for c in cases if c.find('failure') is not None]\n"
        "print(json.dumps({'cases': len(cases),\n"
        "  'failed': '|'.join(c.get('name') for c in failed),\n"
        "  'skipped': '|'.join(c.get('name') for c in cases if c.find('skipped') is not None),\n"
        "  'failures': root.get('failures'),\n"
        "  'messages': {c.get('name'): c.find('failure').get('message') for c in failed},\n"
        "  'times': {c.get('name'): float(c.get('time')) for c in cases}}))\n";
    const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::string out, why;
    const int status = RunProgram({python, "-c", script, path}, &out, &why);
    Junit j;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not well-formed XML: " << out << why;
    try {
        const auto x = nlohmann::json::parse(out);
        j.cases = x["cases"].get<int>();
        j.failed = x["failed"].get<std::string>();
        j.skipped = x["skipped"].get<std::string>();
        j.failuresAttribute = x["failures"].get<std::string>();
        j.messages = x["messages"].get<std::map<std::string, std::string>>();
        j.times = x["times"].get<std::map<std::string, double>>();
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << e.what() << ": " << out;
    }
    return j;
}

// ---------------------------------------------------------------------------
// One defect per medium, static checks only.

struct Defect {
    const char* name;
    const char* version;
    void (*alter)(const Medium&);  // after the sample is written; builds the medium
    std::set<std::string> checks;  // every check that must report, and no other
    int status;
    int line;                    // line of the first check's finding in its file; 0: none
    const char* says = nullptr;  // text the first check's finding must hold (what or effect)
    const char* blame = nullptr; // "CHECK PACKAGE FILE" of a finding that must be there
};

std::ostream& operator<<(std::ostream& os, const Defect& d)
{
    return os << d.name;
}

void Plain(const Medium& m) { m.Build(); }
void NoFile0(const Medium& m) { m.Build(); swsim::RemoveTree(m.medium + "/file0"); }
void NoFile2(const Medium& m) { m.Build(); swsim::RemoveTree(m.medium + "/file2"); }
void File1NotGzip(const Medium& m)
{
    m.Build();
    std::string out, why;
    RunProgram({"tar", "-cf", m.medium + "/file1", "-C", m.src, "flashMap", "appPart.bin"}, &out, &why);
}
void MemberWithDotDot(const Medium& m)
{
    m.Build();
    WriteText(m.scratch.path() + "/escape.txt", "out\n");
    m.RebuildFile3("../escape.txt");
}
void AbsoluteMember(const Medium& m)
{
    m.Build();
    WriteText(m.scratch.path() + "/abs.txt", "out\n");
    m.RebuildFile3(m.scratch.path() + "/abs.txt");
}
void LinkOutOfTmp(const Medium& m)
{
    m.Build();
    ASSERT_EQ(symlink("../../etc/passwd", (m.src + "/evil").c_str()), 0);
    m.RebuildFile3("evil");
}
void LinkInsideTmp(const Medium& m)
{
    m.Build();
    ASSERT_EQ(symlink("ifsPart.bin", (m.src + "/alias").c_str()), 0);
    m.RebuildFile3("alias");
}
void ExtraPackage(const Medium& m)
{
    m.Build();
    ASSERT_TRUE(CopyFileTo(m.medium + "/file3", m.medium + "/file4"));
}
void NoVersion(const Medium& m) { swsim::RemoveTree(m.src + "/swVersion"); m.Build(); }
void WordVersion(const Medium& m) { WriteText(m.src + "/swVersion", "beta\n"); m.Build(); }
void VersionReplacedByFile1(const Medium& m)
{
    m.Build();
    WriteText(m.scratch.path() + "/swVersion", "2.5\n");
    std::string out, why;
    RunProgram({"tar", "-czf", m.medium + "/file1", "-C", m.src, "flashMap", "appPart.bin", "appPart.crc",
                "configPart.crc", "fontsPart.crc", "ifsPart.crc", "-C", m.scratch.path(), "swVersion"},
               &out, &why);
}
void NoRepartition(const Medium& m) { swsim::RemoveTree(m.src + "/FlashRepartition.sh"); m.Build(); }
void RepartitionNotExecutable(const Medium& m) { chmod((m.src + "/FlashRepartition.sh").c_str(), 0644); m.Build(); }
void RepartitionSyntax(const Medium& m)
{
    WriteText(m.src + "/FlashRepartition.sh", "#!/bin/sh\nif then\n", 0755);
    m.Build();
}
void NoBackup(const Medium& m) { swsim::RemoveTree(m.src + "/SwUpdate_backup.sh"); m.Build(); }
void BackupSyntax(const Medium& m)
{
    WriteText(m.src + "/SwUpdate_backup.sh", "for dir in $1; do\n  cp -R \"$dir\" /usbdongle/\n", 0644);
    m.Build();
}
void EstimateWords(const Medium& m) { WriteText(m.src + "/estUpdateTime", "about a minute\n"); m.Build(); }
void NoEstimate(const Medium& m) { swsim::RemoveTree(m.src + "/estUpdateTime"); m.Build(); }
void ZeroVersionImageInFile2(const Medium& m)
{
    m.BuildSplit({{"file0", {"swVersion", "estUpdateTime", "SwUpdate_backup.sh", "FlashRepartition.sh"}},
                  {"file1", {"flashMap", "ifsPart.bin", "appPart.bin", "configPart.bin", "ifsPart.crc", "appPart.crc",
                             "configPart.crc", "fontsPart.crc"}},
                  {"file2", {"fontsPart.bin"}}});
}
void NoMap(const Medium& m) { swsim::RemoveTree(m.src + "/flashMap"); m.Build(); }
void MapInFile0Only(const Medium& m)
{
    // file0 is unpacked into /tmp as well: the updater finds the map there.
    m.BuildSplit({{"file0", {"swVersion", "estUpdateTime", "SwUpdate_backup.sh", "FlashRepartition.sh", "flashMap"}},
                  {"file1", {"ifsPart.bin", "appPart.bin", "ifsPart.crc", "appPart.crc", "configPart.crc", "fontsPart.crc"}},
                  {"file2", {"configPart.bin"}},
                  {"file3", {"fontsPart.bin"}}});
}
void CrLfMap(const Medium& m)
{
    std::string map = ReadTextOr(m.src + "/flashMap", ""), crlf;
    for (char c : map) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteText(m.src + "/flashMap", crlf);
    m.Build();
}
void ThreeFields(const Medium& m) { m.EditMapLine("appPart.bin", "appPart.bin 2048 YES"); m.Build(); }
void ReleaseNameInLine(const Medium& m) { m.EditMap(" NO\nfontsPart", " NO RELEASE_NAME\nfontsPart"); m.Build(); }
void LowerCaseYes(const Medium& m) { m.EditMap(" YES\ninstrumentData", " yes\ninstrumentData"); m.Build(); }
void ZeroByteInMap(const Medium& m) { m.EditMap("instrumentDataPart.bin", std::string("\0", 1) + "instrumentDataPart.bin"); m.Build(); }
void StartBeyond16000(const Medium& m) { m.EditMapLine("fontsPart.bin", "fontsPart.bin 16001 0x0 YES"); m.Build(); }
void StartNotANumber(const Medium& m) { m.EditMapLine("fontsPart.bin", "fontsPart.bin 14337k 0x0 YES"); m.Build(); }
void DoesNotFit(const Medium& m) { m.EditMapLine("appPart.bin", "appPart.bin 15500 0x0 YES"); m.Build(); }
void Overlap(const Medium& m) { m.EditMapLine("configPart.bin", "configPart.bin 3000 0x0 NO"); m.Build(); }
void OverKeptPartition(const Medium& m) { m.EditMapLine("configPart.bin", "configPart.bin 8150 0x0 NO"); m.Build(); }
void ImageNotDelivered(const Medium& m)
{
    std::string map = ReadTextOr(m.src + "/flashMap", "");
    WriteText(m.src + "/flashMap", map + "extraPart.bin 10000 0x0 YES\n");
    m.Build();
}
void ImageUnnamed(const Medium& m) { WriteText(m.src + "/spare.bin", "spare\n"); m.Build(); }
void CrcMissing(const Medium& m) { swsim::RemoveTree(m.src + "/appPart.crc"); m.Build(); }
void CrcWrong(const Medium& m) { WriteText(m.src + "/appPart.crc", "deadbeef\n"); m.Build(); }
void KeptCrcDelivered(const Medium& m) { WriteText(m.src + "/instrumentDataPart.crc", "00000000\n"); m.Build(); }
void CrcEmpty(const Medium& m) { WriteText(m.src + "/appPart.crc", ""); m.Build(); }
void CrcDecimal(const Medium& m) { WriteText(m.src + "/appPart.crc", "3735928559\n"); m.Build(); }
void CrcGarbage(const Medium& m) { WriteText(m.src + "/appPart.crc", "crc: ok\n"); m.Build(); }
void CrcWrongUpperCrLf(const Medium& m) { WriteText(m.src + "/appPart.crc", "0xDEADBEEF\r\n"); m.Build(); }
// The right CRC-32, written the other way people write it.
void CrcRightUpperCrLf(const Medium& m)
{
    std::string crc = ReadTextOr(m.src + "/appPart.crc", "");
    crc.pop_back();
    for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    WriteText(m.src + "/appPart.crc", "0x" + crc + "\r\n");
    m.Build();
}
void MapCrcColumnWrong(const Medium& m) { m.EditMapLine("appPart.bin", "appPart.bin 2048 0xDEADBEEF YES"); m.Build(); }
void EmptyImage(const Medium& m)
{
    WriteText(m.src + "/appPart.bin", "");
    WriteText(m.src + "/appPart.crc", "00000000\n");
    m.EditMapLine("appPart.bin", "appPart.bin 2048 0x0 YES");
    m.Build();
}
// file3 brings appPart.bin again with other content (and its own CRC file).
void ImageTwice(const Medium& m, bool withCrc)
{
    m.Build();
    const std::string other = m.scratch.path() + "/other";
    ASSERT_TRUE(MakeDirs(other));
    const std::vector<uint8_t> bytes(4096, 0x5a);
    ASSERT_TRUE(WriteBytes(other + "/appPart.bin", bytes.data(), bytes.size()));
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x\n", Crc32(bytes.data(), bytes.size()));
    ASSERT_TRUE(WriteText(other + "/appPart.crc", crc));
    std::vector<std::string> args = {"tar", "-czf", m.medium + "/file3", "-C", m.src, "configPart.bin",
                                     "fontsPart.bin", "-C", other, "appPart.bin"};
    if (withCrc) args.push_back("appPart.crc");
    std::string out, why;
    const int status = RunProgram(args, &out, &why);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
}
void ImageAndCrcTwice(const Medium& m) { ImageTwice(m, true); }
void OnlyImageTwice(const Medium& m) { ImageTwice(m, false); }
void CrLfIn(const Medium& m, const char* script)
{
    std::string text = ReadTextOr(m.src + "/" + script, ""), crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteText(m.src + "/" + script, crlf, 0755);
    m.Build();
}
void RepartitionCrLf(const Medium& m) { CrLfIn(m, "FlashRepartition.sh"); }
void BackupCrLf(const Medium& m) { CrLfIn(m, "SwUpdate_backup.sh"); }
void VersionCrLf(const Medium& m) { WriteText(m.src + "/swVersion", "3.1\r\n"); m.Build(); }
void VersionBlankAfter(const Medium& m) { WriteText(m.src + "/swVersion", "3.1 \n"); m.Build(); }
void VersionBlankBefore(const Medium& m) { WriteText(m.src + "/swVersion", " 3.1\n"); m.Build(); }
void VersionWithoutLineEnd(const Medium& m) { WriteText(m.src + "/swVersion", "3.1"); m.Build(); }
// The updater's line reader ends a line at a zero byte and reads on after it.
void ZeroByteEndsLine(const Medium& m) { m.EditMap(" YES\ninstrumentData", std::string(" YES\0\ninstrumentData", 20)); m.Build(); }
void ZeroByteSplitsLine(const Medium& m)
{
    std::string map = ReadTextOr(m.src + "/flashMap", "");
    map.insert(map.find("appPart.bin") + 25 + 4, 1, '\0');  // right after the start 2048
    WriteText(m.src + "/flashMap", map);
    m.Build();
}
// appPart.bin is a symbolic link, by an absolute /tmp path, to the image
// file1 delivers under another name.
void ImageIsLink(const Medium& m)
{
    m.Build();
    const std::string linked = m.scratch.path() + "/linked";
    ASSERT_TRUE(MakeDirs(linked));
    ASSERT_TRUE(CopyFileTo(m.src + "/appPart.bin", linked + "/appPart-2.4.bin"));
    ASSERT_EQ(symlink("/tmp/appPart-2.4.bin", (linked + "/appPart.bin").c_str()), 0);
    std::string out, why;
    const int status = RunProgram({"tar", "-czf", m.medium + "/file1", "-C", m.src, "flashMap", "appPart.crc",
                                   "configPart.crc", "fontsPart.crc", "ifsPart.crc", "-C", linked, "appPart.bin",
                                   "appPart-2.4.bin"},
                                  &out, &why);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
}
void RepeatedMapLine(const Medium& m)
{
    const std::string map = ReadTextOr(m.src + "/flashMap", "");
    const size_t at = map.find("appPart.bin");
    WriteText(m.src + "/flashMap", map + map.substr(at, map.find('\n', at) + 1 - at));
    m.Build();
}
void YesWithNoBreakSpace(const Medium& m) { m.EditMap(" YES\ninstrumentData", " YES\xc2\xa0\ninstrumentData"); m.Build(); }
// file0 holds FlashRepartition.sh twice: not executable, then executable
// (tar leaves the last).
void ScriptModeLastCopy(const Medium& m)
{
    m.Build();
    const std::string other = m.scratch.path() + "/other";
    ASSERT_TRUE(MakeDirs(other));
    ASSERT_TRUE(CopyFileTo(m.src + "/FlashRepartition.sh", other + "/FlashRepartition.sh"));
    chmod((m.src + "/FlashRepartition.sh").c_str(), 0644);
    std::string out, why;
    const int status = RunProgram({"tar", "-czf", m.medium + "/file0", "-C", m.src, "swVersion", "estUpdateTime",
                                   "SwUpdate_backup.sh", "FlashRepartition.sh", "-C", other, "FlashRepartition.sh"},
                                  &out, &why);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
}
// file2 brings a FlashRepartition.sh of its own, with CR LF ends: the
// updater runs file0's before it unpacks file2.
void ScriptCopyInFile2(const Medium& m)
{
    const std::string dos = m.scratch.path() + "/dos";
    ASSERT_TRUE(MakeDirs(dos));
    m.BuildSplit({{"file0", {"swVersion", "estUpdateTime", "SwUpdate_backup.sh", "FlashRepartition.sh"}},
                  {"file1", {"flashMap", "ifsPart.bin", "appPart.bin", "ifsPart.crc", "appPart.crc", "configPart.crc",
                             "fontsPart.crc"}},
                  {"file2", {"configPart.bin", "FlashRepartition.sh"}},
                  {"file3", {"fontsPart.bin"}}});
    std::string text = ReadTextOr(m.src + "/FlashRepartition.sh", ""), crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_TRUE(WriteText(dos + "/FlashRepartition.sh", crlf, 0755));
    ASSERT_TRUE(CopyFileTo(m.src + "/configPart.bin", dos + "/configPart.bin"));
    std::string out, why;
    const int status = RunProgram({"tar", "-czf", m.medium + "/file2", "-C", dos, "configPart.bin",
                                   "FlashRepartition.sh"},
                                  &out, &why);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
}

// The sample keeps the data partition without delivering its CRC file: a
// warning every medium built from it carries.
const char kKept[] = "crc-kept";

const Defect kDefects[] = {
    {"GoodSample", "2.4", Plain, {kKept}, 0, 8},
    {"GoodZeroVersion", "0.7", Plain, {kKept}, 0, 8},
    {"KeptCrcDelivered", "2.4", KeptCrcDelivered, {}, 0, 0},
    // Packages.
    {"NoFile0", "2.4", NoFile0, {"package-present", kKept}, 1, 0},
    {"NoFile2", "2.4", NoFile2, {"package-present", kKept}, 1, 0},
    {"File1NotGzip", "2.4", File1NotGzip, {"package-format"}, 1, 0},
    {"MemberWithDotDot", "2.4", MemberWithDotDot, {"package-members", kKept}, 1, 0},
    {"AbsoluteMember", "2.4", AbsoluteMember, {"package-members", kKept}, 1, 0},
    {"LinkOutOfTmp", "2.4", LinkOutOfTmp, {"package-members", kKept}, 1, 0},
    {"ExtraPackage", "2.4", ExtraPackage, {"package-present", kKept}, 0, 0},
    {"LinkInsideTmp", "2.4", LinkInsideTmp, {kKept}, 0, 8},
    {"ImageIsLink", "2.4", ImageIsLink, {"image-link", kKept}, 0, 0,
     "linked image: appPart.bin is a symbolic link to /tmp/appPart-2.4.bin"},
    // Control files.
    {"NoVersion", "2.4", NoVersion, {"version-file", kKept}, 1, 0},
    {"WordVersion", "2.4", WordVersion, {"version-file", kKept}, 1, 0},
    {"VersionReplacedByFile1", "2.4", VersionReplacedByFile1, {"version-file", kKept}, 1, 0},
    {"NoRepartition", "2.4", NoRepartition, {"repartition-script", kKept}, 1, 0},
    {"RepartitionNotExecutable", "2.4", RepartitionNotExecutable, {"repartition-script", kKept}, 1, 0},
    {"RepartitionSyntax", "2.4", RepartitionSyntax, {"repartition-script", kKept}, 1, 0},
    {"RepartitionCrLf", "2.4", RepartitionCrLf, {"repartition-script", kKept}, 1, 1, "interpreter \"/bin/sh\\r\""},
    {"ScriptModeLastCopy", "2.4", ScriptModeLastCopy, {kKept}, 0, 8},
    {"ScriptCopyInFile2", "2.4", ScriptCopyInFile2, {"repartition-script", kKept}, 0, 0,
     "an unused copy of FlashRepartition.sh in file2, with other content than file0's",
     "repartition-script file2 FlashRepartition.sh"},
    {"NoBackup", "2.4", NoBackup, {"backup-script", kKept}, 1, 0},
    {"BackupSyntax", "2.4", BackupSyntax, {"backup-script", kKept}, 1, 0},
    {"BackupCrLf", "2.4", BackupCrLf, {"backup-script", kKept}, 1, 1, "CR LF line ends"},
    {"EstimateWords", "2.4", EstimateWords, {"estimate-file", kKept}, 0, 0},
    {"NoEstimate", "2.4", NoEstimate, {"estimate-file", kKept}, 0, 0},
    // Version traps.
    {"Version2_10", "2.10", Plain, {"version-order", kKept}, 1, 0},
    {"Version2_90IsNoTrap", "2.90", Plain, {kKept}, 0, 8},
    {"LeadingZero", "2.05", Plain, {"version-leading-zero", kKept}, 1, 0},
    {"MajorLeadingZero", "03.1", Plain, {"version-leading-zero", kKept}, 1, 0, "file says 03.1 while"},
    {"VersionCrLf", "3.1", VersionCrLf, {"version-text", kKept}, 1, 0, "version \"3.1\\r\\n\""},
    {"VersionBlankAfter", "3.1", VersionBlankAfter, {"version-text", kKept}, 1, 0, "holds blanks"},
    {"VersionBlankBefore", "3.1", VersionBlankBefore, {"version-text", kKept}, 1, 0, "records 3.1"},
    {"VersionWithoutLineEnd", "3.1", VersionWithoutLineEnd, {kKept}, 0, 8},
    // Read as another number than stated: an error naming both.
    {"VersionDecimalComma", "2,4", Plain, {"version-file", kKept}, 1, 0,
     "states 2,4, which is not MAJOR.MINOR: the updater reads it as 2 (compared as the number 2 and recorded in "
     "the revision history as 2.0)"},
    {"VersionPatchLevel", "2.4.1", Plain, {"version-file", kKept}, 1, 0,
     "the updater reads it as 2.4 (compared as the number 2.4 and recorded in the revision history as 2.4)"},
    {"MajorAbove99", "100.1", Plain, {"version-range", kKept}, 1, 0},
    {"ZeroVersionImageInFile2", "0.7", ZeroVersionImageInFile2, {"version-zero", kKept}, 1, 0, "flashMap line 7",
     "version-zero file2 fontsPart.bin"},
    // Flash map.
    {"NoMap", "2.4", NoMap, {"map-present"}, 1, 0},
    {"MapInFile0Only", "2.4", MapInFile0Only, {kKept}, 0, 8},
    {"CrLfMap", "2.4", CrLfMap, {"map-line-ends", kKept}, 1, 4, "has the directory /ifs"},
    {"ThreeFields", "2.4", ThreeFields, {"map-ignored-lines", kKept}, 1, 5},
    {"ReleaseNameInLine", "2.4", ReleaseNameInLine, {"map-ignored-lines", kKept}, 1, 6},
    {"LowerCaseYes", "2.4", LowerCaseYes, {"map-ignored-lines", kKept}, 1, 7},
    {"ZeroByteInMap", "2.4", ZeroByteInMap, {"map-ignored-lines"}, 1, 8},
    {"ZeroByteEndsLine", "2.4", ZeroByteEndsLine, {kKept}, 0, 8},
    {"ZeroByteSplitsLine", "2.4", ZeroByteSplitsLine, {"map-ignored-lines", kKept}, 1, 5, "has 2 of the 4 fields"},
    {"YesWithNoBreakSpace", "2.4", YesWithNoBreakSpace, {"map-ignored-lines", kKept}, 1, 7,
     "has the directory /fonts the old fontsPart.bin partition is kept"},
    {"RepeatedMapLine", "2.4", RepeatedMapLine, {"map-repeated-line", kKept}, 0, 9, "repeats line 5"},
    {"StartBeyond16000", "2.4", StartBeyond16000, {"map-start", kKept}, 1, 7},
    {"StartNotANumber", "2.4", StartNotANumber, {"map-start", kKept}, 1, 7},
    {"DoesNotFit", "2.4", DoesNotFit, {"map-fit", kKept}, 1, 5, nullptr, "map-fit file1 flashMap"},
    {"Overlap", "2.4", Overlap, {"map-overlap", kKept}, 1, 6},
    {"OverKeptPartition", "2.4", OverKeptPartition, {"map-overlap", kKept}, 1, 6},
    {"ImageNotDelivered", "2.4", ImageNotDelivered, {"map-image-missing", kKept}, 1, 9, nullptr,
     "map-image-missing file1 flashMap"},
    {"ZeroVersionImageNotDelivered", "0.7", ImageNotDelivered, {"map-image-missing", kKept}, 0, 9},
    {"ImageUnnamed", "2.4", ImageUnnamed, {"map-unnamed-files", kKept}, 0, 0},
    // CRC files.
    {"CrcMissing", "2.4", CrcMissing, {"crc-written", kKept}, 1, 5},
    {"CrcWrong", "2.4", CrcWrong, {"crc-written", kKept}, 1, 0,
     "holds deadbeef, but the CRC-32 of appPart.bin (flashMap line 5) is 13e8cd37",
     "crc-written file1 appPart.crc"},
    {"CrcWrongUpperCrLf", "2.4", CrcWrongUpperCrLf, {"crc-written", kKept}, 1, 0,
     "holds 0xDEADBEEF, but the CRC-32 of appPart.bin (flashMap line 5) is 0x13E8CD37"},
    {"CrcRightUpperCrLf", "2.4", CrcRightUpperCrLf, {kKept}, 0, 8},
    {"CrcEmpty", "2.4", CrcEmpty, {"crc-written", kKept}, 1, 0, "appPart.crc is empty, which the check cannot read"},
    {"CrcDecimal", "2.4", CrcDecimal, {"crc-written", kKept}, 1, 0,
     "holds \"3735928559\\n\", which the check cannot read"},
    {"CrcGarbage", "2.4", CrcGarbage, {"crc-written", kKept}, 1, 0, "cannot read"},
    {"MapCrcColumnWrong", "2.4", MapCrcColumnWrong, {"map-crc-column", kKept}, 0, 5,
     "gives 0xDEADBEEF for appPart.bin, but its CRC-32 is 0x13E8CD37"},
    {"EmptyImage", "2.4", EmptyImage, {"image-empty", kKept}, 1, 0,
     "appPart.bin is empty (0 bytes), and flashMap line 5"},
    // The later package's copy stays: the flash map's CRC column (and, with
    // only the image twice, the CRC file) then disagree with it.
    {"ImageAndCrcTwice", "2.4", ImageAndCrcTwice, {"package-duplicates", "map-crc-column", kKept}, 1, 0,
     "appPart.bin is in file1 and in file3 with different content", "package-duplicates file3 appPart.crc"},
    {"OnlyImageTwice", "2.4", OnlyImageTwice, {"package-duplicates", "map-crc-column", "crc-written", kKept}, 1, 0,
     "in file1 and in file3", "crc-written file3 appPart.bin"},
};

class MediumDefect : public ::testing::TestWithParam<Defect> {};

TEST_P(MediumDefect, GivesExactlyItsFinding)
{
    const Defect& d = GetParam();
    Medium m;
    m.Sample(d.version);
    d.alter(m);
    EXPECT_EQ(m.Check({"--no-fleet"}), d.status) << m.output;
    const auto result = m.Result();
    const auto found = ChecksOf(result);
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), d.checks) << m.output;
    // The verdict comes first, and names the counts the JSON holds.
    const std::string first = m.output.substr(0, m.output.find('\n'));
    EXPECT_EQ(first.compare(0, d.status == 0 ? 6 : 13, d.status == 0 ? "SHIP: " : "DO NOT SHIP: "), 0) << first;
    EXPECT_EQ(result["errors"].get<int>() > 0, d.status == 1);
    // The line is that of the defect's own finding (the baseline's when the
    // medium has no defect).
    std::string primary = kKept;
    for (const auto& c : d.checks) {
        if (c != kKept) primary = c;
    }
    std::set<int> lines;
    std::string texts;
    std::set<std::string> places;
    for (const auto& f : result["findings"]) {
        EXPECT_FALSE(f["what"].get<std::string>().empty());
        EXPECT_FALSE(f["effect"].get<std::string>().empty()) << "every finding says what the instrument would do";
        if (f["check"] == primary) {
            lines.insert(f["line"].get<int>());
            texts += f["what"].get<std::string>() + "\n" + f["effect"].get<std::string>() + "\n";
        }
        places.insert(f["check"].get<std::string>() + " " + f["package"].get<std::string>() + " " +
                      f["file"].get<std::string>());
    }
    if (d.line > 0) {
        EXPECT_EQ(lines.count(d.line), 1u) << "no " << primary << " finding for line " << d.line;
    } else if (primary != kKept) {
        EXPECT_EQ(lines, std::set<int>{0}) << "a line is given only for a line of the file named";
    }
    if (d.says) {
        EXPECT_NE(texts.find(d.says), std::string::npos) << texts;
    }
    if (d.blame) {
        EXPECT_EQ(places.count(d.blame), 1u) << m.output;
    }
    // JUnit: a failed case per check with errors, named by the check's key
    // (and where it applies, never by wording), its message a finding's text.
    std::map<std::string, std::vector<std::string>> errorTexts;  // check -> what its errors say
    for (const auto& f : result["findings"]) {
        if (f["severity"] == "error") errorTexts[f["check"].get<std::string>()].push_back(f["what"]);
    }
    const Junit j = ReadJunit(m.junit);
    std::set<std::string> failedChecks;
    for (const auto& [name, message] : j.messages) {
        const std::string key = name.substr(0, name.find(' '));
        failedChecks.insert(key);
        const auto& whats = errorTexts[key];
        EXPECT_TRUE(std::any_of(whats.begin(), whats.end(),
                                [&](const std::string& what) { return message.find(what) != std::string::npos; }))
            << name << ": " << message;
    }
    std::set<std::string> errorChecks;
    for (const auto& e : errorTexts) errorChecks.insert(e.first);
    EXPECT_EQ(failedChecks, errorChecks);
    ExpectSarifMatchesJson(result, m.Sarif());
}

INSTANTIATE_TEST_SUITE_P(Media, MediumDefect, ::testing::ValuesIn(kDefects),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Severities and what the findings name.

TEST(CheckFindings, SayWhereTheDefectIs)
{
    Medium m;
    m.Sample("2.4");
    CrLfMap(m);
    EXPECT_EQ(m.Check({"--no-fleet"}), 1) << m.output;
    std::vector<int> lines;
    const auto result = m.Result();
    for (const auto& f : result["findings"]) {
        if (f["check"] != "map-line-ends") continue;
        EXPECT_EQ(f["severity"], "error");
        EXPECT_EQ(f["package"], "file1");
        EXPECT_EQ(f["file"], "flashMap");
        lines.push_back(f["line"].get<int>());
    }
    // The three lines that say YES, not the NO lines or the comments.
    EXPECT_EQ(lines, (std::vector<int>{4, 5, 7}));
    // One JUnit case for each, named by the check and the place alone.
    Junit j = ReadJunit(m.junit);
    EXPECT_EQ(j.failed, "map-line-ends file1/flashMap:4|map-line-ends file1/flashMap:5|map-line-ends file1/flashMap:7");
    EXPECT_EQ(j.messages["map-line-ends file1/flashMap:5"].rfind("[file1 flashMap line 5] the line of appPart.bin ends in CR LF", 0), 0u)
        << j.messages["map-line-ends file1/flashMap:5"];
}

TEST(CheckFindings, WarningsAloneShip)
{
    Medium m;
    m.Sample("2.4");
    ImageUnnamed(m);
    EXPECT_EQ(m.Check({"--no-fleet"}), 0) << m.output;
    const auto result = m.Result();
    EXPECT_TRUE(result["ship"].get<bool>());
    EXPECT_EQ(result["errors"], 0);
    EXPECT_EQ(result["warnings"], 2);
    for (const auto& f : result["findings"]) EXPECT_EQ(f["severity"], "warning");
    EXPECT_NE(m.output.find("SHIP: no errors, 2 warnings"), std::string::npos) << m.output;
}

// ---------------------------------------------------------------------------
// Usage errors.

TEST(CheckUsage, WrongLinesAreUsageErrors)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    struct BadFleet {
        const char* text;
        const char* says;  // in the message on standard error
    };
    const BadFleet badFleets[] = {
        {"a market=Export\n", "fleet line 1"},                      // no running version
        {"a running=2.3 colour=blue\n", "fleet line 1"},            // unknown key
        {"a running=2.3\na running=2.2\n", "fleet line 2"},         // the same name twice
        {"a running=2.3 corrupt-log=Nope.log\n", "fleet line 1"},   // no such log
        {"../a running=2.3\n", "fleet line 1"},                     // not a name for a directory
        {"a running=\n", "fleet line 1"},                           // empty value
        {"# only a comment\n", "names no instrument"},              // no instrument
        {"a running=2.3\nb running=3,0\n", "fleet line 2: running=3,0"},  // not a version
        {"a running=2.3 installed=two\n", "fleet line 1: installed=two"},
        {"a running=2.3\n\nb running=2.3 market=Exprot\n", "fleet line 3: market=Exprot"},  // a typo
        {"a dump=f.bin\n", "fleet line 1: dump= needs data="},
        {"a dump=f.bin data=d running=2.3\n", "takes its versions, market and logs from the dump"},
        {"a running=2.3 logs=l.tgz\n", "data= and logs= go with dump="},
    };
    // Outputs that cannot be written are found before any work: no scratch
    // directory is made.
    const std::string work = m.scratch.path() + "/work";
    struct BadOutput {
        std::vector<std::string> options;
        const char* says;
    };
    const BadOutput badOutputs[] = {
        {{"--json", "/nonexistent/x.json"}, "--json /nonexistent/x.json: cannot be written"},
        {{"--junit", "/proc/swsim-check.xml"}, "--junit /proc/swsim-check.xml: cannot be written"},
        {{"--html", m.scratch.path()}, "is a directory"},
        {{"--json", "-", "--junit", "-"}, "--json and --junit both write to standard output"},
        {{"--sarif", "/nonexistent/x.sarif"}, "--sarif /nonexistent/x.sarif: cannot be written"},
        {{"--json", "-", "--sarif", "-"}, "--json and --sarif both write to standard output"},
        {{"--sarif", m.junit}, "the same file"},
        {{"--html", m.json}, "the same file"},
    };
    for (const auto& bad : badOutputs) {
        EXPECT_EQ(m.Check(bad.options), 64) << m.output;
        EXPECT_NE(m.output.find(bad.says), std::string::npos) << m.output;
        EXPECT_FALSE(PathExists(work)) << "work began before the outputs were known to be writable";
    }
    EXPECT_FALSE(PathExists(m.json)) << "the trial of an output leaves nothing behind";
    // The other commands' outputs alike (the state need not exist: the
    // outputs are tried first).
    std::string out;
    EXPECT_EQ(RunSwsim({"powercut", m.scratch.path() + "/no-state", "--json", "/nonexistent/p.json"}, &out), 64) << out;
    EXPECT_NE(out.find("--json /nonexistent/p.json"), std::string::npos) << out;
    EXPECT_EQ(RunSwsim({"report", m.scratch.path() + "/no-state", "--html", "/nonexistent/r.html"}, &out), 64) << out;
    for (const auto& bad : badFleets) {
        WriteText(fleet, bad.text);
        EXPECT_EQ(m.Check({"--fleet", fleet}), 64) << bad.text << m.output;
        EXPECT_NE(m.output.find(bad.says), std::string::npos) << m.output;
    }
    EXPECT_EQ(m.Check({"--fleet", fleet, "--no-fleet"}), 64) << m.output;
    EXPECT_EQ(m.Check({"--jobs", "0"}), 64) << m.output;
    EXPECT_EQ(m.Check({"--run-limit", "0"}), 64) << m.output;  // a run limit is a positive number of seconds
    EXPECT_EQ(m.Check({"--run-limit", "soon"}), 64) << m.output;
    EXPECT_EQ(RunSwsim({"check", m.scratch.path() + "/nothing-here"}, &out), 64) << out;
    // No scratch space: the check itself cannot run, which is no verdict.
    EXPECT_EQ(m.Check({"--no-fleet", "--work", "/proc/swsim-check"}), 2) << m.output;
    EXPECT_EQ(m.output.find("SHIP"), std::string::npos) << m.output;
}

// "-" sends one output to standard output alone; the report then goes to
// standard error.
TEST(CheckUsage, StandardOutputHoldsOneOutputAlone)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    struct ToStdout {
        const char* option;
        const char* begins;
        const char* ends;
    };
    const ToStdout outputs[] = {
        {"--json", "{", "}\n"},
        {"--junit", "<?xml", "</testsuites>\n"},
        {"--html", "<!DOCTYPE html>", "</html>\n"},
        {"--sarif", "{", "}\n"},
    };
    for (const auto& o : outputs) {
        ASSERT_EQ(m.Check({"--no-fleet", o.option, "-"}, true), 0) << m.output;
        EXPECT_EQ(m.stdoutText.rfind(o.begins, 0), 0u) << o.option << ": " << m.stdoutText;
        ASSERT_GE(m.stdoutText.size(), std::strlen(o.ends));
        EXPECT_EQ(m.stdoutText.substr(m.stdoutText.size() - std::strlen(o.ends)), o.ends) << o.option;
        EXPECT_EQ(m.output.rfind("SHIP: ", 0), 0u) << "the report goes to standard error: " << m.output;
    }
    // The JSON on standard output is the JSON the file gets.
    ASSERT_EQ(m.Check({"--no-fleet", "--json", "-"}, true), 0) << m.output;
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(m.stdoutText)) << m.stdoutText;
    EXPECT_EQ(m.Check({"--no-fleet"}), 0) << m.output;
    EXPECT_EQ(parsed, m.Result());
}

struct FleetCase {
    const char* text;
    std::vector<std::string> names, running, markets;
};

TEST(CheckUsage, FleetFileIsReadLineByLine)
{
    std::vector<FleetInstrument> fleet;
    std::string why;
    ASSERT_TRUE(ParseFleet("# field instruments\n"
                           "\n"
                           "lab   running=2.3   # internal, no Market.ini\n"
                           "eu running=2.3 installed=2.2 market=Export corrupt-log=Diag.log corrupt-log=RevHistory.log\n"
                           "\tin running=2.9 market=internal truncate-log=Diag.log\n"
                           "us running=2 market=export\n",
                           &fleet, &why))
        << why;
    ASSERT_EQ(fleet.size(), 4u);
    EXPECT_EQ(fleet[0].name, "lab");
    EXPECT_EQ(fleet[0].market, "");
    EXPECT_EQ(fleet[1].installed, "2.2");
    EXPECT_EQ(fleet[1].market, "Export");
    EXPECT_EQ(fleet[1].corruptLogs, (std::vector<std::string>{"Diag.log", "RevHistory.log"}));
    EXPECT_EQ(fleet[1].line, 4);
    EXPECT_EQ(fleet[2].market, "Internal");
    EXPECT_TRUE(MarketIsInternal(fleet[2].market));
    EXPECT_EQ(fleet[2].truncateLogs, std::vector<std::string>{"Diag.log"});
    EXPECT_EQ(fleet[3].market, "Export");  // Market.ini gets the letters the updater's rules are written with
}

// ---------------------------------------------------------------------------
// Versions: the updater's comparison, and the default fleet's neighbours.

struct VersionCase {
    const char* version;
    const char* below;
    const char* above;
};

class Neighbours : public ::testing::TestWithParam<VersionCase> {};

TEST_P(Neighbours, AreTheVersionsJustBelowAndAbove)
{
    const VersionCase& c = GetParam();
    EXPECT_EQ(VersionBelow(c.version), c.below);
    EXPECT_EQ(VersionAbove(c.version), c.above);
}

std::ostream& operator<<(std::ostream& os, const VersionCase& c)
{
    return os << c.version;
}

INSTANTIATE_TEST_SUITE_P(Versions, Neighbours,
                         ::testing::Values(VersionCase{"2.4", "2.3", "2.5"}, VersionCase{"2.10", "2.9", "2.11"},
                                           VersionCase{"2.9", "2.8", "3.0"}, VersionCase{"3.0", "2.9", "3.1"},
                                           VersionCase{"2.05", "2.04", "2.06"}, VersionCase{"2.99", "2.98", "3.0"},
                                           VersionCase{"0.1", "0.0", "0.2"}, VersionCase{"3", "2.9", "3.1"},
                                           VersionCase{"2.4\n", "2.3", "2.5"}));

TEST(Versions, CompareAsTheUpdaterDoes)
{
    EXPECT_LT(VersionValue("2.10"), VersionValue("2.9"));
    EXPECT_EQ(VersionValue("2.90\n"), VersionValue("2.9"));
    EXPECT_EQ(VersionValue("beta"), 0.0f);
    EXPECT_EQ(SplitVersion("2.05\n").minor, 5);
    EXPECT_EQ(SplitVersion("2.05").minorText, "05");
    EXPECT_FALSE(SplitVersion("2.4.1").ok);
    EXPECT_TRUE(SplitVersion("3").ok);
    EXPECT_TRUE(MarketIsInternal(""));
    EXPECT_TRUE(MarketIsInternal("InternalLab"));  // the updater looks for the text anywhere
    EXPECT_FALSE(MarketIsInternal("internal"));    // but in this letter case only
    EXPECT_FALSE(MarketIsInternal("Export"));
}

// ---------------------------------------------------------------------------
// Fleet runs (each instrument in an instrument root of its own).

#define CHECK_OR_SKIP(m, rc, ...)                                                        \
    do {                                                                                 \
        rc = (m).Check(__VA_ARGS__);                                                     \
        if (rc == 2 && (m).output.find("no instrument root") != std::string::npos) {     \
            GTEST_SKIP() << (m).output;                                                  \
        }                                                                                \
    } while (0)

TEST(CheckFleet, SampleShipsOnTheDefaultFleet)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    // With the JSON on standard output, and progress forced on standard
    // error (which is no terminal here).
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--json", "-", "--progress", "--jobs", "2"}, true);
    EXPECT_EQ(rc, 0) << m.output;
    nlohmann::json result;
    ASSERT_NO_THROW(result = nlohmann::json::parse(m.stdoutText)) << m.stdoutText;
    EXPECT_EQ(m.output.rfind("swsim: static checks of " + m.medium + "\n", 0), 0u) << m.output;
    for (const char* line : {"\nswsim: static checks done; running 3 instruments, 2 at once\n",
                             "\nswsim: instrument 1 of 3: ", "\nswsim: instrument 3 of 3: ", "\nSHIP: "}) {
        EXPECT_NE(m.output.find(line), std::string::npos) << line << " in " << m.output;
    }
    EXPECT_TRUE(result["fleetRun"].get<bool>());
    ASSERT_EQ(result["fleet"].size(), 3u) << result.dump(2);
    const auto& fleet = result["fleet"];
    // A fresh instrument, a mounted one with a corrupt revision history and
    // a newer market instrument.
    EXPECT_EQ(fleet[0]["running"], "2.3");
    EXPECT_TRUE(fleet[0]["internal"].get<bool>());
    EXPECT_FALSE(fleet[0]["mounted"].get<bool>());
    EXPECT_EQ(fleet[1]["market"], "Export");
    EXPECT_TRUE(fleet[1]["mounted"].get<bool>());
    EXPECT_EQ(fleet[1]["corruptLogs"], nlohmann::json::array({"RevHistory.log"}));
    EXPECT_EQ(fleet[2]["running"], "2.5");
    const char* const outcomes[] = {"done", "done", "not-allowed"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(fleet[i]["expected"], outcomes[i]);
        EXPECT_EQ(fleet[i]["outcome"], outcomes[i]) << fleet[i].dump();
        EXPECT_TRUE(fleet[i]["ok"].get<bool>()) << fleet[i].dump();
    }
    // The run limit comes from the medium, in real seconds, with a margin.
    EXPECT_GT(result["runLimitSeconds"].get<double>(), 120) << result.dump(2);
    ASSERT_TRUE(fleet[0]["workSeconds"].is_number()) << fleet[0].dump();
    EXPECT_GE(result["runLimitSeconds"].get<double>(), 3 * fleet[0]["workSeconds"].get<double>())
        << "the margin covers the chip's work and the fixed waits the run counted";
    EXPECT_TRUE(result["couldNotCheck"].is_null());
    // The estimate check needs the instrument's duration of the update.
    ASSERT_TRUE(fleet[0]["durationSeconds"].is_number()) << fleet[0].dump();
    EXPECT_GT(fleet[0]["durationSeconds"].get<double>(), 0);
    const Junit j = ReadJunit(m.junit);
    EXPECT_EQ(j.cases, static_cast<int>(AllChecks().size()) + 3);
    EXPECT_EQ(j.failed, "");
    EXPECT_EQ(j.skipped, "");
    EXPECT_EQ(j.failuresAttribute, "0");
}

TEST(CheckFleet, VersionTrapAndRefusalsFromAFleetFile)
{
    Medium m;
    m.Sample("2.10");
    m.Build();
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet,
              "# 2.10 follows 2.9, but compared as numbers it is 2.1\n"
              "eu-2.9   running=2.9  market=Export\n"
              "eu-2.11  running=2.11 market=Export   # newer: must refuse\n"
              "lab-2.9  running=2.9  market=internal corrupt-log=Diag.log\n");
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--jobs", "2"});
    EXPECT_EQ(rc, 1) << m.output;
    const auto result = m.Result();
    ASSERT_EQ(result["fleet"].size(), 3u) << result.dump(2);
    const auto& eu29 = result["fleet"][0];
    EXPECT_EQ(eu29["expected"], "not-allowed");
    EXPECT_EQ(eu29["outcome"], "not-allowed");
    EXPECT_FALSE(eu29["ok"].get<bool>()) << "refusing 2.10 on 2.9 is the version trap";
    const auto& eu211 = result["fleet"][1];
    EXPECT_EQ(eu211["outcome"], "not-allowed");
    EXPECT_TRUE(eu211["ok"].get<bool>());
    EXPECT_EQ(eu211["result"], "refused as expected");
    const auto& lab = result["fleet"][2];
    EXPECT_EQ(lab["outcome"], "done");
    EXPECT_TRUE(lab["ok"].get<bool>()) << lab.dump();
    std::multiset<std::string> fleetErrors;
    for (const auto& f : result["findings"]) {
        if (f["check"] == "fleet") fleetErrors.insert(f["instrument"].get<std::string>());
    }
    EXPECT_EQ(fleetErrors, std::multiset<std::string>{"eu-2.9"});
    EXPECT_EQ(ChecksOf(result).count("version-order"), 1u);
    // In JUnit, the check and the instrument fail under their names, with
    // what went wrong as the message; an instrument's case takes its time.
    const Junit j = ReadJunit(m.junit);
    EXPECT_EQ(j.failed, "version-order file0/swVersion|eu-2.9") << j.failed;
    EXPECT_EQ(j.failuresAttribute, "2");
    EXPECT_NE(j.messages.at("eu-2.9").find("[instrument eu-2.9] "), std::string::npos) << j.messages.at("eu-2.9");
    EXPECT_NE(j.messages.at("version-order file0/swVersion").find("2.10"), std::string::npos);
    EXPECT_GT(j.times.at("lab-2.9"), 0.0);
    EXPECT_EQ(j.times.at("version-order file0/swVersion"), 0.0);
}

TEST(CheckFleet, EstimateShorterThanTheUpdate)
{
    Medium m;
    m.Sample("2.4");
    WriteText(m.src + "/estUpdateTime", "1\n");
    m.Build();
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet, "lab running=2.3\n");
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet});
    EXPECT_EQ(rc, 1) << m.output;
    const auto checks = ChecksOf(m.Result());
    EXPECT_EQ(checks, (std::multiset<std::string>{"estimate-duration", kKept})) << m.output;
}

TEST(CheckFleet, OverlapShowsInTheInstrumentsFlash)
{
    Medium m;
    m.Sample("2.4");
    Overlap(m);
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet, "lab running=2.3\n");
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet});
    EXPECT_EQ(rc, 1) << m.output;
    const auto result = m.Result();
    std::vector<std::string> problems;
    for (const auto& f : result["findings"]) {
        if (f["check"] == "fleet") problems.push_back(f["what"].get<std::string>());
    }
    // The run installs, but configPart.bin overwrote the end of appPart.bin,
    // where the static check said; the CRC file then no longer matches it.
    ASSERT_EQ(problems.size(), 2u) << m.output;
    EXPECT_EQ(problems[0], "the flash does not hold appPart.bin (flashMap line 5) as delivered at 0x200000: first "
                           "difference at 0x2ee000, where configPart.bin (flashMap line 6) is written over it");
    EXPECT_EQ(problems[1].rfind("/instrumentData/appPart.crc holds ", 0), 0u) << problems[1];
    EXPECT_EQ(result["fleet"][0]["outcome"], "done");
    EXPECT_FALSE(result["fleet"][0]["ok"].get<bool>());
    // The check page draws those sectors as overwritten, under a red verdict.
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--html", m.scratch.path() + "/check.html"});
    const std::string page = ReadTextOr(m.scratch.path() + "/check.html", "");
    for (const char* sector : {"23", "24"}) {
        EXPECT_NE(page.find(std::string("id=\"i1-sector-") + sector + "\" data-sector=\"" + sector +
                            "\" data-state=\"overwritten\""),
                  std::string::npos)
            << sector;
    }
    EXPECT_NE(page.find("id=\"i1-sector-22\" data-sector=\"22\" data-state=\"written\""), std::string::npos);
    EXPECT_NE(page.find("href=\"#check-map-overlap\""), std::string::npos);
    EXPECT_NE(page.find("<tr id=\"check-map-overlap\">"), std::string::npos);
}

// A new partition's image written inside the data partition, past its
// start: the kept line of the data partition does not reach it.
void ImageInsideDataPartition(const Medium& m)
{
    const std::vector<uint8_t> bytes(64 * 1024, 0xA5);
    ASSERT_TRUE(WriteBytes(m.src + "/extraPart.bin", bytes.data(), bytes.size()));
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x\n", Crc32(bytes.data(), bytes.size()));
    ASSERT_TRUE(WriteText(m.src + "/extraPart.crc", crc));
    WriteText(m.src + "/flashMap", ReadTextOr(m.src + "/flashMap", "") + "extraPart.bin 9000 0x0 YES\n");
    m.Build();
}
// NO for the application: written where /app is missing, kept where it is
// mounted, and its new CRC file installed either way.
void AppKeptWhereMounted(const Medium& m) { m.EditMapLine("appPart.bin", "appPart.bin 2048 0x0 NO"); m.Build(); }
void BackupSavesNothing(const Medium& m)
{
    WriteText(m.src + "/SwUpdate_backup.sh", "echo \"backup: nothing to save\"\n");
    m.Build();
}
// Saves /instrumentData only, not the copies of the corrupt logs.
void BackupSkipsCorruptLogs(const Medium& m)
{
    WriteText(m.src + "/SwUpdate_backup.sh", "mkdir -p /usbdongle/backup\ncp -R /instrumentData /usbdongle/backup/\n");
    m.Build();
}
void RepartitionRemovesDiagLog(const Medium& m)
{
    WriteText(m.src + "/FlashRepartition.sh", "#!/bin/sh\nrm -f /instrumentData/Diag.log\nexit 0\n", 0755);
    m.Build();
}

// A fleet instrument that fails quotes the trace lines of the cause, names
// the end-state invariant it breaks and the static finding that explains
// it (none for the defects only the fleet can see).
struct FleetFailure {
    const char* name;
    const char* version;
    void (*alter)(const Medium&);
    const char* fleet;      // the fleet file's one line
    const char* outcome;
    const char* invariant;  // of the first fleet finding; "" for a wrong outcome
    const char* what;       // part of the first fleet finding
    const char* explained;  // the static check it names; "" when none does
    const char* cause;      // part of a quoted trace line; "" when none is quoted
    size_t findings = 1;    // fleet findings in all
};

std::ostream& operator<<(std::ostream& os, const FleetFailure& f)
{
    return os << f.name;
}

class FleetFailures : public ::testing::TestWithParam<FleetFailure> {};

TEST_P(FleetFailures, SayWhy)
{
    const FleetFailure& c = GetParam();
    Medium m;
    m.Sample(c.version);
    c.alter(m);
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet, std::string(c.fleet) + "\n");
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet});
    EXPECT_EQ(rc, 1) << m.output;
    const auto result = m.Result();
    ASSERT_EQ(result["fleet"].size(), 1u) << m.output;
    EXPECT_EQ(result["fleet"][0]["outcome"], c.outcome) << m.output;
    size_t fleetFindings = 0;
    for (const auto& f : result["findings"]) {
        if (f["check"] != "fleet") continue;
        if (fleetFindings++ > 0) continue;  // the first one is the defect's own
        EXPECT_EQ(f["invariant"], c.invariant) << f.dump();
        EXPECT_NE(f["what"].get<std::string>().find(c.what), std::string::npos) << f.dump();
        EXPECT_EQ(f["explainedBy"], *c.explained ? nlohmann::json::array({c.explained}) : nlohmann::json::array())
            << f.dump();
        std::string lines;
        for (const auto& l : f["causeLines"]) lines += l.get<std::string>() + "\n";
        if (*c.cause) {
            EXPECT_NE(lines.find(c.cause), std::string::npos) << lines;
            const size_t quoted = m.output.find("      trace: ");
            EXPECT_NE(m.output.find(c.cause, quoted == std::string::npos ? m.output.size() : quoted),
                      std::string::npos)
                << m.output;
        } else {
            EXPECT_EQ(lines, "") << "a done update has no failure to quote";
        }
    }
    EXPECT_EQ(fleetFindings, c.findings) << m.output;
    if (*c.explained) {
        EXPECT_NE(m.output.find(std::string("explained by the static finding of ") + c.explained), std::string::npos)
            << m.output;
    } else {
        EXPECT_EQ(ChecksOf(result).count("fleet"), ChecksOf(result).size() - ChecksOf(result).count(kKept))
            << "no static rule sees it: " << m.output;
    }
    if (*c.invariant) {
        EXPECT_NE(m.output.find(std::string("invariant ") + c.invariant + ": "), std::string::npos) << m.output;
    }
    ExpectSarifMatchesJson(result, m.Sarif());
}

const FleetFailure kFleetFailures[] = {
    {"RepartitionCrLf", "2.4", RepartitionCrLf, "lab running=2.3", "pre-update-failed", "",
     "ended \"pre-update-failed\"", "repartition-script", "/tmp/FlashRepartition.sh: No such file or directory"},
    // The installed file keeps the CR; the self-test reads it beside a
    // revision entry of 3.1.
    {"VersionCrLf", "3.1", VersionCrLf, "lab running=2.3", "done", "version-as-read",
     "holds \"3.1\\r\\n\" while the updater reads the medium's version as 3.1", "version-text", ""},
    {"MajorLeadingZero", "03.1", Plain, "lab running=2.3", "done", "version-as-read",
     "holds \"03.1\\n\" while the updater reads the medium's version as 3.1", "version-leading-zero", ""},
    {"NoMap", "2.4", NoMap, "lab running=2.3", "flash-failed", "", "ended \"flash-failed\"", "map-present",
     "Flash map /tmp/flashMap is missing or empty"},
    // Defects no static rule sees, each caught by what the instrument holds
    // afterwards. The data partition's loss takes its four logs with it.
    {"ImageInsideDataPartition", "2.4", ImageInsideDataPartition, "lab running=2.3", "done", "data-partition",
     "the data partition instrumentDataPart.bin (0x800000-0xbfffff, mounted at /instrumentData) changed at "
     "0x8ca000-0x8d9fff, where extraPart.bin (flashMap line 9) is written",
     "", "", 4},
    {"AppKeptWhereMounted", "2.4", AppKeptWhereMounted, "lab running=2.3 mounted=yes", "done", "crc-matches-flash",
     "/instrumentData/appPart.crc holds ", "", ""},
    {"BackupSavesNothing", "2.4", BackupSavesNothing, "lab running=2.3", "done", "backup-complete",
     "the backup left no copy of /instrumentData/", "", ""},
    {"BackupSkipsCorruptLogs", "2.4", BackupSkipsCorruptLogs, "lab running=2.3 corrupt-log=RevHistory.log", "done",
     "backup-complete", "the backup left no copy of /instrumentData/RevHistory.log on the medium (1 of ", "", ""},
    {"RepartitionRemovesDiagLog", "2.4", RepartitionRemovesDiagLog, "lab running=2.3", "done", "backup-complete",
     "the backup left no copy of /instrumentData/Diag.log", "", "", 2},
};

INSTANTIATE_TEST_SUITE_P(Media, FleetFailures, ::testing::ValuesIn(kFleetFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// A run that reaches the run limit, or a previous medium that does not
// install, gives no verdict on the medium: exit status 2, the reason on
// standard error, the JSON naming the instrument.
TEST(CheckFleet, RunLimitMeansCouldNotCheck)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet, "lab running=2.3\n");
    int rc = 0;
    // The JSON on standard output, as any output "-" (not a file named "-").
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--run-limit", "0.05", "--json", "-"}, true);
    EXPECT_EQ(rc, 2) << m.output;
    EXPECT_FALSE(PathExists("-"));
    EXPECT_EQ(Medium::Parsed(m.sarif)["runs"][0]["invocations"][0]["executionSuccessful"], false);
    WriteText(m.json, m.stdoutText);
    EXPECT_NE(m.output.find("could not check: the run of lab did not end within the run limit of 0.05 s"),
              std::string::npos)
        << m.output;
    EXPECT_EQ(m.output.find("SHIP"), std::string::npos) << m.output;
    const auto result = m.Result();
    EXPECT_FALSE(result["ship"].get<bool>());
    EXPECT_EQ(result["couldNotCheck"]["instruments"], nlohmann::json::array({"lab"})) << result.dump(2);
    for (const auto& f : result["findings"]) EXPECT_NE(f["check"], "fleet") << "nothing judged from a stopped run";

    // A previous medium that does not install leaves no field state to check
    // the medium on: no verdict either, and the fault is not the medium's.
    Medium old;
    old.Sample("2.3");
    ASSERT_TRUE(WriteText(old.src + "/FlashRepartition.sh", "#!/bin/sh\nexit 3\n", 0755));
    old.Build();
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--previous", old.medium});
    EXPECT_EQ(rc, 2) << m.output;
    EXPECT_NE(m.output.find("could not check: the previous medium " + old.medium +
                            " (2.3) did not install: its update ended \"pre-update-failed\""),
              std::string::npos)
        << m.output;
    EXPECT_NE(m.output.find("(on lab); not a fault of the medium checked"), std::string::npos) << m.output;
    EXPECT_EQ(m.Result()["couldNotCheck"]["instruments"], nlohmann::json::array({"lab"}));
}

// The upgrade path: the fleet first installs the 2.3 sample, so the 2.4
// sample meets its images; only an image 2.4 rewrites with 2.3's bytes is
// advice, checked by a rerun with its line changed.
TEST(CheckFleet, UpgradePathAdvisesKeepingWhatTheFieldHolds)
{
    Medium old;
    old.Sample("2.3");
    old.Build();
    Medium same;
    same.Sample("2.4");
    same.TakeImage(old, "ifsPart.bin");
    same.Build();
    int rc = 0;
    const std::string html = same.scratch.path() + "/check.html";
    CHECK_OR_SKIP(same, rc, {"--previous", old.medium, "--jobs", "3", "--html", html, "--keep"});
    EXPECT_EQ(rc, 0) << same.output;
    auto result = same.Result();
    // The mounted instrument's revision history breaks after the path (the
    // path's own update would have recreated it): the medium meets it corrupt.
    const std::vector<std::string> kept = ListDir(same.scratch.path() + "/work");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(ReadTextOr(same.scratch.path() + "/work/" + kept[0] + "/fleet/market-2.3-mounted/sim/trace.txt", "")
                  .find("Recreating RevHistory.log"),
              std::string::npos);
    EXPECT_EQ(result["previous"], nlohmann::json::parse(R"([{"medium":")" + old.medium + R"(","version":"2.3"}])"));
    std::vector<std::string> running;
    for (const auto& i : result["fleet"]) {
        running.push_back(i["running"]);
        EXPECT_TRUE(i["ok"].get<bool>()) << i.dump();
    }
    EXPECT_EQ(running, (std::vector<std::string>{"2.3", "2.3", "2.5"}));
    ASSERT_EQ(result["advice"].size(), 1u) << result.dump(2);
    const auto& a = result["advice"][0];
    EXPECT_TRUE(a["offered"].get<bool>()) << a.dump();
    EXPECT_EQ(a["image"], "ifsPart.bin");
    EXPECT_TRUE(a["boot"].get<bool>());
    // No instrument has /ifs: a NO would still write it, only leaving the
    // line out keeps it.
    EXPECT_EQ(a["change"], "leave-out");
    EXPECT_GT(a["windowBeforeSeconds"].get<double>(), 5) << a.dump();
    EXPECT_EQ(a["windowAfterSeconds"].get<double>(), 0) << a.dump();
    EXPECT_GT(a["savedSeconds"].get<double>(), a["windowBeforeSeconds"].get<double>()) << "erase and program it whole";
    const std::string text = a["text"];
    EXPECT_EQ(text.rfind("ifsPart.bin is unchanged since 2.3: ", 0), 0u) << text;
    EXPECT_NE(text.find("shortens the unbootable window from "), std::string::npos) << text;
    EXPECT_NE(same.output.find("\nAdvice (1; the verdict does not depend on it):\n  " + text + "\n"), std::string::npos)
        << same.output;
    EXPECT_EQ(same.Sarif()["runs"][0]["properties"]["advice"][0]["text"], text);
    EXPECT_NE(ReadTextOr(html, "").find("<li class=\"offered\">" + text + "<br>"), std::string::npos);
    EXPECT_NE(ReadTextOr(same.junit, "").find("<property name=\"advice\" value=\"" + text + "\"/>"), std::string::npos);

    // Every image of the unchanged 2.4 sample differs from 2.3's: no advice.
    Medium changed;
    changed.Sample("2.4");
    changed.Build();
    const std::string fleet = changed.scratch.path() + "/fleet.txt";
    WriteText(fleet, "lab running=2.3\n");
    CHECK_OR_SKIP(changed, rc, {"--previous", old.medium, "--fleet", fleet});
    EXPECT_EQ(rc, 0) << changed.output;
    result = changed.Result();
    EXPECT_EQ(result["advice"], nlohmann::json::array()) << result.dump(2);
    EXPECT_EQ(changed.output.find("Advice"), std::string::npos) << changed.output;
}

// Where the partition is mounted on every instrument, its flag made NO
// keeps it; where keeping it would break the end state, the rerun says so.
TEST(CheckFleet, AdviceIsTheChangeTheRerunProves)
{
    Medium old;
    old.Sample("2.3");
    old.Build();
    const std::string fleet = old.scratch.path() + "/fleet.txt";
    int rc = 0;
    nlohmann::json result;
    Medium app;
    app.Sample("2.4");
    app.TakeImage(old, "appPart.bin");
    app.Build();
    WriteText(fleet, "field running=2.3 market=Export mounted=yes\n");
    CHECK_OR_SKIP(app, rc, {"--previous", old.medium, "--fleet", fleet});
    EXPECT_EQ(rc, 0) << app.output;
    result = app.Result();
    ASSERT_EQ(result["advice"].size(), 1u) << result.dump(2);
    EXPECT_EQ(result["advice"][0]["change"], "NO");
    EXPECT_GT(result["advice"][0]["savedSeconds"].get<double>(), 5) << result["advice"][0].dump();
    EXPECT_EQ(result["advice"][0]["text"].get<std::string>().rfind(
                  "appPart.bin is unchanged since 2.3: writing NO keeps it and shortens the update by ", 0),
              0u)
        << result["advice"][0].dump();
    // A boot image that is 2.3's cut short is in the flash too, but keeping
    // it keeps 2.3's longer image, which the new CRC file does not match:
    // the rerun fails, and the advice is not offered.
    Medium shorter;
    shorter.Sample("2.4");
    std::vector<uint8_t> boot;
    ASSERT_TRUE(ReadBytes(old.src + "/ifsPart.bin", &boot));
    boot.resize(600 * 1024);
    ASSERT_TRUE(WriteBytes(shorter.src + "/ifsPart.bin", boot.data(), boot.size()));
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x\n", Crc32(boot.data(), boot.size()));
    ASSERT_TRUE(WriteText(shorter.src + "/" + CrcFileName("ifsPart.bin"), crc));
    shorter.Build();
    CHECK_OR_SKIP(shorter, rc, {"--previous", old.medium, "--fleet", fleet});
    EXPECT_EQ(rc, 0) << shorter.output;
    result = shorter.Result();
    ASSERT_EQ(result["advice"].size(), 1u) << result.dump(2);
    EXPECT_FALSE(result["advice"][0]["offered"].get<bool>());
    EXPECT_EQ(result["advice"][0]["text"], "");
    EXPECT_NE(result["advice"][0]["detail"].get<std::string>().find("not offered: with the line changed, field ended"),
              std::string::npos)
        << result["advice"][0].dump();
}

// Makes the sample's images fill most of the flash (96 of its 128 sectors:
// all but the data partition's), each image its own bytes repeated, with
// the CRCs to match and a long estimate of its own.
void FillTheFlash(const Medium& m)
{
    const struct {
        const char* name;
        int startKiB;
        uint32_t size;
    } images[] = {{"ifsPart.bin", 0, 2048 * 1024}, {"appPart.bin", 2048, 6144 * 1024},
                  {"configPart.bin", 12288, 2048 * 1024}, {"fontsPart.bin", 14337, 2047 * 1024}};
    for (const auto& i : images) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadBytes(m.src + "/" + i.name, &bytes));
        const size_t own = bytes.size();
        while (bytes.size() < i.size) bytes.push_back(bytes[bytes.size() % own]);
        bytes.resize(i.size);
        ASSERT_TRUE(WriteBytes(m.src + "/" + i.name, bytes.data(), bytes.size(), 0644));
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", Crc32(bytes.data(), bytes.size()));
        ASSERT_TRUE(WriteText(m.src + "/" + CrcFileName(i.name), std::string(crc) + "\n"));
        std::string map = ReadTextOr(m.src + "/flashMap", "");
        const size_t at = map.find("\n" + std::string(i.name) + " ");
        ASSERT_NE(at, std::string::npos) << i.name;
        const size_t crcAt = map.find("0x", at);
        map.replace(crcAt + 2, 8, crc);
        ASSERT_TRUE(WriteText(m.src + "/flashMap", map));
    }
    ASSERT_TRUE(WriteText(m.src + "/estUpdateTime", "600\n"));
}

struct LoadCase {
    const char* name;
    bool fullFlash;
};
std::ostream& operator<<(std::ostream& os, const LoadCase& c) { return os << c.name; }

class CheckUnderLoad : public ::testing::TestWithParam<LoadCase> {};

// The same medium checked on an idle machine and with both cores busy gives
// the same answer: the same JSON, but for the updater's CPU time in the
// instruments' durations (less than a second apart).
TEST_P(CheckUnderLoad, GivesTheSameAnswer)
{
    Medium m;
    m.Sample("2.4");
    if (GetParam().fullFlash) FillTheFlash(m);
    m.Build();
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {});
    const std::string idleOutput = m.output;
    nlohmann::json idle = m.Result();
    {
        BusyCores busy;
        rc = m.Check({});
    }
    nlohmann::json loaded = m.Result();
    EXPECT_EQ(rc, 0) << m.output;
    EXPECT_TRUE(idle["ship"].get<bool>()) << idleOutput;
    ASSERT_EQ(idle["fleet"].size(), loaded["fleet"].size());
    for (size_t i = 0; i < idle["fleet"].size(); ++i) {
        auto& a = idle["fleet"][i];
        auto& b = loaded["fleet"][i];
        if (a["outcome"] == "done") {
            ASSERT_TRUE(a["durationSeconds"].is_number() && b["durationSeconds"].is_number()) << a.dump() << b.dump();
            EXPECT_NEAR(a["durationSeconds"].get<double>(), b["durationSeconds"].get<double>(), 1.0) << a.dump();
            // the updater's fixed waits and the chip's work of the whole flash
            if (GetParam().fullFlash) {
                EXPECT_GT(a["workSeconds"].get<double>(), 150) << a.dump();
            }
        }
        a.erase("durationSeconds");
        b.erase("durationSeconds");
    }
    EXPECT_EQ(idle.dump(1), loaded.dump(1));
}

INSTANTIATE_TEST_SUITE_P(Media, CheckUnderLoad,
                         ::testing::Values(LoadCase{"Sample", false}, LoadCase{"FullFlash", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckFleet, NoDefaultFleetWithoutAVersion)
{
    Medium m;
    m.Sample("2.4");
    NoVersion(m);
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {});
    EXPECT_EQ(rc, 1) << m.output;
    const auto result = m.Result();
    EXPECT_FALSE(result["fleetRun"].get<bool>()) << "no instruments around a made-up version";
    EXPECT_TRUE(result["fleet"].empty());
    EXPECT_EQ(ChecksOf(result), (std::multiset<std::string>{"version-file", "fleet-version", kKept})) << m.output;
    // A fleet file names its instruments' versions itself: it runs.
    const std::string fleet = m.scratch.path() + "/fleet.txt";
    WriteText(fleet, "lab running=2.3\n");
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet});
    EXPECT_TRUE(m.Result()["fleetRun"].get<bool>()) << m.output;
    EXPECT_EQ(m.Result()["fleet"].size(), 1u);
}

TEST(CheckFleet, StaticOnlySkipsTheFleetChecksInJunit)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    EXPECT_EQ(m.Check({"--no-fleet"}), 0) << m.output;
    const Junit j = ReadJunit(m.junit);
    EXPECT_EQ(j.cases, static_cast<int>(AllChecks().size()));
    EXPECT_EQ(j.skipped, "estimate-duration|fleet-version");
}

// ---------------------------------------------------------------------------
// Instruments from service: dumps made from runs of earlier releases.

bool Sh(const std::string& script, const std::string& dir)
{
    std::string out, why;
    const int status = RunProgram({"/bin/sh", "-ec", "cd \"$0\"; " + script, dir}, &out, &why);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << script << ": " << out << why;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What a service engineer brings back in `dir` from an instrument made with
// `create` that ran the sample of `release`: NAME.flash, and /instrumentData
// and /log kept as `data` and `logs` say ("tgz": an archive of the content,
// "tar": an uncompressed one of the directory itself, "dir": a copy, "":
// not brought back). Returns the run's exit status.
int MakeDump(const std::string& dir, const std::string& name, std::vector<std::string> create, const char* release,
             const std::string& data, const std::string& logs)
{
    const std::string state = dir + "/" + name + ".state";
    std::string out;
    create.insert(create.begin(), {"create", state});
    EXPECT_EQ(RunSwsim(create, &out), 0) << out;
    EXPECT_EQ(RunSwsim({"medium", state, "--sample", "--version", release}, &out), 0) << out;
    const int rc = RunSwsim({"run", state, "--quiet", "--no-report"}, &out);
    if (rc != 0) return rc;
    std::string script = "cp " + name + ".state/norflash " + name + ".flash;";
    for (const auto& [form, part] : {std::make_pair(data, std::string("instrumentData")), std::make_pair(logs, std::string("log"))}) {
        const std::string kept = name + "." + part;
        if (form == "tgz") script += "tar -czf " + kept + ".tgz -C " + name + ".state/" + part + " .;";
        if (form == "tar") script += "tar -cf " + kept + ".tar -C " + name + ".state " + part + ";";
        if (form == "dir") script += "cp -R " + name + ".state/" + part + " " + kept + ";";
    }
    Sh(script + "rm -rf " + name + ".state", dir);
    return rc;
}

TEST(CheckFleet, InstrumentsFromServiceRun)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    const std::string dir = m.scratch.path();
    int rc = MakeDump(dir, "a", {"--version", "2.1", "--market", "Export"}, "2.2", "tgz", "tar");
    if (rc == 77) GTEST_SKIP() << "no instrument root here";
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(MakeDump(dir, "b", {"--version", "2.2", "--mounted"}, "2.3", "dir", ""), 0);
    ASSERT_EQ(MakeDump(dir, "c", {"--version", "2.2", "--market", "Export", "--corrupt-log", "Diag.log"}, "2.3",
                       "tar", "dir"),
              0);
    // A link inside the data, to its own directory: kept in every copy of
    // the instrument, never followed on the host.
    ASSERT_EQ(symlink(".", (dir + "/b.instrumentData/loop").c_str()), 0);
    const std::string fleet = dir + "/fleet.txt";
    WriteText(fleet, "eu dump=a.flash data=a.instrumentData.tgz logs=a.log.tar\n"
                     "lab dump=b.flash data=b.instrumentData mounted=yes   # no logs: running the installed 2.3\n"
                     "eu2 dump=c.flash data=c.instrumentData.tar logs=c.log\n");
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--keep"});
    EXPECT_EQ(rc, 0) << m.output;
    const auto result = m.Result();
    ASSERT_EQ(result["fleet"].size(), 3u) << m.output;
    const std::string kept = dir + "/work/" + ListDir(dir + "/work").at(0) + "/fleet/lab/instrumentData/loop";
    char target[8] = {};
    EXPECT_EQ(readlink(kept.c_str(), target, sizeof target - 1), 1) << kept;
    const char* const versions[][3] = {{"2.1", "2.2", "Export"}, {"2.3", "2.3", ""}, {"2.2", "2.3", "Export"}};
    for (size_t i = 0; i < 3; ++i) {
        const auto& r = result["fleet"][i];
        EXPECT_EQ(r["running"], versions[i][0]) << r.dump();
        EXPECT_EQ(r["installed"], versions[i][1]) << r.dump();
        EXPECT_EQ(r["market"], versions[i][2]) << r.dump();
        EXPECT_EQ(r["outcome"], "done") << r.dump();
        EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    }
    EXPECT_EQ(result["fleet"][0]["from"]["logs"], "a.log.tar");
    EXPECT_TRUE(result["fleet"][1]["mounted"].get<bool>());
}

// Each kind of broken dump is a usage error naming the problem, from the
// fleet file (naming its line) and from swsim create, and leaves nothing:
// no state directory, nothing in the check's work space.
struct BrokenDump {
    const char* name;
    const char* make;  // shell commands in the dump's directory, over a good dump "a"
    const char* line;  // the fleet file's line
    const char* says;
};

const BrokenDump kBrokenDumps[] = {
    {"ShortFlash", "head -c 1000 a.flash > x.flash", "x dump=x.flash data=a.instrumentData.tgz",
     "is 1000 bytes, not the flash's 16 MiB"},
    {"UnreadableArchive", "echo junk > x.tgz", "x dump=a.flash data=x.tgz", "is not a readable tar archive"},
    {"AbsoluteMember", "tar -cPf x.tar \"$PWD/a.flash\"", "x dump=a.flash data=x.tar", "has the absolute path /"},
    {"DotDotMember", "tar -cf x.tar --transform 's,^,../,' a.flash", "x dump=a.flash data=x.tar",
     "has a \"..\" component"},
    {"LinkOut", "mkdir d; ln -s /etc d/out; tar -cf x.tar -C d out", "x dump=a.flash data=x.tar",
     "is a symbolic link to /etc, outside /instrumentData"},
    {"ChainOut", "mkdir -p d/swVersion; echo 2.3 > d/swVersion/swVersion; ln -s . d/x; ln -s x/../z d/a",
     "x dump=a.flash data=d", "the symbolic link a -> x/../z leads out of /instrumentData"},
    {"ThroughLink", "mkdir -p d/sub e/l; ln -s sub d/l; echo f > e/l/f; tar -cf x.tar -C d l; tar -rf x.tar -C e l/f",
     "x dump=a.flash data=x.tar", "goes through the symbolic link l"},
    {"HardLinkOut",
     "python3 -c \"import tarfile; t = tarfile.open('x.tar', 'w'); i = tarfile.TarInfo('h'); "
     "i.type = tarfile.LNKTYPE; i.linkname = '../../h1'; t.addfile(i)\"",
     "x dump=a.flash data=x.tar", "hard link targets"},  // tar lists and unpacks it inside, and fails
    {"NoInstalledVersion", "mkdir d; echo x > d/extlog.dat", "x dump=a.flash data=d",
     "has no swVersion/swVersion (the installed version)"},
    {"NoRunningVersion", "mkdir d; tar -czf x.tgz -C d .", "x dump=a.flash data=a.instrumentData.tgz logs=x.tgz",
     "has no swVersion/swVersion (the running version)"},
};

TEST(CheckUsage, BrokenDumpsAreUsageErrors)
{
    Medium m;
    m.Sample("2.4");
    m.Build();
    const int rc = MakeDump(m.scratch.path(), "a", {}, "2.3", "tgz", "");
    if (rc == 77) GTEST_SKIP() << "no instrument root here";
    ASSERT_EQ(rc, 0);
    for (const auto& b : kBrokenDumps) {
        SCOPED_TRACE(b.name);
        const std::string dir = m.scratch.path() + "/" + b.name;
        ASSERT_TRUE(MakeDirs(dir));
        Sh(std::string("cp ../a.flash ../a.instrumentData.tgz .; ") + b.make, dir);
        WriteText(dir + "/fleet.txt", std::string("ok dump=a.flash data=a.instrumentData.tgz\n") + b.line + "\n");
        const std::string work = dir + "/work";
        EXPECT_EQ(m.Check({"--fleet", dir + "/fleet.txt", "--work", work}), 64) << m.output;
        EXPECT_NE(m.output.find("fleet line 2: "), std::string::npos) << m.output;
        EXPECT_NE(m.output.find(b.says), std::string::npos) << m.output;
        EXPECT_TRUE(ListDir(work).empty()) << "left behind in the work space";
        // The same files given to swsim create.
        std::vector<std::string> args = {"create", dir + "/new/state"};
        std::istringstream words(b.line);
        std::string word;
        words >> word;
        while (words >> word) {
            const size_t eq = word.find('=');
            args.push_back(word.substr(0, eq) == "dump" ? "--from-dump" : "--" + word.substr(0, eq));
            args.push_back(dir + "/" + word.substr(eq + 1));
        }
        std::string out;
        EXPECT_EQ(RunSwsim(args, &out), 64) << out;
        EXPECT_NE(out.find(b.says), std::string::npos) << out;
        EXPECT_FALSE(PathExists(dir + "/new")) << "a refused dump leaves nothing";
    }
    // A refused dump over an instrument leaves it as it was, even with --force.
    const std::string state = m.scratch.path() + "/state";
    std::string out;
    ASSERT_EQ(RunSwsim({"create", state}, &out), 0) << out;
    const std::string marker = ReadTextOr(state + "/sim/instrument.txt", "");
    EXPECT_EQ(RunSwsim({"create", state, "--force", "--from-dump", m.scratch.path() + "/ShortFlash/x.flash", "--data",
                        m.scratch.path() + "/a.instrumentData.tgz"},
                       &out),
              64)
        << out;
    EXPECT_EQ(ReadTextOr(state + "/sim/instrument.txt", ""), marker);
    for (const auto& name : ListDir(m.scratch.path())) EXPECT_NE(name[0], '.') << name << " left beside the state";
}

// ---------------------------------------------------------------------------
// Shards of a fleet.

// A fleet of 12 split in 3 shards merges to the JSON of one run (durations
// aside): its findings in one run's order, the same verdict and status.
// Parts of another medium, fleet or run limit, and incomplete or repeated
// shard sets, are refused.
TEST(CheckFleet, ShardsMergeIntoTheOneRun)
{
    Medium m;
    m.Sample("2.10");
    m.Build();
    const std::string dir = m.scratch.path(), fleet = dir + "/fleet.txt";
    std::string text;
    for (int i = 1; i <= 4; ++i) {
        text += "eu-" + std::to_string(i) + " running=2.9 market=Export\n";          // the version trap
        text += "new-" + std::to_string(i) + " running=2.11 market=Export\n";        // refuses
        text += "lab-" + std::to_string(i) + " running=2.9 corrupt-log=Diag.log\n";  // installs
    }
    WriteText(fleet, text);
    int rc = 0;
    CHECK_OR_SKIP(m, rc, {"--fleet", fleet, "--jobs", "2"});
    EXPECT_EQ(rc, 1) << m.output;
    auto one = m.Result();
    const std::string verdict = m.output.substr(0, m.output.find('\n') + 1);
    for (const std::string k : {"1", "2", "3"}) {
        EXPECT_EQ(m.Check({"--fleet", fleet, "--shard", k + "/3", "--json", dir + "/part" + k + ".json"}), 1)
            << m.output;
    }
    const auto merge = [&](const std::vector<std::string>& parts, std::string* out) {
        std::vector<std::string> args = {"check", "--merge"};
        for (const auto& p : parts) args.push_back(dir + "/" + p);
        for (const char* o : {"--json", "merged.json", "--html", "merged.html", "--sarif", "merged.sarif"}) {
            args.push_back(o[0] == '-' ? o : dir + "/" + o);
        }
        return RunSwsim(args, out);
    };
    std::string out;
    EXPECT_EQ(merge({"part2.json", "part3.json", "part1.json"}, &out), 1) << out;
    EXPECT_EQ(out.rfind(verdict, 0), 0u) << "the one run's verdict " << verdict << out;
    auto merged = Medium::Parsed(dir + "/merged.json");
    for (auto* j : {&one, &merged}) {
        for (auto& r : (*j)["fleet"]) r.erase("durationSeconds");
    }
    EXPECT_EQ(merged.dump(1), one.dump(1));
    ExpectSarifMatchesJson(merged, Medium::Parsed(dir + "/merged.sarif"));
    // Refusals: each a usage error naming what differs.
    const auto part2 = Medium::Parsed(dir + "/part2.json");
    const std::pair<const char*, const char*> changes[] = {
        {"mediumDigest", "another medium"}, {"fleetDigest", "another fleet"}, {"runLimitSeconds", "--run-limit"}};
    for (const auto& [key, says] : changes) {
        auto other = part2;
        (other.contains(key) ? other[key] : other["shard"][key]) = key == std::string("runLimitSeconds") ? nlohmann::json(1.5) : nlohmann::json("0000000000000000");
        WriteText(dir + "/other.json", other.dump());
        EXPECT_EQ(merge({"part1.json", "other.json", "part3.json"}, &out), 64) << out;
        EXPECT_NE(out.find(says), std::string::npos) << out;
    }
    const std::pair<std::vector<std::string>, const char*> sets[] = {
        {{"part1.json", "part3.json"}, "2 of the 3 shards given"},
        {{"part1.json", "part2.json", "part2.json", "part3.json"}, "shard 2 is given twice"},
        {{"part1.json", "check.json"}, "not of a shard"},
    };
    for (const auto& [parts, says] : sets) {
        EXPECT_EQ(merge(parts, &out), 64) << out;
        EXPECT_NE(out.find(says), std::string::npos) << out;
    }
}

}  // namespace
