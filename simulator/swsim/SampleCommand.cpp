// swsim sample: the source directory of the built-in sample update.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "SimFiles.h"
#include "SimMedium.h"
#include "SwsimCommands.h"

namespace swsim {

void AddSampleCommand(Commands& c)
{
    auto dir = std::make_shared<std::string>();
    auto o = std::make_shared<SampleOptions>();
    CLI::App* sub = AddCommand(c, "sample", "the source directory of the built-in sample update", [dir, o] {
        std::string why;
        if (WriteSampleUpdate(*dir, *o, &why) != 0) return Fail(why);
        std::printf("sample update %s written to %s\n", o->version.c_str(), AbsolutePath(*dir).c_str());
        return 0;
    });
    sub->add_option("DIR", *dir, "directory to write (created; must be empty or missing)")->required();
    sub->add_option("--version", o->version, "the update's version")->capture_default_str();
}

}  // namespace swsim
