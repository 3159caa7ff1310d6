// swsim create: a new simulated instrument in a state directory.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "SimFiles.h"
#include "SimState.h"
#include "SwsimCommands.h"

namespace swsim {

void AddCreateCommand(Commands& c)
{
    auto state = std::make_shared<std::string>();
    auto o = std::make_shared<CreateOptions>();
    CLI::App* sub = AddCommand(c, "create", "a new instrument in the state directory STATE", [state, o] {
        std::string why;
        if (CreateInstrument(*state, *o, &why) != 0) return Fail(why);
        std::printf("instrument created in %s: running version %s, installed %s, %s\n",
                    AbsolutePath(*state).c_str(), o->version.c_str(),
                    (o->installed.empty() ? o->version : o->installed).c_str(),
                    o->market.empty() ? "no Market.ini (internal)" : ("market " + o->market).c_str());
        return 0;
    });
    sub->add_option("STATE", *state, "state directory")->required();
    sub->add_option("--version", o->version, "running version")->capture_default_str();
    sub->add_option("--installed", o->installed, "installed version (default: the running one)");
    sub->add_option("--market", o->market, "market setting (default: none, the instrument is internal)");
    sub->add_option("--corrupt-log", o->corruptLogs, "a log with one record's CRC wrong")->take_all();
    sub->add_option("--truncate-log", o->truncateLogs, "a log half a record short")->take_all();
    sub->add_flag("--mounted", o->mounted,
                  "the partitions' file systems mounted, as on an instrument in the field (/app, /fonts exist)");
    sub->add_flag("--force", o->force, "clear a state directory swsim made before");
}

}  // namespace swsim
