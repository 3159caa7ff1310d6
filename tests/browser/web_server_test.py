"""The web screen's server during a run: it answers its few routes, refuses
other paths, methods and Host headers, answers malformed and oversized
requests with an error and keeps serving, and listens on the address given
only. The run is then ended from the page's route (answer no).

usage: web_server_test.py SWSIM BUILD_DIR"""
import http.client
import json
import os
import re
import socket
import subprocess
import sys

from browser_support import SKIP, check, fail, new_instrument, scratch, skip, wait_for


def request(port, method, path, body=None, headers=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    data = r.read()
    c.close()
    return r.status, data


def raw(port, data):
    """Sends bytes as they are and returns the first line of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        answer = b""
        while b"\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    return answer.split(b"\r\n")[0].decode(errors="replace")


def main():
    exe, build = sys.argv[1], sys.argv[2]
    work = scratch(build, "web-server")
    state = os.path.join(work, "instrument")
    new_instrument(exe, state)
    run = subprocess.Popen([exe, "run", state, "--web", "127.0.0.1:0", "--timeout", "120"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        first = run.stdout.readline()
        m = re.match(r"web screen: http://127\.0\.0\.1:(\d+)/", first)
        if not m:
            rest = first + run.stdout.read()
            if run.wait() == SKIP:
                skip("no instrument root on this machine")
            fail("no web screen address:\n" + rest)
        port = int(m.group(1))

        def screens():
            return [e["screen"] for e in json.loads(request(port, "GET", "/state")[1])]
        wait_for("the question", lambda: "question" in screens())

        # The page and its routes.
        for path, kind in (("/", b"<!DOCTYPE html>"), ("/index.html", b"<!DOCTYPE html>"),
                           ("/screen.css", b"."), ("/screen.js", b"EventSource")):
            status, data = request(port, "GET", path)
            check(status == 200 and kind in data, "GET %s is served" % path)

        # Everything else is refused, and each refusal leaves the server up.
        refused = [
            ("PUT", "/", None, {}, 405),
            ("DELETE", "/answer", None, {}, 405),
            ("GET", "/answer", None, {}, 405),
            ("GET", "/pull", None, {}, 405),
            ("POST", "/", "x", {}, 405),
            ("POST", "/state", "", {}, 405),
            ("GET", "/nothing-here", None, {}, 404),
            ("GET", "/index.html/..", None, {}, 404),
            ("GET", "/%2e%2e/%2e%2e/etc/passwd", None, {}, 404),
            ("GET", "/", None, {"Host": "attacker.example:%d" % port}, 403),
            ("POST", "/answer", "answer=maybe", {"Content-Type": "application/x-www-form-urlencoded"}, 400),
            ("POST", "/answer", "", {}, 400),
            ("POST", "/answer", "answer=" + "y" * 5000, {"Content-Type": "application/x-www-form-urlencoded"}, 413),
        ]
        for method, path, body, headers, expected in refused:
            status, _ = request(port, method, path, body, headers)
            check(status == expected, "%s %s %s is refused with %d (got %d)" % (method, path, headers, expected, status))
        # A header line without a colon is dropped, leaving no Host: refused.
        for data, answer in ((b"GARBAGE\r\n\r\n", "HTTP/1.1 400"), (b"GET\r\n\r\n", "HTTP/1.1 400"),
                             (b"GET / HTTP/1.1\r\nHost\r\n\r\n", "HTTP/1.1 403"),
                             (b"GET / HTTP/9.9\r\n\r\n", "HTTP/1.1 400"),
                             (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", "HTTP/1.1 400")):
            line = raw(port, data)
            check(line.startswith(answer), "malformed request %r answered %r" % (data[:16], line))
        status, _ = request(port, "GET", "/state")
        check(status == 200, "the server still serves after the malformed requests")
        check(run.poll() is None, "the run goes on")

        # Bound to 127.0.0.1 only: another loopback address of this machine
        # does not reach it.
        try:
            socket.create_connection(("127.0.0.2", port), timeout=3).close()
            fail("the server also listens on 127.0.0.2")
        except OSError:
            check(True, "nothing listens on 127.0.0.2:%d" % port)

        status, _ = request(port, "POST", "/answer", "answer=no",
                            {"Content-Type": "application/x-www-form-urlencoded"})
        check(status == 202, "the answer no is taken")
        output = run.communicate(timeout=60)[0]
        check(run.returncode == 0, "the run ended with status 0")
        check("Outcome: the user declined" in output, "the page's answer declined the update")
        # The stand-in's own record of the run (its terminal echo may be cut
        # short when the run ends under load).
        with open(os.path.join(state, "sim", "gui.txt"), errors="replace") as f:
            record = f.read()
        check("answer no (doUpgrade 0)" in output + record, "the stand-in sent the page's answer")
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()


if __name__ == "__main__":
    main()
