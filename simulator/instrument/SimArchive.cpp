#include "SimArchive.h"

#include <unistd.h>

#include <algorithm>

#include "SimFiles.h"

namespace swsim {

namespace {

// Unquotes a C-quoted name from tar's listing, starting at text[*pos] == '"'.
std::string Unquote(const std::string& text, size_t* pos)
{
    std::string out;
    size_t i = *pos + 1;
    while (i < text.size() && text[i] != '"') {
        char c = text[i++];
        if (c == '\\' && i < text.size()) {
            c = text[i++];
            switch (c) {
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'a': c = '\a'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'v': c = '\v'; break;
            default:
                if (c >= '0' && c <= '7') {
                    int value = c - '0';
                    for (int k = 0; k < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++k) {
                        value = value * 8 + (text[i++] - '0');
                    }
                    c = static_cast<char>(value);
                }
            }
        }
        out += c;
    }
    *pos = i + 1;
    return out;
}

bool IsListingLine(const std::string& line)
{
    if (line.size() < 12 || line[10] != ' ') return false;
    if (std::string("-dlhcbpsC").find(line[0]) == std::string::npos) return false;
    return line.find_first_not_of("rwxsStT-", 1) >= 10;
}

// Resolves `absolute` lexically; false when it leaves `mountPoint`.
bool StaysBelow(const std::string& absolute, const std::string& mountPoint)
{
    std::vector<std::string> parts;
    for (const auto& part : PathComponents(absolute)) {
        if (part != "..") {
            parts.push_back(part);
        } else if (parts.empty()) {
            return false;
        } else {
            parts.pop_back();
        }
    }
    std::vector<std::string> below;
    return BelowMount("/" + JoinedPath(parts), mountPoint, &below);
}

}  // namespace

bool ListArchive(const std::string& path, bool gunzip, std::vector<ArchiveMember>* members, std::string* complaint)
{
    std::vector<std::string> argv = {"tar", "-tvf", path, "--quoting-style=c", "--full-time", "--numeric-owner"};
    if (gunzip) argv.insert(argv.begin() + 1, "--gunzip");
    std::string output, why;
    const int status = RunProgram(argv, &output, &why);
    std::string first;
    for (const auto& line : Lines(output)) {
        if (!IsListingLine(line)) {
            if (first.empty() && !line.empty()) first = line;
            continue;
        }
        size_t q = line.find('"');
        if (q == std::string::npos) continue;
        ArchiveMember m;
        m.type = line[0];
        m.perms = line.substr(1, 9);
        m.name = Unquote(line, &q);
        const size_t arrow = line.find("-> \"", q);
        const size_t link = line.find("link to \"", q);
        if (m.type == 'l' && arrow != std::string::npos) {
            size_t t = arrow + 3;
            m.target = Unquote(line, &t);
        } else if (m.type == 'h' && link != std::string::npos) {
            size_t t = link + 8;
            m.target = Unquote(line, &t);
        }
        members->push_back(m);
    }
    if (status == 0) return true;
    *complaint = first.empty() ? (status == -1 ? why : "tar failed") : first;
    return false;
}

std::vector<std::string> PathComponents(const std::string& path)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(pos, end - pos);
        if (!part.empty() && part != ".") parts.push_back(part);
        pos = end + 1;
    }
    return parts;
}

std::string JoinedPath(const std::vector<std::string>& parts)
{
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

std::string NormalName(const std::string& name)
{
    return JoinedPath(PathComponents(name));
}

bool HasDotDot(const std::string& name)
{
    return ("/" + name + "/").find("/../") != std::string::npos;
}

bool BelowMount(const std::string& path, const std::string& mountPoint, std::vector<std::string>* below)
{
    const std::vector<std::string> parts = PathComponents(path), mount = PathComponents(mountPoint);
    if (path.empty() || path[0] != '/' || parts.size() < mount.size() ||
        !std::equal(mount.begin(), mount.end(), parts.begin())) {
        return false;
    }
    below->assign(parts.begin() + static_cast<std::ptrdiff_t>(mount.size()), parts.end());
    return true;
}

std::string EscapingMember(const ArchiveMember& m, const std::string& mountPoint)
{
    if (!m.name.empty() && m.name[0] == '/') return "has the absolute path " + m.name;
    if (HasDotDot(m.name)) return "has a \"..\" component";
    if (m.type == 'c' || m.type == 'b' || m.type == 'p') return "is a device node or FIFO";
    if (m.type == 'l') {
        const std::string dir = m.name.find('/') == std::string::npos ? "" : m.name.substr(0, m.name.rfind('/'));
        const std::string resolved = !m.target.empty() && m.target[0] == '/' ? m.target
                                                                               : mountPoint + "/" + dir + "/" + m.target;
        if (!StaysBelow(resolved, mountPoint)) return "is a symbolic link to " + m.target + ", outside " + mountPoint;
    }
    if (m.type == 'h' && (m.target.empty() || m.target[0] == '/' || HasDotDot(m.target))) {
        return "is a hard link to " + m.target + ", outside " + mountPoint;
    }
    return "";
}

std::string ResolveInside(const std::string& hostDir, const std::string& mountPoint, const std::string& path)
{
    std::vector<std::string> below;  // the resolved place, below the mount point
    std::vector<std::string> rest;   // the components still to walk, last first
    if (path.empty()) return "";
    if (path[0] == '/' && !BelowMount(path, mountPoint, &rest)) return "";
    if (path[0] != '/') rest = PathComponents(path);
    std::reverse(rest.begin(), rest.end());
    int links = 0;
    while (!rest.empty()) {
        const std::string part = rest.back();
        rest.pop_back();
        if (part == "..") {
            if (below.empty()) return "";
            below.pop_back();
            continue;
        }
        const std::string here = hostDir + "/" + JoinedPath(below) + (below.empty() ? "" : "/") + part;
        char target[4096];
        const ssize_t n = readlink(here.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            below.push_back(part);
            continue;
        }
        if (++links > 40) return "";  // a loop, as the system's ELOOP
        const std::string t(target, static_cast<size_t>(n));
        std::vector<std::string> next;
        if (t[0] == '/') {
            if (!BelowMount(t, mountPoint, &next)) return "";
            below.clear();
        } else {
            next = PathComponents(t);
        }
        rest.insert(rest.end(), next.rbegin(), next.rend());
    }
    return hostDir + (below.empty() ? "" : "/" + JoinedPath(below));
}

}  // namespace swsim
