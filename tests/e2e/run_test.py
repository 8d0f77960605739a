#!/usr/bin/python3
"""`quillet run PAGE`: the response body on stdout and exit 0 when the page ran to its end;
exit 1 with `quillet: ` and the error on stderr's last line when an error was not caught.

    run_test.py QUILLET_BINARY
"""
import os
import subprocess
import sys
import tempfile

PAGE = """<%@ Language="JScript" %><%
var n = Request.TotalBytes, body = Request.BinaryRead(n);
%><%= Request.ServerVariables("REQUEST_METHOD") %> <%= Request.ServerVariables("CONTENT_TYPE") %>
<%= n %>:<%= String.fromCharCode.apply(null, body) %> q=<%= Request.QueryString("q") %>
"""

FAILING = """first line
<% var x = 1;
undefinedFunction(x); %>
"""


def run(quillet, *args):
    done = subprocess.run([quillet, "run", *args], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def main():
    quillet = sys.argv[1]
    failures = []

    def check(condition, message):
        if not condition:
            failures.append(message)

    with tempfile.TemporaryDirectory() as work:
        page, failing, body = (os.path.join(work, n) for n in ("page.asp", "failing.asp", "body.bin"))
        open(page, "w").write(PAGE)
        open(failing, "w").write(FAILING)
        open(body, "wb").write(b"a=1&b=2")

        code, out, err = run(quillet, page, "--body", body, "--query", "q=x%20y", "--content-type",
                             "application/x-www-form-urlencoded")
        check(code == 0 and err == "", "a page that runs to its end exits 0 quietly (%d, %r)" % (code, err))
        check(out == "POST application/x-www-form-urlencoded\n7:a=1&b=2 q=x y\n", "the response body: %r" % out)

        code, out, _ = run(quillet, page, "--method", "PUT")
        check(code == 0 and out.startswith("PUT \n0: q="), "method without a body: %r" % out)

        code, out, err = run(quillet, failing)
        last = err.strip().splitlines()[-1] if err.strip() else ""
        check(code == 1, "an uncaught error exits 1, not %d" % code)
        check(last.startswith("quillet: JScript runtime error '80004005': ") and "undefinedFunction" in last
              and last.endswith("(/failing.asp, line 3)"), "the error names source, code, page and line: %r" % last)

        code, _, err = run(quillet, os.path.join(work, "missing.asp"))
        check(code == 1 and err.startswith("quillet: "), "a missing page fails: %d %r" % (code, err))
        code, _, err = run(quillet)
        check(code == 2 and "usage:" in err, "no page is a usage error")

    for f in failures:
        print("FAILED: " + f)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
