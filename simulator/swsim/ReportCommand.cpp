// swsim report: the report on the last run, as text and as an HTML page.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "HtmlReport.h"
#include "Outputs.h"
#include "SimFiles.h"
#include "SimReport.h"
#include "SimState.h"
#include "SwsimCommands.h"

namespace swsim {

int PrintReport(const std::string& state, bool withTrace, RunFacts* facts, std::FILE* out)
{
    std::string text, why;
    if (MakeReport(state, &text, &why, facts) != 0) return Fail(why);
    std::fputs(text.c_str(), out);
    if (withTrace) {
        std::fprintf(out, "\n--- trace ---\n%s", ReadTextOr(StatePaths(state).trace(), "").c_str());
    }
    return 0;
}

void AddReportCommand(Commands& c)
{
    auto state = std::make_shared<std::string>();
    auto trace = std::make_shared<bool>(false);
    auto html = std::make_shared<std::string>();
    CLI::App* sub = AddCommand(c, "report", "the report on the last run", [state, trace, html] {
        std::string why;
        const std::vector<Output> outputs = {{"--html", *html}};
        if (!OutputsWritable(outputs, &why)) return UsageError(why);
        RunFacts facts;  // read once for both the text and the page
        const int rc = PrintReport(*state, *trace, &facts, ReportStream(outputs));
        if (rc != 0 || html->empty()) return rc;
        if (!WriteOutput(*html, HtmlReportText(facts), &why)) return Fail(why);
        if (*html != kStdoutPath) std::printf("\nHTML report: %s\n", AbsolutePath(*html).c_str());
        return 0;
    });
    sub->add_option("STATE", *state, "state directory")->required();
    sub->add_flag("--trace", *trace, "the updater's full trace too");
    sub->add_option("--html", *html, "also write the report as a self-contained HTML page to FILE (- for standard output; the text then goes to standard error)");
}

}  // namespace swsim
