"""A run with the start-up screen in a browser: the question, Yes, the
progress bar moving, the remove-medium screen, "Take the medium out", and
the end of the run with the update done.

usage: web_screen_test.py SWSIM BUILD_DIR"""
import os
import re
import subprocess
import sys

from browser_support import (SKIP, chromium, check, fail, new_instrument, scratch, skip, wait_for)


def main():
    exe, build = sys.argv[1], sys.argv[2]
    work = scratch(build, "web-screen")
    state = os.path.join(work, "instrument")
    new_instrument(exe, state)
    browser = chromium(work)
    run = None
    try:
        # Ten times real time (a web run is real time by default): the
        # progress screen still lasts some seconds, long enough to see the
        # bar move, and the whole update takes about six.
        run = subprocess.Popen([exe, "run", state, "--web", "127.0.0.1:0", "--speed", "10", "--timeout", "300"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = run.stdout.readline()
        m = re.match(r"web screen: (http://127\.0\.0\.1:\d+/)", first)
        if not m:
            rest = first + run.stdout.read()
            if run.wait() == SKIP:
                skip("no instrument root on this machine")
            fail("no web screen address:\n" + rest)
        url = m.group(1)
        browser.get(url)
        screen = lambda: browser.find_element("id", "screen").get_attribute("data-screen")

        wait_for("the question", lambda: screen() == "question")
        question = browser.find_element("id", "question-text").text
        check("2.4" in question, "the question names the new version: " + question)
        check(browser.find_element("id", "running-version").text == "2.3", "the running version is shown")
        browser.save_screenshot(os.path.join(work, "question.png"))
        browser.find_element("id", "yes").click()

        wait_for("the progress screen", lambda: screen() == "progress")
        progress = lambda: int(browser.find_element("id", "progress").get_attribute("aria-valuenow"))
        start = progress()
        moved = wait_for("the progress bar to advance",
                         lambda: screen() == "progress" and progress() > start and progress())
        check(moved > start, "the progress bar advanced from %d%% to %d%%" % (start, moved))
        # The picture a little later, while the bar still fills.
        wait_for("more progress", lambda: screen() != "progress" or progress() >= moved + 2, 3, required=False)
        browser.save_screenshot(os.path.join(work, "progress.png"))

        wait_for("the remove-medium screen", lambda: screen() == "remove", 120)
        check(progress() == 100, "the bar is full on the remove-medium screen")
        browser.save_screenshot(os.path.join(work, "remove-medium.png"))
        browser.find_element("id", "pull").click()

        wait_for("the end of the run", lambda: screen() == "end", 60)
        outcome = browser.find_element("id", "end-title").get_attribute("data-outcome")
        check(outcome == "done", "the page says the update is done (%s)" % outcome)
        browser.save_screenshot(os.path.join(work, "end.png"))

        output = run.communicate(timeout=60)[0]
        check(run.returncode == 0, "the run ended with status 0")
        check("Outcome: update done" in output, "the report says the update is done")
        check("/usbdongle/file0 taken out" in output, "the page's button took the medium out")
    finally:
        browser.quit()
        if run is not None and run.poll() is None:
            run.kill()
            run.wait()
    print("screenshots in " + work)


if __name__ == "__main__":
    main()
