"""The report page of a run of the sample update, read in a browser: the
sector picture through the DOM (a written sector, a kept one, the partly
covered last sector of an image, untouched ones), the legend and the outcome;
then swsim check's page with a picture per fleet instrument.

usage: html_report_test.py SWSIM BUILD_DIR"""
import os
import sys

from browser_support import chromium, check, new_instrument, run_update, scratch, swsim


# (sector, state, why): the sample's flash map on a new instrument.
EXPECTED = [
    (0, "written", "first sector of ifsPart.bin"),
    (4, "written", "ifsPart.bin covers the whole sector"),
    (5, "partial", "ifsPart.bin (700 KiB) ends inside its sixth sector"),
    (6, "untouched", "behind ifsPart.bin's last sector"),
    (25, "partial", "appPart.bin (1200 KiB + 300 bytes) ends inside a sector"),
    (64, "kept", "instrumentDataPart.bin is kept (/instrumentData exists)"),
    (95, "kept", "last sector of instrumentDataPart.bin"),
    (96, "partial", "configPart.bin (100 KiB) in one sector"),
    (112, "partial", "fontsPart.bin starts 1 KiB into its sector"),
    (113, "written", "fontsPart.bin covers the whole sector"),
    (127, "untouched", "the flash's last sector"),
]


def main():
    exe, build = sys.argv[1], sys.argv[2]
    work = scratch(build, "html-report")
    state = os.path.join(work, "instrument")
    page = os.path.join(work, "report.html")
    browser = chromium(work, 1100, 2400)
    try:
        new_instrument(exe, state)
        run_update(exe, state, "0.2")
        out = swsim(exe, "report", state, "--html", page)
        check("HTML report: " + page in out, "report --html names the page it wrote")
        browser.get("file://" + page)
        by_id = lambda i: browser.find_element("id", i)
        check(by_id("outcome").get_attribute("data-outcome") == "done", "the outcome is update done")
        sectors = browser.find_elements("css selector", "#flash-picture rect.sector")
        check(len(sectors) == 128, "the picture has 128 sectors (%d)" % len(sectors))
        for sector, state_key, why in EXPECTED:
            got = by_id("sector-%d" % sector).get_attribute("data-state")
            check(got == state_key, "sector %d is %s: %s (page says %s)" % (sector, state_key, why, got))
        covered = int(by_id("sector-5").get_attribute("data-covered"))
        check(covered == 700 * 1024 - 5 * 128 * 1024, "sector 5 holds 60 KiB of the image (%d)" % covered)
        states = [s.get_attribute("data-state") for s in sectors]
        check("unexpected" not in states, "no sector changed unexpectedly")
        legend = [g.get_attribute("data-state")
                  for g in browser.find_elements("css selector", "#flash-picture g.legend")]
        check(sorted(legend) == sorted(["written", "partial", "kept", "untouched", "unexpected", "torn",
                                        "overwritten", "not-written"]),
              "the legend names every state")
        names = by_id("partitions").text
        for name in ("ifsPart.bin", "appPart.bin", "configPart.bin", "fontsPart.bin", "instrumentDataPart.bin"):
            check(name in names, name + " is in the partition table")
        check(len(browser.find_elements("css selector", "script")) == 0, "the page has no script")
        browser.save_screenshot(os.path.join(work, "report.png"))

        # swsim check --html: each fleet instrument's flash in one page,
        # every picture's ids its own.
        check_page = os.path.join(work, "check.html")
        swsim(exe, "check", os.path.join(state, "medium"), "--html", check_page, "--jobs", "2", "--work", work)
        browser.get("file://" + check_page)
        check(by_id("verdict").get_attribute("data-errors") == "0", "the check page shows no error")
        pictures = browser.find_elements("css selector", "svg.flash")
        check(len(pictures) >= 2, "the check page has a flash picture per instrument that ran (%d)" % len(pictures))
        check(by_id("i1-sector-0").get_attribute("data-state") == "written", "instrument 1's sector 0 is written")
        check(by_id("i1-sector-64").get_attribute("data-state") == "kept", "instrument 1's sector 64 is kept")
        ids = browser.execute_script("return Array.from(document.querySelectorAll('[id]')).map(e => e.id)")
        check(len(ids) == len(set(ids)), "no id appears twice on the check page")
        browser.save_screenshot(os.path.join(work, "check.png"))
    finally:
        browser.quit()
    print("screenshot in " + work)


if __name__ == "__main__":
    main()
