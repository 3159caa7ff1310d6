"""The installed tools and the Debian package.

install_test.py installed|package BUILD_DIR SOURCE_DIR VERSION

installed: `cmake --install` into a fresh prefix outside both trees; from
another directory outside them, with only PREFIX/bin (and the system's
directories) on PATH: the versions, an instrument made, the sample medium
built and checked (SHIP, exit 0, its scratch space under TMPDIR), a cut
package checked (DO NOT SHIP, exit 1), both JSON outputs valid against the
check's schema, a medium whose repartition script has CR LF line ends
checked with its SARIF log valid for a SARIF validator and holding the
JSON's findings, a run that uses the installed programs, a power-cut sweep
whose JSON is valid against its schema, the man pages and the completion.
package: cpack's Debian package holds the commands, declares the programs a
run needs, carries its copyright file and changelog, has its debug symbols
in a package of its own, and lintian finds no error and no warning in it.

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

    sarif_medium(run, work)

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
    # The medium's form: its report names the medium and each instrument swept.
    r = run("swsim", "powercut", "--medium", "inst/medium", "--points", "1", "--json", "powercut-medium.json")
    check(r.returncode in (0, 1, 2) and os.path.exists(os.path.join(work, "powercut-medium.json")),
          "swsim powercut --medium --json", r.stdout + r.stderr)
    if os.path.exists(os.path.join(work, "powercut-medium.json")):
        validate(os.path.join(work, "powercut-medium.json"), "powercut.schema.json")

    pages = sorted(os.listdir(os.path.join(prefix, "share", "man", "man1")))
    check({"swsim.1.gz", "swsim-check.1.gz", "swsim-powercut.1.gz", "swlog.1.gz"} <= set(pages)
          and all(p.endswith(".1.gz") for p in pages), "man pages installed, compressed", str(pages))
    for page in pages:
        r = subprocess.run(["man", "-l", os.path.join(prefix, "share", "man", "man1", page)], env=dict(
            env, MANPAGER="cat", PAGER="cat", MANWIDTH="80"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        name = page[:-len(".1.gz")]
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


def sarif_findings_match(sarif, document):
    """The SARIF log's results are the JSON's findings, in its order."""
    results = sarif["runs"][0]["results"]
    same = len(results) == len(document["findings"]) and all(
        r["ruleId"] == f["check"] and r["level"] == f["severity"] and f["what"] in r["message"]["text"]
        and f["effect"] in r["message"]["text"] for r, f in zip(results, document["findings"]))
    check(same, "the SARIF log's results are the JSON's findings",
          json.dumps([(r["ruleId"], r["level"]) for r in results]) + "\n" +
          json.dumps([(f["check"], f["severity"]) for f in document["findings"]]))


def validate_sarif(paths):
    """SARIF logs checked by a SARIF validator from the npm registry (its
    schema and its rules; an error fails, its advice does not) and against
    the SARIF 2.1.0 schema it ships."""
    import jsonschema
    validator = os.environ.get("SWU_SARIF_VALIDATOR", "")
    if not check(os.access(validator, os.X_OK), "the SARIF validator is installed (npm ci at configure time)",
                 validator):
        return
    # The validator is a self-contained .NET program: no culture data needed.
    env = dict(os.environ, DOTNET_SYSTEM_GLOBALIZATION_INVARIANT="1", DOTNET_CLI_TELEMETRY_OPTOUT="1")
    r = subprocess.run([validator, "validate", *paths], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, env=env, timeout=240)
    errors = [line for line in r.stdout.splitlines() if re.search(r": error [A-Z]+[0-9]+: ", line)]
    check(r.returncode == 0 and "Analysis completed successfully" in r.stdout and not errors,
          "the SARIF validator accepts %s" % ", ".join(map(os.path.basename, paths)), r.stdout[-3000:])
    with open(os.path.join(os.path.dirname(validator), "sarif-2.1.0.json")) as f:
        schema = json.load(f)
    for path in paths:
        with open(path) as f:
            document = json.load(f)
        found = sorted(jsonschema.validators.validator_for(schema)(schema).iter_errors(document), key=str)
        check(not found, "%s is valid against the SARIF 2.1.0 schema" % os.path.basename(path),
              "\n".join("%s: %s" % ("/".join(map(str, e.absolute_path)), e.message) for e in found[:10]))


def sarif_medium(run, work):
    """A medium whose repartition script has CR LF line ends: a static
    finding, and a fleet finding on every installing instrument. Its SARIF
    log validates and holds the JSON's findings; the log on standard output
    is the file's."""
    r = run("swsim", "sample", "crlf-src", "--version", "2.4")
    script = os.path.join(work, "crlf-src", "FlashRepartition.sh")
    with open(script, "rb") as f:
        text = f.read()
    with open(script, "wb") as f:
        f.write(text.replace(b"\n", b"\r\n"))
    r = run("swsim", "create", "crlf", "--version", "2.3")
    r = run("swsim", "medium", "crlf", "--from", "crlf-src")
    check(r.returncode == 0, "a medium with a CR LF repartition script", r.stdout + r.stderr)
    r = run("swsim", "check", "crlf/medium", "--json", "crlf.json", "--sarif", "crlf.sarif")
    check(r.returncode == 1 and r.stdout.startswith("DO NOT SHIP"), "its check: DO NOT SHIP, exit 1",
          "exit %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    if not os.path.exists(os.path.join(work, "crlf.sarif")):
        return
    document = validate(os.path.join(work, "crlf.json"), "check.schema.json")
    with open(os.path.join(work, "crlf.sarif")) as f:
        sarif = json.load(f)
    rules = {f["check"] for f in document["findings"]}
    check({"repartition-script", "fleet"} <= rules, "static and fleet findings", str(rules))
    sarif_findings_match(sarif, document)
    r = run("swsim", "check", "crlf/medium", "--no-fleet", "--sarif", "-")
    check(r.returncode == 1 and r.stderr.startswith("DO NOT SHIP") and json.loads(r.stdout)["version"] == "2.1.0",
          "--sarif -: the log alone on standard output, the report on standard error", r.stdout[:500] + r.stderr)
    validate_sarif([os.path.join(work, "crlf.sarif")])


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
              "./usr/share/man/man1/swsim.1.gz", "./usr/share/bash-completion/completions/swsim"):
        check(f in files, "the package holds " + f, listing)
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"], stdout=subprocess.PIPE,
                            text=True).stdout
    depends = {d.strip().split(" ")[0] for line in fields.splitlines() if line.startswith("Depends:")
               for d in line[len("Depends:"):].split(",")}
    check({"libfaketime", "mksh"} <= depends, "the package depends on libfaketime and mksh", fields)
    # tar and gzip are essential: Debian's policy has no package depend on them.
    essential = subprocess.run(["dpkg-query", "-W", "-f=${Essential}\n", "tar", "gzip"], stdout=subprocess.PIPE,
                               text=True).stdout.split()
    check(essential == ["yes", "yes"] and not {"tar", "gzip"} & depends,
          "no dependency on the essential tar and gzip", fields)
    check("Version: %s\n" % version in fields, "the package's version is " + version, fields)
    for f in ("./usr/share/doc/swsim/copyright", "./usr/share/doc/swsim/changelog.gz",
              "./usr/share/man/man1/swsim-check.1.gz"):
        check(f in files, "the package holds " + f, listing)
    # The changelog's latest entry is this version's.
    r = subprocess.run("dpkg-deb --fsys-tarfile '%s' | tar -xOf - ./usr/share/doc/swsim/changelog.gz | gzip -dc"
                       % deb, shell=True, stdout=subprocess.PIPE, text=True)
    check(r.stdout.startswith("swsim (%s) " % version), "the changelog's latest entry is version " + version,
          r.stdout[:300])
    # The programs stripped; their debug symbols in swsim-dbgsym.
    ddebs = [f for f in os.listdir(top) if f.endswith(".ddeb")]
    if check(len(ddebs) == 1 and ddebs[0].startswith("swsim-dbgsym_"), "a debug symbol package beside it",
             str(os.listdir(top))):
        symbols = subprocess.run(["dpkg-deb", "-c", os.path.join(top, ddebs[0])], stdout=subprocess.PIPE,
                                 text=True).stdout
        check(symbols.count("/usr/lib/debug/.build-id/") >= 5 and symbols.count(".debug\n") >= 5,
              "it holds the programs' debug symbols by build id", symbols)
    # lintian: no error and no warning (informational tags are explained in
    # cmake/Packaging.cmake).
    r = subprocess.run(["lintian", "--info", "--display-info", deb], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       text=True, timeout=240)
    print(r.stdout, flush=True)
    bad = [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")]
    check(r.returncode == 0 and not bad, "lintian finds no error and no warning in the package",
          "\n".join(bad) + r.stderr[-2000:])


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
