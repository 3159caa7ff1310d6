// swsim medium: builds an update medium and inserts it into the instrument.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "SimFiles.h"
#include "SimMedium.h"
#include "SimState.h"
#include "SwsimCommands.h"

namespace swsim {

void AddMediumCommand(Commands& c)
{
    struct Args {
        std::string state, from;
        bool sample = false;
        SampleOptions so;
    };
    auto a = std::make_shared<Args>();
    CLI::App* sub = AddCommand(c, "medium", "build the update medium from DIR (or the sample) and insert it", [a] {
        const StatePaths s(a->state);
        if (a->sample == !a->from.empty()) return UsageError("medium needs exactly one of --from DIR and --sample");
        if (!PathExists(s.marker())) return Fail(s.root + " holds no simulated instrument (swsim create first)");
        std::string why, from = a->from;
        if (a->sample) {
            from = s.sim() + "/sample";
            RemoveTree(from);
            if (WriteSampleUpdate(from, a->so, &why) != 0) return Fail(why);
            std::printf("sample update %s written to %s\n", a->so.version.c_str(), from.c_str());
        }
        std::vector<std::string> lines;
        if (BuildMedium(from, s.medium(), &lines, &why) != 0) return Fail(why);
        if (InsertMedium(s.medium(), s.usbdongle(), &why) != 0) return Fail(why);
        std::printf("medium built in %s and inserted:\n", s.medium().c_str());
        for (const auto& l : lines) std::printf("  %s\n", l.c_str());
        return 0;
    });
    sub->add_option("STATE", a->state, "state directory")->required();
    sub->add_option("--from", a->from, "source directory of the update");
    sub->add_flag("--sample", a->sample, "use the built-in sample update");
    sub->add_option("--version", a->so.version, "version of the sample")->capture_default_str();
}

}  // namespace swsim
