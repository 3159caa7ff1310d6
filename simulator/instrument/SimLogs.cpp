#include "SimLogs.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "SimFiles.h"

namespace swsim {

const std::vector<LogSpec>& InstrumentLogs()
{
    static const std::vector<LogSpec> logs = {
        {"Diag.log", 50, 1000},
        {"CriticalDiag.log", 50, 1000},
        {"DisplayedError.log", 8, 1000},
        {"RevHistory.log", 100, 100},
    };
    return logs;
}

const LogSpec* FindLog(const std::string& name)
{
    for (const auto& spec : InstrumentLogs()) {
        if (name == spec.name) return &spec;
    }
    return nullptr;
}

uint32_t RecordSize(uint32_t infoLength)
{
    return (8 + infoLength + 3) / 4 * 4;
}

namespace {

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string TimeText(uint32_t t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

}  // namespace

std::vector<uint8_t> EmptyLog(const LogSpec& spec)
{
    std::vector<uint8_t> log(static_cast<size_t>(RecordSize(spec.infoLength)) * spec.records, 0);
    for (uint32_t pos = 0; pos < spec.records; ++pos) {
        PutRecord(&log, spec, pos, kEmptyRecordNo, {});
    }
    return log;
}

void PutRecord(std::vector<uint8_t>* log, const LogSpec& spec, uint32_t pos, uint32_t recordNo,
               const std::vector<uint8_t>& info)
{
    const uint32_t size = RecordSize(spec.infoLength);
    uint8_t* rec = log->data() + static_cast<size_t>(pos) * size;
    std::memset(rec, 0, size);
    Put32(rec + 4, recordNo);
    if (!info.empty()) std::memcpy(rec + 8, info.data(), std::min<size_t>(info.size(), spec.infoLength));
    Put32(rec, Crc32(rec + 4, size - 4));
}

DecodedLog DecodeLog(const std::vector<uint8_t>& bytes, bool present, const LogSpec& spec)
{
    DecodedLog out;
    out.present = present;
    out.size = bytes.size();
    const uint32_t size = RecordSize(spec.infoLength);
    out.lengthOk = present && bytes.size() >= static_cast<size_t>(size) * spec.records;
    for (uint32_t pos = 0; pos < spec.records && (pos + 1) * static_cast<size_t>(size) <= bytes.size(); ++pos) {
        const uint8_t* rec = bytes.data() + static_cast<size_t>(pos) * size;
        LogRecord r;
        r.position = pos;
        r.recordNo = Get32(rec + 4);
        r.crcOk = Get32(rec) == Crc32(rec + 4, size - 4);
        r.info.assign(rec + 8, rec + 8 + spec.infoLength);
        if (!r.crcOk) ++out.badCrcs;
        out.records.push_back(std::move(r));
    }
    return out;
}

std::vector<LogRecord> AddedRecords(const DecodedLog& before, const DecodedLog& after)
{
    std::map<uint32_t, const LogRecord*> old;
    for (const auto& r : before.records) old[r.position] = &r;
    std::vector<LogRecord> added;
    for (const auto& r : after.records) {
        if (r.empty()) continue;
        auto it = old.find(r.position);
        if (it != old.end() && it->second->recordNo == r.recordNo && it->second->info == r.info &&
            it->second->crcOk == r.crcOk) {
            continue;
        }
        added.push_back(r);
    }
    return added;
}

std::vector<uint8_t> RevisionEntry(uint32_t time, int major, int minor)
{
    std::vector<uint8_t> info(100, 0);
    Put32(info.data(), time);
    char text[16];
    std::snprintf(text, sizeof text, "%02i%02i", major, minor);
    std::memcpy(info.data() + 4, text, 4);
    return info;
}

std::vector<uint8_t> DiagEntry(uint32_t time, int32_t error, const std::vector<uint8_t>& params)
{
    std::vector<uint8_t> info(50, 0);
    Put32(info.data(), time);
    Put32(info.data() + 4, static_cast<uint32_t>(error));
    if (!params.empty()) std::memcpy(info.data() + 8, params.data(), std::min<size_t>(params.size(), 42));
    return info;
}

std::string DescribeRecord(const LogSpec& spec, const LogRecord& record)
{
    char head[64];
    std::snprintf(head, sizeof head, "record %u at position %u: ", record.recordNo, record.position);
    std::string line = head;
    if (!record.crcOk) line += "(CRC wrong) ";
    const uint8_t* info = record.info.data();
    const std::string name = spec.name;
    if (record.info.size() < 8) return line + "too short";
    line += TimeText(Get32(info));
    if (name == "RevHistory.log") {
        std::string digits(reinterpret_cast<const char*>(info + 4), 4);
        line += ", version " + digits;
        if (digits.find_first_not_of("0123456789") == std::string::npos) {
            line += " (" + std::to_string(std::stoi(digits.substr(0, 2))) + "." +
                    std::to_string(std::stoi(digits.substr(2, 2))) + ")";
        }
        return line;
    }
    if (name == "Diag.log" || name == "CriticalDiag.log") {
        const int32_t error = static_cast<int32_t>(Get32(info + 4));
        line += ", error " + std::to_string(error);
        if (error == kSelfTestLogCrcErr) line += " (log self-test checksum error)";
        if (name == "Diag.log") {
            const int32_t index = static_cast<int32_t>(Get32(info + 8));
            const int32_t status = static_cast<int32_t>(Get32(info + 12));
            bool restZero = true;
            for (size_t i = 16; i < record.info.size(); ++i) restZero = restZero && info[i] == 0;
            if (error == kSelfTestLogCrcErr && index >= 0 &&
                index < static_cast<int32_t>(InstrumentLogs().size())) {
                line += ": log " + std::string(InstrumentLogs()[index].name) + " recreated (status " +
                        std::to_string(status) + ")";
            } else {
                line += ", parameters";
                for (size_t i = 8; i < 16; ++i) {
                    char b[4];
                    std::snprintf(b, sizeof b, " %02x", info[i]);
                    line += b;
                }
                if (!restZero) line += " ...";
            }
        }
        return line;
    }
    line += ", data";
    for (size_t i = 4; i < record.info.size(); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, " %02x", info[i]);
        line += b;
    }
    return line;
}

}  // namespace swsim
