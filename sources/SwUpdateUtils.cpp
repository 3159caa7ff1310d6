#include "SwUpdateUtils.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SwUpdateFlash.h"
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
    // The assertion names its condition as "buffer != NULL".
    assert(buffer != NULL);  // NOLINT(modernize-use-nullptr)
    assert(size >= 0);
    std::memset(buffer, 0, static_cast<size_t>(size));

    // Opened for reading only: a version or market file on a read-only medium
    // must read as its content, not as an empty text.
    const int fd = open(fileName, O_RDONLY);
    TRACE("reading from file %s\n", fileName);
    if (fd < 0) {
        TRACE("error opening file\n");
        TRACE("Read %s (bytes = %i)\n", buffer, 0);
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

int StringToInt(const char* string, int* value)
{
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(string, &end, 10);
    if (errno == ERANGE || number > INT_MAX || number < INT_MIN) {
        *value = number < 0 ? INT_MIN : INT_MAX;
        return 0;
    }
    *value = static_cast<int>(number);
    return 1;
}

float StringToFloat(const char* string)
{
    float value = 0.0f;
    std::sscanf(string, "%f", &value);
    return value;
}

int SplitVersionNumbers(const char* text, int* major, int* minor)
{
    *major = 0;
    *minor = 0;
    int fits = StringToInt(text, major);
    const char* point = std::strchr(text, '.');
    if (point != nullptr) {
        fits &= StringToInt(point + 1, minor);
    }
    if (fits == 0) {
        *major = *major == INT_MIN ? INT_MAX : *major;
        *minor = *minor == INT_MIN ? INT_MAX : *minor;
    }
    return fits;
}

int IsMarketTextInternal(const char* text)
{
    return std::strstr(text, kMarketInternal) != nullptr ? 1 : 0;
}

int IsMarketVersionInternal(void)
{
    char* text = ReadTextFileToBuffer(kMarketFile);
    if (text == nullptr) {
        TRACE("No market.ini exists!\n");
        return 1;
    }
    int internal = 0;
    if (IsMarketTextInternal(text) == 1) {
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
    // The constant is told apart by its address: a version file whose text
    // is "No version found" gives a heap text equal to it in content, which
    // must still be released.
    if (version != nullptr && version != NoVersionFound) {
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
    // Running shell commands (copies, tar, scripts) is the runner's job.
    const int status = std::system(command);  // NOLINT(bugprone-command-processor)
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

int EstimateFromText(const char* text)
{
    int seconds = 0;
    if (StringToInt(text, &seconds) == 0 || seconds < 0) {
        // A duration the progress display cannot show: none at all.
        seconds = 0;
    }
    return seconds;
}

int GetEstUpdateTime(void)
{
    char* text = ReadTextFileToBuffer(kEstimateFile);
    if (text == nullptr) {
        // No estimate delivered: the progress display gets 0 seconds.
        return 0;
    }
    const int seconds = EstimateFromText(text);
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

// ===========================================================================
// Package unpacking and the flash map.
// ===========================================================================

namespace {

const char* const kFlashMapFile = "/tmp/flashMap";
const char* const kPartitionMarker = "Part";
const char* const kReleaseNameMarker = "RELEASE_NAME";
const char* const kTokenSeparators = " \n\t";
const char* const kOverwriteAllowed = "YES";
constexpr int kHighestStartKiB = 16000;

// Cuts the next line off the flash map text in place: *line receives the
// cursor, the line's LF (or the zero byte that ends it) is overwritten with
// NUL and the cursor moves just past it. After a last line without LF the
// cursor stands on the first spare zero byte behind the text, which the text
// reader guarantees.
void Getline(char** line, char** text)
{
    *line = *text;
    if (*text == nullptr) {
        return;
    }
    const size_t linelen = std::strcspn(*text, "\n");
    (*text)[linelen] = '\0';
    *text += linelen + 1;
}

// Writes the partition, or leaves an existing one alone unless the overwrite
// flag is exactly "YES". Returns 0 when its image was written only partly or
// not at all because of a failure, else 1 (written, left alone, or an image
// that cannot be opened: a version beginning "0." delivers file1 alone and
// may name images it does not carry).
int FlashPartition(const char* partition, int start, const char* overwrite)
{
    if (IsOverwriteAllowed(overwrite) == 1) {
        TRACE("Flashing: %s @ %i \n", partition, start);
        return FlashInit(partition, start) == 0 ? 0 : 1;
    }
    if (CheckPartitionExists(partition) == 1) {
        TRACE("Partion %s already exists and shall not be overwritten.", partition);
        TRACE("Continuing... \n");
        return 1;
    }
    TRACE("Partion %s does not exist and is to be written.", partition);
    return FlashInit(partition, start) == 0 ? 0 : 1;
}

}  // namespace

int ReadFlashMapLine(char** cursor, FlashMapLine_t* line)
{
    char* text = nullptr;
    Getline(&text, cursor);
    *line = FlashMapLine_t{nullptr, nullptr, nullptr, nullptr, 0, 0};
    if (text[0] == '#') {
        return FlashMapLine_Comment;
    }
    if (text[0] == '\r' || text[0] == '\0') {
        return FlashMapLine_Empty;  // an empty line, also of a CR LF file
    }
    if (std::strstr(text, kReleaseNameMarker) != nullptr) {
        return FlashMapLine_ReleaseName;
    }
    // strtok_r: the link's server thread runs meanwhile, and strtok's hidden
    // position is shared by the whole process.
    char* rest = nullptr;
    char** fields[] = {&line->partition, &line->startText, &line->crc, &line->overwrite};
    for (char** field : fields) {
        *field = strtok_r(line->fields == 0 ? text : nullptr, kTokenSeparators, &rest);
        if (*field == nullptr) {
            break;
        }
        line->fields++;
    }
    // A start that does not fit an int reads as INT_MAX or INT_MIN, which
    // lies outside the flash like any other start there.
    if (line->startText != nullptr) {
        StringToInt(line->startText, &line->start);
    }
    // A line cut short cannot say where the image goes or whether it may
    // overwrite: it is rejected like any invalid line.
    if (line->fields < 4 || std::strstr(line->partition, kPartitionMarker) == nullptr || line->start < 0 ||
        line->start > kHighestStartKiB) {
        return FlashMapLine_Rejected;
    }
    return FlashMapLine_Partition;
}

int IsOverwriteAllowed(const char* overwrite)
{
    return std::strcmp(overwrite, kOverwriteAllowed) == 0 ? 1 : 0;
}

char* GetDirNameFromPartName(const char* partition)
{
    char* copy = strdup(partition);
    if (copy == nullptr) {
        return nullptr;
    }
    char* marker = std::strstr(copy, kPartitionMarker);
    if (marker == nullptr) {
        std::free(copy);
        return nullptr;
    }
    *marker = '\0';
    const size_t length = std::strlen(copy) + 2;
    char* dir = static_cast<char*>(std::malloc(length));
    if (dir != nullptr) {
        std::snprintf(dir, length, "/%s", copy);
    }
    std::free(copy);
    return dir;
}

int GetExpectedNoOfPartFiles(const char* newSWVersion)
{
    if (newSWVersion == nullptr || IsNoVersionFound(newSWVersion)) {
        return 3;
    }
    if (std::strncmp(newSWVersion, "0.", 2) == 0) {
        return 1;
    }
    return 3;
}

int UnpackPartitionFiles(int noOfExpectedPartitionFiles)
{
    char cmdBuf[kCmdBufSize];
    int errorHasOccured = 0;

    // Each command runs in a shell of its own: this changes the directory of
    // no later command. The packages land in the working directory.
    std::snprintf(cmdBuf, sizeof cmdBuf, "cd /tmp");
    errorHasOccured |= CmdRun(cmdBuf);

    for (int i = 1; i <= noOfExpectedPartitionFiles; i++) {
        std::snprintf(cmdBuf, sizeof cmdBuf, "cp /usbdongle/file%i .", i);
        if (CmdRun(cmdBuf) == 0) {
            std::snprintf(cmdBuf, sizeof cmdBuf, "tar --gunzip -xvf file%i", i);
            errorHasOccured |= CmdRun(cmdBuf);
            std::snprintf(cmdBuf, sizeof cmdBuf, "rm -rf file%i", i);
            errorHasOccured |= CmdRun(cmdBuf);
        } else {
            errorHasOccured |= 1;
        }
    }

    const int unpackingWentOK = errorHasOccured == 0 ? 1 : 0;
    return unpackingWentOK;
}

int CheckPartitionExists(const char* partition)
{
    char* dir = GetDirNameFromPartName(partition);
    if (dir == nullptr) {
        TRACE("No mount directory for partition %s\n", partition);
        return 0;
    }
    int exists = 0;
    if (access(dir, F_OK) == 0) {
        TRACE("Directory %s exists\n", dir);
        exists = 1;
    } else {
        TRACE("Directory %s does not exist\n", dir);
    }
    std::free(dir);
    return exists;
}

int FlashPartitions(void)
{
    char* filebufStart = ReadTextFileToBuffer(kFlashMapFile);
    if (filebufStart == nullptr) {
        TRACE("Flash map %s is missing or empty: no partition is written\n", kFlashMapFile);
        return 0;
    }
    char* filebuf = filebufStart;
    int allWritten = 1;

    do {
        FlashMapLine_t line;
        const int kind = ReadFlashMapLine(&filebuf, &line);
        if (kind == FlashMapLine_Rejected) {
            TRACE("This is not a valid flash instruction: %s %i \n",
                  line.partition != nullptr ? line.partition : "", line.start);
        } else if (kind == FlashMapLine_Partition) {
            if (FlashPartition(line.partition, line.start, line.overwrite) == 0) {
                allWritten = 0;
            }
        }
    } while (*filebuf != '\0');

    std::free(filebufStart);
    return allWritten;
}
