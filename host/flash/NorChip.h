// The simulated NOR flash chip behind the host's device-memory calls.
//
// A 16 MiB x16 chip of 128 blocks of 128 KiB with the Intel/Sharp command
// set, whose content is the file /dev/norflash (byte i = physical offset i,
// 16-bit words little-endian). It is driven only by the 16-bit bus accesses
// of in16()/out16() (DeviceMemory.h); this header is for tests, the
// simulator and tools that set it up, inspect it or inject faults.
//
// Emulated:
//   Read Array 0xFF, Read Status Register 0x70, Clear Status Register 0x50
//   (clears bits 5, 4, 3, 1; the read mode stays), Block Erase 0x20/0xD0
//   (block becomes 0xFFFF), Word Program 0x40 or 0x10 then data (the stored
//   word becomes old AND data), Clear Block Lock-Bits 0x60/0xD0 (one command
//   clears every block's lock bit). A confirm other than 0xD0 is a command
//   sequence error (bits 5 and 4). Every block is locked at power-up; an
//   erase or program of a locked block fails with bit 1 and bit 5 (erase) or
//   bit 4 (program) and changes nothing. After any of those commands, and
//   after 0x70, reads return the status register until 0xFF is written.
//   Error bits accumulate until Clear Status Register. Commands are taken
//   from the low byte of the written word, as the chip does on a x16 bus.
//   While the chip is busy only 0x70 is accepted; any other write is
//   ignored and counted as a protocol violation (NorChipStats).
//
// Timing: a block erase, a word program and a lock-bit clearing keep the
// chip busy (status bit 7 clear, writes other than 0x70 ignored) for the
// durations of NorTiming, measured on the process's monotonic clock from the
// bus write that starts the operation (an erase or program of a locked block
// is refused at once); with a busy-polls fault an operation is ready only
// once both its time has passed and that many status reads found it busy. Under a simulated clock (libfaketime) the wait costs
// a fraction of its length. Reads in array mode are never busy.
//
// NOT emulated:
//   - variation of the durations (every erase takes the same time), suspend;
//   - Read Identifier (0x90), Read Query (0x98), suspend/resume (0xB0,
//     0xD0 alone), buffered programming (0xE8), setting lock bits (0x60/0x01),
//     lock-down, protection registers, configuration commands: these are
//     ignored and counted as protocol violations;
//   - power loss at an arbitrary moment: the content file is written through
//     as each word changes, so a killed process leaves the chip as its last
//     completed bus write left it. Only the power cut below models an
//     interrupted operation;
//   - the upper byte of command writes (ignored, as on the bus);
//   - more than one chip, other geometries, other bus widths;
//   - concurrent use: the model is for one thread.
//
// Power cut (tests of power loss): when the environment variable
// NORFLASH_POWER_CUT holds a number N >= 1 as the chip starts on its own at
// the first mapping (the default configuration, which is how the updater
// starts it; an explicit NorChipPowerUp takes NorChipConfig::powerCutAtWrite
// instead and ignores the variable), power goes at the chip's N-th bus write
// since power-up. That write is cut short:
//   - the confirm that starts a block erase erases only a prefix of the
//     block (0 to all of its words); the rest keeps its content;
//   - the data write of a word program clears only some of the bits it
//     would clear;
//   - any other write does not reach the chip;
// then the process is ended with SIGKILL. The amount done is drawn from a
// generator seeded with N alone, so N replays the same cut exactly. A value
// that is not a whole number >= 1 is reported on standard error and ignored.
//
// First touches (a restart whose outcome may stand for other flash states):
// a chip given a first-touch map records, for each word of the array, how
// the chip first came to it since the map was made: read in array mode,
// erased, or programmed; and whether it was erased at all (an operation
// refused or failed leaves the word untouched; a cut operation touches what
// it reached). Status reads touch nothing. The map is a file of one byte a
// word (NorTouch) after a header that counts the chips that took it (one
// 64-bit number at its start): it is shared by every process whose chip maps
// it, so that it covers every process of a run in turn, and a reader can
// tell whether anything but those chips opened the flash file. The chip
// that starts on its own takes it from NORFLASH_FIRST_TOUCH,
// "FD:DEVICE:INODE": a descriptor the process inherited, open for reading
// and writing on a file of kTouchMapSize bytes, taken only when it is that
// file (a descriptor number reused for something else is left alone).
#ifndef HOST_NOR_CHIP_H
#define HOST_NOR_CHIP_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace norsim {

constexpr uint32_t kChipSize = 0x1000000;   // 16 MiB
constexpr uint32_t kBlockSize = 0x20000;    // 128 KiB
constexpr int kBlockCount = 128;

// Injected faults, per block where a block is named. A status fault value
// of -1 means none; an injected status always has bit 7 (ready) set.
struct NorFaults {
    std::array<int32_t, kBlockCount> eraseStatus;    // erase ends so, block unchanged
    std::array<int32_t, kBlockCount> programStatus;  // program ends so, word unchanged
    std::array<bool, kBlockCount> eraseNeverReady{};
    std::array<bool, kBlockCount> programNeverReady{};
    std::array<bool, kBlockCount> mapFail{};         // windows covering the block fail
    int32_t unlockStatus = -1;                       // lock-bit clearing ends so, clears nothing
    uint32_t busyPolls = 0;                          // busy status reads per operation
    NorFaults() { eraseStatus.fill(-1); programStatus.fill(-1); }
};

// Parses the text of a fault file. Returns 0, or -1 with "line N: reason" in
// *error for the first malformed line. Faults add to those already in *out.
int ParseFaultText(const std::string& text, NorFaults* out, std::string* error);

// How long operations keep the chip busy. The defaults are typical
// datasheet figures of 128-Mbit x16 NOR chips with this command set: a
// 128-KiB block erase about 1 s (maximum several seconds), a single-word
// program 10-15 us on single-level-cell parts, a lock-bit clearing about
// 0.5 s. Zero durations make every operation ready at once (tests and
// benchmarks that only look at bus sequences and content).
struct NorTiming {
    double eraseSeconds = 1.0;
    double programSeconds = 12e-6;
    double unlockSeconds = 0.5;
    static NorTiming Off() { return NorTiming{0, 0, 0}; }
    bool off() const { return eraseSeconds <= 0 && programSeconds <= 0 && unlockSeconds <= 0; }
};

// Reads a timing text: "typical" (the defaults), "off", or the three
// durations "ERASE,PROGRAM,UNLOCK" in seconds (e.g. "2,30e-6,0.7"). Returns
// 0, or -1 with the reason in *error.
int ParseTimingText(const std::string& text, NorTiming* out, std::string* error);

// How the chip first came to a word (the first-touch map above): the low
// two bits; kTouchErased is added once the word was erased.
enum class NorTouch : uint8_t { None = 0, Read = 1, Erase = 2, Program = 3 };
constexpr uint8_t kTouchFirst = 3;
constexpr uint8_t kTouchErased = 4;
constexpr uint32_t kTouchHeaderSize = 4096;                         // the count of chips, then room
constexpr uint32_t kTouchMapSize = kTouchHeaderSize + kChipSize / 2;  // then one byte a word

// The chip's configuration: where its content and fault file are, and faults
// given programmatically (added to those of the file).
struct NorChipConfig {
    std::string flashPath = "/dev/norflash";
    std::string faultPath = "/dev/norflash.faults";  // optional; "" for none
    NorFaults faults;
    uint64_t powerCutAtWrite = 0;  // power goes at this bus write (1 = first); 0: never
    // Explicitly started chips (tests, tools, benchmarks, replays) are
    // instantly ready unless given a timing; the chip that starts on its
    // own at the first mapping, as in the updater, takes NORFLASH_TIMING
    // (a timing text, see ParseTimingText; default "typical").
    NorTiming timing = NorTiming::Off();
    // A first-touch map, open for reading and writing (-1: none); the chip
    // maps it and does not keep the descriptor.
    int firstTouchFd = -1;
};

// Starts the chip (power-up): opens the content file, reads the fault file,
// locks every block, clears the status register, read mode array. Windows
// still mapped from an earlier chip are released. Returns 0, or -1 with the
// reason in *why (when not null): the chip is then absent and every mapping
// fails. Without an explicit start, the first mapping starts the chip with
// the default configuration (the fixed paths inside the instrument root).
int NorChipPowerUp(const NorChipConfig& config, std::string* why);

// Stops the chip: releases its windows and its content file. The next
// mapping starts it again with the default configuration.
void NorChipPowerDown();

// Replaces the injected faults of the running chip.
void NorChipSetFaults(const NorFaults& faults);

// One bus access as the recorder sees it: physical address and value.
struct BusAccess {
    bool write;
    uint32_t address;
    uint16_t value;
    bool operator==(const BusAccess& o) const {
        return write == o.write && address == o.address && value == o.value;
    }
};

// Every bus access is appended to *log while a recorder is attached
// (nullptr detaches).
void NorChipSetRecorder(std::vector<BusAccess>* log);

// What a bus write does, following the command sequence: a command of its
// own (read array, read status, clear status, or the setup of an erase, a
// program or a lock-bit clearing), the erase confirm (0xD0 after 0x20), the
// data write after a program setup (0x40 or 0x10), the lock-bit confirm
// (0xD0 after 0x60), or a command sequence error (a setup followed by
// anything but 0xD0). The chip decodes every write it accepts with this;
// the simulator decodes recorded buses with it (an instantly ready chip
// accepts every write).
enum class NorWrite : uint8_t { Command, EraseConfirm, ProgramData, UnlockConfirm, SequenceError };

struct NorCommandDecoder {
    enum class Setup : uint8_t { None, Erase, Program, Unlock };
    Setup pending = Setup::None;

    NorWrite Next(uint16_t value)
    {
        const int command = value & 0xFF;
        const Setup p = pending;
        pending = Setup::None;
        switch (p) {
        case Setup::Program: return NorWrite::ProgramData;
        case Setup::Erase: return command == 0xD0 ? NorWrite::EraseConfirm : NorWrite::SequenceError;
        case Setup::Unlock: return command == 0xD0 ? NorWrite::UnlockConfirm : NorWrite::SequenceError;
        case Setup::None: break;
        }
        if (command == 0x20) pending = Setup::Erase;
        else if (command == 0x40 || command == 0x10) pending = Setup::Program;
        else if (command == 0x60) pending = Setup::Unlock;
        return NorWrite::Command;
    }
};

// One operation of a recorded bus: the bus write (numbered from 1 among the
// writes, as the chip counts them for a power cut) that starts an erase, a
// word program or a lock-bit clearing, with its address and value.
struct NorOperation {
    uint64_t write = 0;
    NorWrite kind = NorWrite::Command;
    uint32_t address = 0;
    uint16_t value = 0;
};

// The operations of a recorded bus, in order, and its number of bus writes.
std::vector<NorOperation> NorOperationsOf(const std::vector<BusAccess>& bus, uint64_t* writes);

// What a power cut at bus write N does to the operation that write starts
// (NORFLASH_POWER_CUT above), drawn from N alone: the words of the block an
// erase confirm erases (a prefix, 0 to the whole block), and the value a
// word program's data write `data` is ANDed into the stored word with (only
// some of the bits it would clear are cleared).
uint64_t NorCutErasedWords(uint64_t write);
uint16_t NorCutProgramValue(uint64_t write, uint16_t data);

struct NorChipStats {
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t violations = 0;  // writes while busy, unknown commands
    uint64_t erases = 0;      // block erases carried out (not failed ones)
    uint64_t programs = 0;    // word programs carried out
    double busySeconds = 0;   // time operations kept the chip busy (NorTiming)
};
NorChipStats NorChipGetStats();
void NorChipResetStats();

// Inspection without bus cycles (tests and tools): whether the chip is
// present, a block's lock bit, the word stored at an even physical offset,
// and whether reads currently return the status register.
bool NorChipPresent();
bool NorChipBlockLocked(int block);
uint16_t NorChipPeek(uint32_t physical);
bool NorChipInStatusMode();
int NorChipMappedWindows();

}  // namespace norsim

#endif
