"""The pages of a medium whose flash map overlaps two partitions, read in a
browser: configPart.bin is written over the end of appPart.bin. The report
page draws the sectors where the flash no longer holds appPart.bin as
overwritten under a headline that says so (not a good "Update done"); the
check page draws them the same way and links the fleet finding to the
static finding that explains it.

usage: flash_picture_test.py SWSIM BUILD_DIR"""
import os
import re
import subprocess
import sys

from browser_support import chromium, check, run_update, scratch, swsim

# appPart.bin lies at 2048 KiB (sectors 16-25); configPart.bin at 3000 KiB
# reaches into sectors 23 and 24.
OVERWRITTEN = (23, 24)


def overlap_medium(exe, work):
    src = os.path.join(work, "src")
    swsim(exe, "sample", src)
    path = os.path.join(src, "flashMap")
    with open(path) as f:
        text = f.read()
    text = re.sub(r"(?m)^configPart\.bin .*$", "configPart.bin 3000 0x0 NO", text)
    with open(path, "w") as f:
        f.write(text)
    return src


def main():
    exe, build = sys.argv[1], sys.argv[2]
    work = scratch(build, "flash-picture")
    state = os.path.join(work, "instrument")
    page = os.path.join(work, "report.html")
    check_page = os.path.join(work, "check.html")
    src = overlap_medium(exe, work)
    swsim(exe, "create", state, "--version", "2.3", "--force")
    swsim(exe, "medium", state, "--from", src)
    run_update(exe, state, "0")
    swsim(exe, "report", state, "--html", page)
    browser = chromium(work, 1100, 2400)
    try:
        browser.get("file://" + page)
        by_id = lambda i: browser.find_element("id", i)
        outcome = by_id("outcome")
        check(outcome.get_attribute("data-outcome") == "done", "the updater ended as done")
        check(outcome.get_attribute("data-flash-holds") == "no", "the headline knows the flash is wrong")
        check("bad" in outcome.get_attribute("class").split(), "the headline is not the good one")
        check("does not hold appPart.bin" in outcome.text, "the headline names the image: " + outcome.text)
        for sector in OVERWRITTEN:
            el = by_id("sector-%d" % sector)
            check(el.get_attribute("data-state") == "overwritten", "sector %d is drawn overwritten" % sector)
            title = el.find_element("css selector", "title").get_attribute("textContent")
            check("overwritten by configPart.bin" in title, "sector %d's title says by what (%s)" % (sector, title))
        check(by_id("sector-22").get_attribute("data-state") == "written", "sector 22 still holds appPart.bin")
        states = [s.get_attribute("data-state")
                  for s in browser.find_elements("css selector", "#flash-picture rect.sector")]
        check(states.count("overwritten") == len(OVERWRITTEN), "no other sector is overwritten")
        legend = [g.get_attribute("data-state")
                  for g in browser.find_elements("css selector", "#flash-picture g.legend")]
        check("overwritten" in legend, "the legend explains the overwritten sectors")
        browser.save_screenshot(os.path.join(work, "report.png"))

        fleet = os.path.join(work, "fleet.txt")
        with open(fleet, "w") as f:
            f.write("lab running=2.3\n")
        # DO NOT SHIP: the check ends with status 1.
        r = subprocess.run([exe, "check", os.path.join(state, "medium"), "--fleet", fleet, "--html", check_page,
                            "--work", work], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=180)
        check(r.returncode == 1, "the check says DO NOT SHIP (%d)" % r.returncode)
        browser.get("file://" + check_page)
        for sector in OVERWRITTEN:
            check(by_id("i1-sector-%d" % sector).get_attribute("data-state") == "overwritten",
                  "the check page draws sector %d overwritten" % sector)
        links = browser.find_elements("css selector", "a.explained-by")
        check(len(links) == 1 and links[0].get_attribute("href").endswith("#check-map-overlap"),
              "the fleet finding links the overlap finding")
        target = by_id("check-map-overlap")
        check("map-overlap" in target.text, "the link leads to the static finding")
        browser.save_screenshot(os.path.join(work, "check.png"))
    finally:
        browser.quit()
    print("screenshots in " + work)


if __name__ == "__main__":
    main()
