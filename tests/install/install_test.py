"""The installed tools and the Debian package.

install_test.py installed|package BUILD_DIR SOURCE_DIR VERSION

installed: `cmake --install` into a fresh prefix outside both trees; from
another directory outside them, with only PREFIX/bin (and the system's
directories) on PATH: the versions, an instrument made, the sample medium
built and checked (SHIP, exit 0, its scratch space under TMPDIR), a cut
package checked (DO NOT SHIP, exit 1), both JSON outputs valid against the
check's schema, a run that uses the installed programs, a power-cut sweep
whose JSON is valid against its schema, the man pages and the completion.
package: cpack's Debian package holds the commands and declares the
programs a run needs.

A machine without instrument roots skips (exit 77) with the reason."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
build_dir, source_dir, version = (os.path.realpath(sys.argv[2]), os.path.realpath(sys.argv[3]), sys.argv[4])
failures = []


def check(condition, what, detail=""):
    print(("ok: " if condition else "FAIL: ") + what + ("" if condition or not detail else "\n" + detail),
          flush=True)
    if not condition:
        failures.append(what)
    return condition


def outside():
    """A fresh directory in neither the source nor the build tree."""
    for base in ("/tmp", "/var/tmp"):
        path = tempfile.mkdtemp(prefix="swsim-install-", dir=base)
        real = os.path.realpath(path)
        if not any(real == t or real.startswith(t + "/") for t in (build_dir, source_dir)):
            return path
        shutil.rmtree(path)
    print("SKIP: no temporary directory outside the source and build trees", flush=True)
    sys.exit(SKIP)


def validate(json_path, schema_name):
    import jsonschema
    with open(os.path.join(source_dir, "simulator", "schemas", schema_name)) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    with open(json_path) as f:
        document = json.load(f)
    errors = sorted(jsonschema.Draft202012Validator(schema).iter_errors(document), key=str)
    check(not errors, "%s is valid against %s" % (os.path.basename(json_path), schema_name),
          "\n".join("%s: %s" % ("/".join(map(str, e.absolute_path)), e.message) for e in errors[:10]))
    return document


def installed(top):
    prefix = os.path.join(top, "prefix")
    r = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True)
    if not check(r.returncode == 0, "cmake --install into a fresh prefix", r.stdout):
        return
    work = os.path.join(top, "work")
    scratch = os.path.join(top, "scratch")
    os.makedirs(work)
    os.makedirs(scratch)
    env = {"PATH": prefix + "/bin:/usr/bin:/bin", "HOME": top, "TMPDIR": scratch, "LANG": "C.UTF-8"}

    def run(*args, timeout=240):
        return subprocess.run(list(args), cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=timeout)

    for tool in ("swsim", "swlog"):
        r = run(tool, "--version")
        check(r.returncode == 0 and r.stdout == "%s %s\n" % (tool, version),
              "%s --version prints %s" % (tool, version), r.stdout + r.stderr)
    r = run("swsim", "create", "inst", "--version", "2.3")
    if r.returncode == SKIP:
        print("SKIP: no instrument root on this machine: " + r.stderr.strip(), flush=True)
        sys.exit(SKIP)
    check(r.returncode == 0, "swsim create", r.stdout + r.stderr)
    r = run("swsim", "medium", "inst", "--sample", "--version", "2.4")
    check(r.returncode == 0, "swsim medium --sample", r.stdout + r.stderr)

    # The full check (the fleet of three instruments takes a few seconds).
    r = run("swsim", "check", "inst/medium", "--json", "check.json", "--keep")
    check(r.returncode == 0 and r.stdout.startswith("SHIP"), "swsim check: SHIP, exit 0",
          "exit %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    kept = r.stderr.rsplit("scratch directory kept: ", 1)[-1].strip()
    check(os.path.dirname(kept) == scratch and os.listdir(scratch) == [os.path.basename(kept)],
          "the check's scratch space is a fresh directory under TMPDIR", r.stderr)
    shutil.rmtree(kept, ignore_errors=True)
    document = validate(os.path.join(work, "check.json"), "check.schema.json")
    check(document.get("swsimVersion") == version and document.get("fleetRun") is True,
          "the check's JSON names the tool's version and the fleet run")

    # A medium with a package cut short: the static checks' verdict, valid too.
    shutil.copytree(os.path.join(work, "inst", "medium"), os.path.join(work, "cut"))
    os.truncate(os.path.join(work, "cut", "file1"), 1000)
    # Its JSON on standard output alone (--json -), the text report on
    # standard error, as a pipeline reads them.
    r = run("swsim", "check", "cut", "--no-fleet", "--json", "-")
    check(r.returncode == 1 and r.stderr.startswith("DO NOT SHIP"), "swsim check of a cut package: DO NOT SHIP, exit 1",
          "exit %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    with open(os.path.join(work, "cut.json"), "w") as f:
        f.write(r.stdout)
    document = validate(os.path.join(work, "cut.json"), "check.schema.json")
    check(document.get("ship") is False and document.get("errors", 0) > 0, "the cut package's JSON says so")

    # A run starts the installed updater and GUI stand-in, not a build's.
    r = run("swsim", "run", "inst", "--no-report", "--answer", "yes")
    check(r.returncode == 0, "swsim run", r.stdout + r.stderr)
    record = open(os.path.join(work, "inst", "sim", "run.txt")).read()
    libexec = os.path.join(prefix, "libexec", "swsim")
    check("\nupdater=%s/SwUpdate\n" % libexec in record and "\ngui=%s/startup-gui\n" % libexec in record,
          "the run used the installed SwUpdate and startup-gui", record)

    r = run("swsim", "powercut", "inst", "--points", "2", "--json", "powercut.json")
    check(r.returncode in (0, 1) and os.path.exists(os.path.join(work, "powercut.json")),
          "swsim powercut --json", r.stdout + r.stderr)
    if os.path.exists(os.path.join(work, "powercut.json")):
        validate(os.path.join(work, "powercut.json"), "powercut.schema.json")

    pages = sorted(os.listdir(os.path.join(prefix, "share", "man", "man1")))
    check({"swsim.1", "swsim-check.1", "swsim-powercut.1", "swlog.1"} <= set(pages), "man pages installed",
          str(pages))
    for page in pages:
        r = subprocess.run(["man", "-l", os.path.join(prefix, "share", "man", "man1", page)], env=dict(
            env, MANPAGER="cat", PAGER="cat", MANWIDTH="80"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        name = page[:-2]
        check(r.returncode == 0 and re.search(r"\n\s+%s\s+-\s" % re.escape(name), r.stdout) and version in r.stdout
              and "DESCRIPTION" in r.stdout, "man -l %s renders" % page, r.stdout[:800] + r.stderr)

    completion = os.path.join(prefix, "share", "bash-completion", "completions", "swsim")
    for words, want in ((["swsim", "ch"], "check"), (["swsim", "check", "--ju"], "--junit"),
                        (["swsim", "run", "inst", "--answer", "n"], "never no")):
        script = ('source "$1"; COMP_WORDS=(%s); COMP_CWORD=%d; _swsim swsim; echo "${COMPREPLY[*]}"'
                  % (" ".join(words), len(words) - 1))
        r = subprocess.run(["bash", "-c", script, "bash", completion], env=env, cwd=work,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        check(sorted(r.stdout.split()) == sorted(want.split()), "completion of '%s'" % " ".join(words),
              r.stdout + r.stderr)


def package(top):
    r = subprocess.run(["cpack", "-G", "DEB", "-B", top, "--config", os.path.join(build_dir, "CPackConfig.cmake")],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    debs = [f for f in os.listdir(top) if f.endswith(".deb")]
    if not check(r.returncode == 0 and len(debs) == 1, "cpack -G DEB makes one package", r.stdout):
        return
    deb = os.path.join(top, debs[0])
    listing = subprocess.run(["dpkg-deb", "-c", deb], stdout=subprocess.PIPE, text=True).stdout
    files = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    for f in ("./usr/bin/swsim", "./usr/bin/swlog", "./usr/libexec/swsim/SwUpdate",
              "./usr/libexec/swsim/startup-gui", "./usr/libexec/swsim/boardtools/slay",
              "./usr/share/man/man1/swsim.1", "./usr/share/bash-completion/completions/swsim"):
        check(f in files, "the package holds " + f, listing)
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"], stdout=subprocess.PIPE,
                            text=True).stdout
    depends = {d.strip().split(" ")[0] for line in fields.splitlines() if line.startswith("Depends:")
               for d in line[len("Depends:"):].split(",")}
    check({"libfaketime", "mksh", "tar", "gzip"} <= depends, "the package depends on libfaketime, mksh, tar, gzip",
          fields)
    check("Version: %s\n" % version in fields, "the package's version is " + version, fields)


def main():
    # A build of some targets only (SWU_BUILD_TARGETS) has nothing to install.
    for made in ("man/swsim.1", "man/swlog.1", "tools/logtool/swlog", "SwUpdate"):
        if not os.path.exists(os.path.join(build_dir, made)):
            print("SKIP: %s is not built (build everything first)" % made, flush=True)
            return SKIP
    top = outside()
    try:
        {"installed": installed, "package": package}[sys.argv[1]](top)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    if failures:
        print("%d failed: %s" % (len(failures), "; ".join(failures)), flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
