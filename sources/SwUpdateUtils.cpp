#include "SwUpdateUtils.h"

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Trace.h"

const char* const NoVersionFound = "No version found";

namespace {

const char* const kNewVersionFile = "/tmp/swVersion";
const char* const kCurrentVersionFile = "/log/swVersion/swVersion";
const char* const kMarketFile = "/instrumentData/Inifiles/Market.ini";
const char* const kMarketInternal = "Market=Internal";
const char* const kMsdFile = "/usbdongle/file0";
const char* const kEstimateFile = "/tmp/estUpdateTime";
const char* const kBackupScript = "/tmp/SwUpdate_backup.sh";

// Size of the buffers into which single commands are formatted.
constexpr int kCmdBufSize = 256;

// Formats a command into a 256-byte buffer and runs it. A command that does
// not fit is refused: a command cut short could do more than was asked (an
// "rm -rf" of a shortened path).
__attribute__((format(printf, 1, 2))) void RunFormattedCommand(const char* format, ...)
{
    char cmdBuf[kCmdBufSize];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(cmdBuf, sizeof cmdBuf, format, args);
    va_end(args);
    if (length < 0 || length >= kCmdBufSize) {
        TRACE("Command too long (%d characters, at most %d), not run: %s\n", length,
              kCmdBufSize - 1, cmdBuf);
        return;
    }
    CmdRun(cmdBuf);
}

// Reads a version file: its text, or NoVersionFound when missing or empty.
char* ReadVersionFile(const char* path, const char* foundFormat, const char* missingText)
{
    char* text = ReadTextFileToBuffer(path);
    if (text != nullptr) {
        TRACE(foundFormat, text);
        return text;
    }
    TRACE("%s", missingText);
    return const_cast<char*>(NoVersionFound);
}

bool IsNoVersionFound(const char* version)
{
    return std::strcmp(version, NoVersionFound) == 0;
}

}  // namespace

int ReadFile(const char* fileName, char* buffer, int size)
{
    assert(buffer != NULL);
    assert(size >= 0);
    std::memset(buffer, 0, static_cast<size_t>(size));

    // Opened for reading only: a version or market file on a read-only medium
    // must read as its content, not as an empty text.
    const int fd = open(fileName, O_RDONLY);
    TRACE("reading from file %s\n", fileName);
    if (fd < 0) {
        TRACE("error opening file\n");
        return 0;
    }
    const int result = static_cast<int>(read(fd, buffer, static_cast<size_t>(size)));
    if (result == 0) {
        TRACE("nothing read\n");
    } else if (result == -1) {
        TRACE("Error %s\n", std::strerror(errno));
    }
    close(fd);
    TRACE("Read %s (bytes = %i)\n", buffer, result);
    return result;
}

int GetFileSize(const char* filename)
{
    struct stat st;
    if (stat(filename, &st) != 0) {
        return 0;
    }
    const int size = static_cast<int>(static_cast<unsigned int>(st.st_size & 0xFFFFFFFF));
    TRACE("\nfilesize is: %d\n", size);
    return size;
}

char* ReadTextFileToBuffer(const char* fileName)
{
    const int size = GetFileSize(fileName);
    // A size that does not fit a positive int (the low 32 bits of a file of
    // 2 GiB or more) cannot be read into one block: no text, as for a
    // missing file, instead of a failed allocation or a negative read size.
    if (size <= 0) {
        return nullptr;
    }
    char* block = static_cast<char*>(std::calloc(static_cast<size_t>(size) + 10, 1));
    if (block == nullptr) {
        TRACE("no memory to read %s (%d bytes)\n", fileName, size);
        return nullptr;
    }
    ReadFile(fileName, block, size);
    return block;
}

float StringToFloat(const char* string)
{
    float value = 0.0f;
    std::sscanf(string, "%f", &value);
    return value;
}

int IsMarketVersionInternal(void)
{
    char* text = ReadTextFileToBuffer(kMarketFile);
    if (text == nullptr) {
        TRACE("No market.ini exists!\n");
        return 1;
    }
    int internal = 0;
    if (std::strstr(text, kMarketInternal) != nullptr) {
        TRACE("market ini info is: %s\n", text);
        internal = 1;
    }
    std::free(text);
    return internal;
}

int IsUpdate(void)
{
    char* current = GetCurrVer(kCurrentVersionFile);
    char* delivered = GetNewVer();
    int decision;
    if (IsNoVersionFound(current)) {
        decision = 1;
    } else if (IsNoVersionFound(delivered)) {
        decision = 0;
    } else {
        decision = StringToFloat(current) <= StringToFloat(delivered) ? 1 : 0;
    }
    ReleaseVersion(current);
    ReleaseVersion(delivered);
    return decision;
}

char* GetNewVer(void)
{
    return ReadVersionFile(kNewVersionFile, "new SW version is %s\n",
                           "new application version file could not be found\n");
}

char* GetCurrVer(const char* versionfile)
{
    return ReadVersionFile(versionfile, "current SW version is %s\n",
                           "current SWversion file could not be found\n");
}

void ReleaseVersion(char* version)
{
    if (version != nullptr && !IsNoVersionFound(version)) {
        std::free(version);
    }
}

int CmdRun(const char* cmdLine)
{
    char* command = strdup(cmdLine);
    if (command == nullptr) {
        TRACE("Command not run, no memory for it (%zu characters)\n", std::strlen(cmdLine));
        return -1;
    }
    TRACE("Running command: %s\n", command);
    const int status = std::system(command);
    if (status == -1) {
        TRACE("Command failed(command could not be loaded) : %s\n", command);
    } else if (status != 0) {
        TRACE("Command failed(with commandStatus) : %s (%d)\n", command, status);
    }
    std::free(command);
    return status;
}

int IsMsdPresent(void)
{
    const int fd = open(kMsdFile, O_RDONLY);
    TRACE("MSD attached fil descriptor is %d\n", fd);
    if (fd < 0) {
        return 0;
    }
    close(fd);
    return 1;
}

void WaitForMsdRemoved(void)
{
    while (IsMsdPresent() == 1) {
        sleep(2);
    }
}

void SystemReboot(void)
{
    CmdRun("nonblock-realtest_arm o");
}

void BackupLogFiles(const char* backupfiles)
{
    if (backupfiles == nullptr) {
        return;
    }
    const size_t size = std::strlen(backupfiles) + std::strlen(kBackupScript) + 10;
    char* command = static_cast<char*>(std::malloc(size));
    if (command == nullptr) {
        TRACE("error allocation bupfile string");
        return;
    }
    std::snprintf(command, size, ". %s \"%s\"", kBackupScript, backupfiles);
    CmdRun(command);
    std::free(command);
}

void CopyFile(const char* dst, const char* src)
{
    RunFormattedCommand("cp -f %s %s", src, dst);
}

void RemoveFile(const char* dst)
{
    RunFormattedCommand("rm -rf %s", dst);
}

int GetEstUpdateTime(void)
{
    char* text = ReadTextFileToBuffer(kEstimateFile);
    if (text == nullptr) {
        // No estimate delivered: the progress display gets 0 seconds.
        return 0;
    }
    const int seconds = std::atoi(text);
    std::free(text);
    return seconds;
}

void SetRedStatusLED(unsigned int OnOff)
{
    RunFormattedCommand("%s %d", "/proc/boot/nonblock-realtest_arm m 0", static_cast<int>(OnOff & 1u));
}

void RestartFlashDriver(void)
{
    TRACE("Slaying flash driver\n");
    CmdRun("slay -f devf-s3c2400-p3");
    sleep(5);
    TRACE("Restarting flash driver.\n");
    CmdRun("devf-s3c2400-p3 -r -u2 -b5 -i 1,0");
    TRACE("Wating for restart...\n");
    CmdRun("waitfor /dev/fs1");
    TRACE("Flash driver has been restarted!.\n");
}
