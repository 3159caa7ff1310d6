"""Shared pieces of the browser tests: a simulated instrument made with
swsim, headless Chromium through chromedriver, screenshots in the build tree.

A test that cannot run here (no instrument root, Chromium cannot start)
exits with SKIP (77) and says why; ctest shows it as skipped. Chromium
runs with a short private TMPDIR of its own, so a build tree at any depth
works."""
import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(reason):
    print("SKIP: " + reason, flush=True)
    sys.exit(SKIP)


def fail(reason):
    print("FAIL: " + reason, flush=True)
    sys.exit(1)


def check(condition, what):
    if not condition:
        fail(what)
    print("ok: " + what, flush=True)


def scratch(build_dir, name):
    """A fresh directory for this test in the build tree."""
    path = os.path.abspath(os.path.join(build_dir, "browser-tests", name))
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def swsim(exe, *args, timeout=180):
    r = subprocess.run([exe, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=timeout)
    if r.returncode == SKIP:
        skip("no instrument root on this machine: " + r.stdout.strip().splitlines()[-1])
    if r.returncode != 0:
        fail("swsim %s ended with %d:\n%s" % (" ".join(args), r.returncode, r.stdout))
    return r.stdout


# The time limit of a run, in simulated seconds: it counts on the run's
# clock, which also counts the host's own work (unpacking, the chip model,
# the shell) at the run's speed, 50 times over by default. The default
# limit, 300 s, is thus 6 s of real time, which a busy machine (Chromium
# starting beside the run) stretches a sound run past. 6000 s is two
# minutes of real time at that speed: only a hung run reaches it.
HANG_LIMIT = "6000"


def run_update(exe, state, pull_after):
    """The medium's update on the instrument: answer yes, the medium pulled
    `pull_after` simulated seconds after the updater asks."""
    swsim(exe, "run", state, "--answer", "yes", "--pull-after", pull_after, "--no-report", "--quiet",
          "--timeout", HANG_LIMIT)


def new_instrument(exe, state):
    swsim(exe, "create", state, "--version", "2.3", "--force")
    swsim(exe, "medium", state, "--sample", "--version", "2.4")


def private_tmpdir():
    """A short private temporary directory for Chromium, removed at exit.
    Chromium makes its singleton socket under TMPDIR, and a Unix socket's
    path has at most 107 bytes: the tests' TMPDIR in a deep build tree is
    too long for it. /tmp when it can be used, else TMPDIR."""
    for base in ("/tmp", tempfile.gettempdir()):
        try:
            path = tempfile.mkdtemp(prefix="swsim-chromium-", dir=base)
        except OSError:
            continue
        atexit.register(shutil.rmtree, path, True)
        return path
    skip("no temporary directory for Chromium could be made")


def chromium_failure(binary, flags, env):
    """Why Chromium does not start, from its own error output."""
    try:
        r = subprocess.run([binary, *flags, "--dump-dom", "about:blank"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return str(e)
    lines = r.stderr.splitlines()
    fatal = [l for l in lines if ":FATAL:" in l] or [l for l in lines if ":ERROR:" in l]
    if fatal:
        return fatal[0].split("] ", 1)[-1].strip()
    return "exit status %d without an error message" % r.returncode if r.returncode else "it starts on its own"


def chromium(work_dir, width=1100, height=900):
    """Headless Chromium with a fresh profile in the build tree and a private
    short TMPDIR, or a skip that says why it cannot start."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        skip("python3-selenium is missing (%s)" % e)
    binary = shutil.which("chromium") or "/usr/bin/chromium"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(binary) or not os.path.exists(driver_path):
        skip("chromium or chromium-driver is not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height),
             "--user-data-dir=" + os.path.join(work_dir, "chromium-profile")]
    for flag in flags:
        options.add_argument(flag)
    env = dict(os.environ, TMPDIR=private_tmpdir())
    try:
        return webdriver.Chrome(service=Service(executable_path=driver_path, env=env,
                                                log_path=os.path.join(work_dir, "chromedriver.log")),
                                options=options)
    except Exception as e:  # any failure to start the browser
        flags[-1] = "--user-data-dir=" + os.path.join(work_dir, "chromium-profile-probe")
        reason = chromium_failure(binary, flags, env)
        message = "Chromium could not start (%s): %s" % (str(e).strip().splitlines()[0], reason)
        # The deep-TMPDIR test: a socket path that does not fit is the very
        # fault it is there to catch, not a reason to skip.
        if os.environ.get("SWU_BROWSER_NO_SOCKET_SKIP") and "socket" in reason.lower():
            fail(message)
        skip(message)


def wait_for(what, condition, seconds=30, required=True):
    """condition()'s first true value within `seconds`; else a failure, or
    None when not required."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except Exception:
            pass
        time.sleep(0.05)
    if required:
        fail("timed out waiting for " + what)
    return None
