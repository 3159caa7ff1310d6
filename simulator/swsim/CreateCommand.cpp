// swsim create: a new simulated instrument in a state directory, made fresh
// or from what a service engineer brought back from one.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "SimDump.h"
#include "SimFiles.h"
#include "SimState.h"
#include "SwsimCommands.h"

namespace swsim {

namespace {

struct CreateArgs {
    std::string state;
    CreateOptions o;
    DumpOptions dump;
    const CLI::App* sub = nullptr;  // the command, to tell which options were given
};

int CreateFromDumpCommand(const CreateArgs& a)
{
    for (const char* fresh : {"--version", "--installed", "--market", "--corrupt-log", "--truncate-log"}) {
        if (a.sub->count(fresh) > 0) {
            return UsageError(std::string(fresh) + " goes with a fresh instrument; one from a dump has its own");
        }
    }
    if (a.dump.data.empty()) return UsageError("--from-dump needs --data DIR|ARCHIVE (the copy of /instrumentData)");
    DumpOptions d = a.dump;
    d.mounted = a.o.mounted;
    d.force = a.o.force;
    DumpMade made;
    std::string why;
    const int rc = CreateFromDump(a.state, d, &made, &why);
    if (rc == kDumpWrong) return UsageError(why);
    if (rc != 0) return Fail(why);
    std::printf("instrument created in %s from the dump %s: running version %s, installed %s, %s\n",
                AbsolutePath(a.state).c_str(), d.flash.c_str(), made.running.c_str(), made.installed.c_str(),
                made.market.empty() ? "no Market.ini (internal)" : ("market " + made.market).c_str());
    return 0;
}

}  // namespace

void AddCreateCommand(Commands& c)
{
    auto a = std::make_shared<CreateArgs>();
    CLI::App* sub = AddCommand(c, "create", "a new instrument in the state directory STATE", [a] {
        const CreateOptions& o = a->o;
        if (!a->dump.flash.empty()) return CreateFromDumpCommand(*a);
        if (!a->dump.data.empty() || !a->dump.logs.empty()) return UsageError("--data and --logs go with --from-dump");
        std::string why;
        if (CreateInstrument(a->state, o, &why) != 0) return Fail(why);
        std::printf("instrument created in %s: running version %s, installed %s, %s\n",
                    AbsolutePath(a->state).c_str(), o.version.c_str(),
                    (o.installed.empty() ? o.version : o.installed).c_str(),
                    o.market.empty() ? "no Market.ini (internal)" : ("market " + o.market).c_str());
        return 0;
    });
    a->sub = sub;
    CreateOptions& o = a->o;
    sub->add_option("STATE", a->state, "state directory")->required();
    sub->add_option("--version", o.version, "running version")->capture_default_str();
    sub->add_option("--installed", o.installed, "installed version (default: the running one)");
    sub->add_option("--market", o.market, "market setting (default: none, the instrument is internal)");
    sub->add_option("--corrupt-log", o.corruptLogs, "a log with one record's CRC wrong")->take_all();
    sub->add_option("--truncate-log", o.truncateLogs, "a log half a record short")->take_all();
    sub->add_flag("--mounted", o.mounted,
                  "the partitions' file systems mounted, as on an instrument in the field (/app, /fonts exist)");
    sub->add_flag("--force", o.force, "clear a state directory swsim made before");
    sub->add_option("--from-dump", a->dump.flash, "make the instrument from a service dump: its 16 MiB flash image");
    sub->add_option("--data", a->dump.data,
                    "with --from-dump: the copy of /instrumentData (a directory or a tar archive, gzip or not)");
    sub->add_option("--logs", a->dump.logs,
                    "with --from-dump: the copy of /log (default: none; the running version is the installed one)");
}

}  // namespace swsim
