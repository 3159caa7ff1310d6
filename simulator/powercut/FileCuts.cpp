// The update's file operations, cut: the recording of the reference run
// read back, the files as they were when the updater started, and the
// instrument a cut after each operation leaves, built from the recording
// (the files before the update with the operations up to the cut done,
// the flash as the reference run had left it at that moment); equal states
// found once, so that they share one restart.
#include "Sweep.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <unordered_map>

#include "SimFiles.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

namespace {

// The instrument's directories, as the updater sees them and as the state
// directory holds them.
const char* const kDirs[] = {"tmp", "usbdongle", "instrumentData", "log"};

bool InTmp(const std::string& path)
{
    return path == "/tmp" || path.compare(0, 5, "/tmp/") == 0;
}

// A recorded path (%XX for odd bytes) as it is.
std::string Decoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string HexBytes(const std::string& hex)
{
    std::string out;
    if (hex == "-") return out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
}

// The tree of the directory `dir` on the host under the instrument path
// `at` into *tree.
void LoadTree(const std::string& dir, const std::string& at, FileTree* tree)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return;
    tree->nodes[at] = FileNode{FileNode::Dir, ""};
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = at + "/" + fs::relative(it->path(), dir, ec).string();
        if (it->is_symlink(ec)) tree->nodes[path] = FileNode{FileNode::Link, fs::read_symlink(it->path(), ec).string()};
        else if (it->is_directory(ec)) tree->nodes[path] = FileNode{FileNode::Dir, ""};
        else tree->nodes[path] = FileNode{FileNode::File, ReadTextOr(it->path().string(), "")};
    }
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// A hash of one node where it is (0 for none).
size_t NodeHash(const std::string& path, const FileNode* node)
{
    if (node == nullptr) return 0;
    const size_t h = std::hash<std::string>()(path) * 31 + std::hash<std::string>()(node->bytes) * 7 +
                     static_cast<size_t>(node->kind);
    return h == 0 ? 1 : h;
}

// The bus writes of the flash a state holds: the reference's count then,
// every count from the writing's end on the same.
uint64_t FlashKey(const Reference& ref, uint64_t bus)
{
    return bus >= ref.plan.writes ? ref.plan.writes : bus;
}

}  // namespace

// The tree's nodes under `path` (itself included).
std::vector<std::string> FileTree::Under(const std::string& path) const
{
    std::vector<std::string> found;
    for (auto it = nodes.lower_bound(path); it != nodes.end(); ++it) {
        if (it->first != path && it->first.compare(0, path.size() + 1, path + "/") != 0) break;
        found.push_back(it->first);
    }
    return found;
}

void FileTree::Set(const std::string& path, const FileNode* node)
{
    if (!InTmp(path)) {
        const auto it = nodes.find(path);
        hash ^= NodeHash(path, it == nodes.end() ? nullptr : &it->second);
        hash ^= NodeHash(path, node);
    }
    if (node == nullptr) nodes.erase(path);
    else nodes[path] = *node;
}

// Applies one operation; false (with the reason) when the tree cannot
// have allowed it (the recording and the tree disagree).
bool FileTree::Apply(const FileOp& op, std::string* why)
{
    const auto it = nodes.find(op.path);
    const bool exists = it != nodes.end();
    auto fail = [&](const std::string& reason) {
        *why = "operation " + std::to_string(op.number) + " (" + FileOpLabel(op) + "): " + reason;
        return false;
    };
    if (!nodes.count(Parent(op.path))) return fail(Parent(op.path) + " is not there");
    if (op.op == "create" || op.op == "mkdir" || op.op == "symlink") {
        if (exists) return fail(op.path + " is there already");
        const FileNode node{op.op == "create" ? FileNode::File : op.op == "mkdir" ? FileNode::Dir : FileNode::Link,
                            op.op == "symlink" ? op.path2 : ""};
        Set(op.path, &node);
        return true;
    }
    if (!exists) return fail(op.path + " is not there");
    FileNode node = it->second;
    if (op.op == "unlink" || op.op == "rmdir") {
        if ((op.op == "rmdir") != (node.kind == FileNode::Dir) || Under(op.path).size() > 1) {
            return fail(op.path + " cannot be removed so");
        }
        Set(op.path, nullptr);
        return true;
    }
    if (op.op == "rename") {
        if (!nodes.count(Parent(op.path2))) return fail(Parent(op.path2) + " is not there");
        for (const auto& p : Under(op.path2)) Set(p, nullptr);
        for (const auto& p : Under(op.path)) {
            const FileNode moved = nodes[p];
            Set(p, nullptr);
            Set(op.path2 + p.substr(op.path.size()), &moved);
        }
        return true;
    }
    if (node.kind != FileNode::File) return fail(op.path + " is no file");
    if (op.op == "truncate") {
        node.bytes.resize(op.offset, '\0');
    } else if (op.op == "write" || op.op == "copy") {
        std::string data = op.data;
        if (op.op == "copy") {
            const auto src = nodes.find(op.path2);
            if (src == nodes.end() || src->second.kind != FileNode::File) return fail(op.path2 + " is no file");
            if (op.offset2 + op.size > src->second.bytes.size()) return fail(op.path2 + " is shorter than the copy");
            data = src->second.bytes.substr(op.offset2, op.size);
        }
        if (node.bytes.size() < op.offset + data.size()) node.bytes.resize(op.offset + data.size(), '\0');
        node.bytes.replace(op.offset, data.size(), data);
    } else {
        return fail("unknown operation");
    }
    Set(op.path, &node);
    return true;
}

// The tree of the instrument's directories of the state directory `root`.
FileTree TreeOf(const std::string& root, const std::string& tmp)
{
    FileTree tree;
    tree.nodes["/"] = FileNode{FileNode::Dir, ""};
    for (const char* d : kDirs) {
        const std::string dir = std::string(d) == "tmp" && !tmp.empty() ? tmp : root + "/" + d;
        LoadTree(dir, std::string("/") + d, &tree);
    }
    for (const auto& kv : tree.nodes) tree.hash ^= InTmp(kv.first) ? 0 : NodeHash(kv.first, &kv.second);
    return tree;
}

std::vector<FileOp> ReadFileOps(const std::string& path)
{
    std::vector<FileOp> ops;
    std::istringstream in(ReadTextOr(path, ""));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        FileOp op;
        std::string a, b;
        if (!(l >> op.number >> op.pid >> op.program >> op.seconds >> op.busWritesBefore >> op.op >> a)) continue;
        op.path = Decoded(a);
        if (op.op == "create" || op.op == "mkdir") {
            l >> std::oct >> op.mode;
        } else if (op.op == "truncate") {
            l >> op.offset;
        } else if (op.op == "write") {
            l >> op.offset >> b;
            op.data = HexBytes(b);
            op.size = op.data.size();
        } else if (op.op == "copy") {
            l >> op.offset >> b >> op.offset2 >> op.size;
            op.path2 = Decoded(b);
        } else if (op.op == "rename") {
            l >> b;
            op.path2 = Decoded(b);
        } else if (op.op == "symlink") {
            // "symlink TARGET PATH": the path is the link's.
            l >> b;
            op.path2 = op.path;
            op.path = Decoded(b);
        }
        ops.push_back(op);
    }
    std::sort(ops.begin(), ops.end(), [](const FileOp& x, const FileOp& y) { return x.number < y.number; });
    return ops;
}

std::string FileOpLabel(const FileOp& op)
{
    std::string text = op.program + ": ";
    if (op.op == "write") {
        text += "write " + std::to_string(op.size) + " bytes to " + op.path + " at " + std::to_string(op.offset);
    } else if (op.op == "copy") {
        text += "copy " + std::to_string(op.size) + " bytes of " + op.path2 + " to " + op.path + " at " +
                std::to_string(op.offset);
    } else if (op.op == "truncate") {
        text += "truncate " + op.path + " to " + std::to_string(op.offset) + " bytes";
    } else if (op.op == "rename") {
        text += "rename " + op.path + " to " + op.path2;
    } else if (op.op == "symlink") {
        text += "link " + op.path + " to " + op.path2;
    } else {
        text += op.op + " " + op.path;
    }
    return text;
}

// The file states of the reference run: every operation applied in turn to
// the files as the updater found them; equal states (the files outside
// /tmp, which a restart empties, and the flash) found once. Sets
// ref->fileStates and ref->stateAfter; on a recording that does not give
// the files the reference run left, ref->fileOpsWhy.
void MakeFileStates(Reference* ref)
{
    FileTree tree = ref->startTree;
    const FileTree& start = ref->startTree;
    std::unordered_multimap<size_t, size_t> seen;   // hash -> state
    ref->stateAfter.assign(ref->fileOps.size() + 1, 0);
    auto flashKey = [&](uint64_t bus) { return FlashKey(*ref, bus); };
    for (size_t n = 0; n <= ref->fileOps.size(); ++n) {
        std::string why;
        if (n > 0 && !tree.Apply(ref->fileOps[n - 1], &why)) {
            ref->fileOpsWhy = "the recording of the reference run's file operations does not fit its files: " + why;
            return;
        }
        FileState state;
        state.bus = n == 0 ? 0 : flashKey(ref->fileOps[n - 1].busWritesBefore);
        state.firstOp = n;
        const size_t h = tree.hash ^ std::hash<uint64_t>()(state.bus);
        // The state as changes against the start, outside /tmp.
        for (const auto& kv : tree.nodes) {
            if (InTmp(kv.first)) continue;
            const auto it = start.nodes.find(kv.first);
            if (it == start.nodes.end() || !(it->second == kv.second)) state.changed[kv.first] = kv.second;
        }
        for (const auto& kv : start.nodes) {
            if (!InTmp(kv.first) && !tree.nodes.count(kv.first)) state.removed.push_back(kv.first);
        }
        size_t index = ref->fileStates.size();
        const auto range = seen.equal_range(h);
        for (auto it = range.first; it != range.second; ++it) {
            const FileState& s = ref->fileStates[it->second];
            if (SameFiles(s, state)) index = it->second;
        }
        if (index == ref->fileStates.size()) {
            seen.emplace(h, index);
            ref->fileStates.push_back(std::move(state));
        }
        ref->stateAfter[n] = index;
    }
    // The whole recording must give the files the reference run left (but
    // the medium's packages, which the start-up GUI takes out, not the
    // update).
    const FileTree end = TreeOf(ref->referenceDir);
    auto package = [](const std::string& p) {
        return p.compare(0, 15, "/usbdongle/file") == 0 && p.find('/', 11) == std::string::npos;
    };
    auto differs = [&](const std::string& path, const std::string& how) {
        ref->fileOpsWhy = "the recording of the reference run's file operations does not give the files it left: " +
                          path + how;
    };
    for (const auto& kv : tree.nodes) {
        const auto it = end.nodes.find(kv.first);
        if (package(kv.first) || (it != end.nodes.end() && it->second == kv.second)) continue;
        differs(kv.first, it == end.nodes.end() ? " is not there after the run" : " differs");
        return;
    }
    for (const auto& kv : end.nodes) {
        if (package(kv.first) || tree.nodes.count(kv.first)) continue;
        differs(kv.first, " is missing from the recording");
        return;
    }
}

// The instrument as a cut after `n` file operations leaves it, on the
// worker's: the files before the update with the operations up to it
// done (outside /tmp: every run of the restart starts with /tmp empty),
// the flash as the reference run had left it then (*flash).
bool BuildFileState(const Reference& ref, const FileState& state, const std::vector<uint8_t>& flash, Worker* wk,
                    std::string* why)
{
    if (RefreshInstrument(ref.base, wk, why) != 0 || !PutFlash(wk, flash, why)) return false;
    for (const auto& path : state.removed) {
        if (!RemoveTree(wk->root + path, why)) return false;
    }
    for (const auto& kv : state.changed) {
        const std::string host = wk->root + kv.first;
        const FileNode& node = kv.second;
        bool ok = true;
        if (node.kind == FileNode::Dir) {
            ok = (IsDirectory(host) || (RemoveTree(host), MakeDirs(host, why)));
        } else {
            RemoveTree(host);
            ok = MakeDirs(DirOf(host), why) &&
                 (node.kind == FileNode::File
                      ? WriteBytes(host, node.bytes.data(), node.bytes.size(), 0644, why)
                      : symlink(node.bytes.c_str(), host.c_str()) == 0);
        }
        if (!ok) {
            if (why->empty()) *why = "cannot make " + host;
            return false;
        }
    }
    return true;
}

bool SameFiles(const FileState& a, const FileState& b)
{
    return a.bus == b.bus && a.changed == b.changed && a.removed == b.removed;
}

size_t HashOf(const FileState& s)
{
    size_t h = std::hash<uint64_t>()(s.bus);
    for (const auto& kv : s.changed) h = h * 1000003u ^ NodeHash(kv.first, &kv.second);
    for (const auto& path : s.removed) h = h * 1000003u ^ std::hash<std::string>()(path);
    return h;
}

size_t FlashCutFiles(const Reference& ref, uint64_t write)
{
    if (!ref.flashFiles) return 0;
    // The operations' counts never go down: the updater makes them one
    // after the other, and a command it starts runs while it waits.
    const auto after = std::partition_point(ref.fileOps.begin(), ref.fileOps.end(),
                                            [&](const FileOp& op) { return op.busWritesBefore < write; });
    return ref.stateAfter[static_cast<size_t>(after - ref.fileOps.begin())];
}

bool LogCutBuilt(const Reference& ref, const LogWrite& w)
{
    return ref.fileOpsWhy.empty() && w.fileOp >= 1 && w.fileOp <= ref.fileOps.size() &&
           ref.fileOps[w.fileOp - 1].op == "write";
}

FileState LogCutFiles(const Reference& ref, const LogWrite& w, uint64_t keep)
{
    const FileOp& op = ref.fileOps[w.fileOp - 1];
    FileState s = ref.fileStates[ref.stateAfter[w.fileOp - 1]];
    s.bus = FlashKey(ref, op.busWritesBefore);
    s.firstOp = w.fileOp - 1;
    const auto start = ref.startTree.nodes.find(op.path);
    const auto held = s.changed.find(op.path);
    FileNode node = held != s.changed.end() ? held->second : start != ref.startTree.nodes.end() ? start->second : FileNode{};
    const std::string data = op.data.substr(0, std::min<uint64_t>(keep, op.data.size()));
    if (node.bytes.size() < op.offset + data.size()) node.bytes.resize(op.offset + data.size(), '\0');
    node.bytes.replace(op.offset, data.size(), data);
    // Kept as a change against the files before the update, as every state.
    if (start != ref.startTree.nodes.end() && start->second == node) s.changed.erase(op.path);
    else s.changed[op.path] = node;
    return s;
}

// Every file of the tree `dir` (but the flash and the simulator's own
// records) with its content.
std::map<std::string, std::string> FilesOf(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir, ec).string();
        if (rel == "norflash" || rel == "sim" || rel.compare(0, 4, "sim/") == 0) continue;
        if (it->is_symlink(ec)) files[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (it->is_regular_file(ec)) files[rel] = ReadTextOr(it->path().string(), "");
        else files[rel] = "(directory)";
    }
    return files;
}

}  // namespace sweep
}  // namespace swsim
