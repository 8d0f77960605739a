#!/usr/bin/python3
"""End to end: `quillet serve` on a loopback port with a copy of the default site, spoken
to with curl. The server's own behaviour (pages, files, refused paths, the body limit,
the log, a clean stop on SIGTERM), then uploads through the registered component: thumbnails
saved and served, refusals shown, fifty at once, and the pixel limit.

    serve_test.py QUILLET_BINARY COMPONENT_LIBRARY SITE_DIR

Exit status: 0 passed, 1 failed.
"""
import concurrent.futures
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from PIL import Image

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from http_load import Failure, check, thumbnail_for  # noqa: E402

MAX_BODY = 300_000


def curl(url, *args, timeout=60):
    """Runs curl; returns (status, body text, response headers)."""
    with tempfile.NamedTemporaryFile() as headers:
        done = subprocess.run(
            ["curl", "-sS", "--path-as-is", "-o", "-", "-D", headers.name, "-w", "\n%{http_code}", *args, url],
            capture_output=True, timeout=timeout)
        out = done.stdout.decode("utf-8", "replace")
        body, _, code = out.rpartition("\n")
        return int(code or 0), body, open(headers.name, encoding="latin-1").read()


def picture(path, width, height, kind):
    image = Image.new("RGB", (width, height))
    pixels = image.load()
    for y in range(height):
        for x in range(width):
            pixels[x, y] = (x * 255 // max(1, width - 1), y * 255 // max(1, height - 1), 128)
    image.save(path, kind)


class Server:
    def __init__(self, quillet, root, env, *extra, log="serve.log"):
        self.log_path = os.path.join(root, "..", log)
        self.log = open(self.log_path, "w+")
        self.process = subprocess.Popen(
            [quillet, "serve", "--root", root, "--port", "0", "--max-body", str(MAX_BODY), "--threads", "4",
             "--timeout", "10", *extra],
            stderr=self.log, env=env)
        self.url = None
        deadline = time.time() + 20
        while time.time() < deadline and self.url is None:
            time.sleep(0.05)
            match = re.search(r"on (http://127\.0\.0\.1:\d+/)", open(self.log_path).read())
            if match:
                self.url = match.group(1)
            if self.process.poll() is not None:
                break
        check(self.url is not None, "the server did not start:\n" + open(self.log_path).read())

    def text(self):
        return open(self.log_path).read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=40)


def server_checks(server):
    status, body, headers = curl(server.url)
    check(status == 200 and 'enctype="multipart/form-data"' in body, "the site's form is served")
    check("name=\"title\"" in body and "name=\"photo\"" in body, "the form has a title and a picture field")
    status, _, headers = curl(server.url + "style.css")
    check(status == 200 and "Content-Type: text/css" in headers, "style.css is served as text/css")
    for path in ["../../../../etc/passwd", "%2e%2e/%2e%2e/etc/passwd", "uploads/..%2f..%2f..%2fetc/passwd",
                 "..%5c..%5cetc/passwd"]:
        status, body, _ = curl(server.url + path)
        check(status in (400, 403) and "root:" not in body, "path traversal refused: /%s gave %d" % (path, status))
    big = os.path.join(os.path.dirname(server.log_path), "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(MAX_BODY + 1))
    status, body, _ = curl(server.url + "index.asp", "-H", "Expect: 100-continue", "-F", "photo=@%s;filename=big.bmp" % big)
    check(status == 413, "a body above --max-body gets 413 (got %d)" % status)


def upload(server, title, path, name=None):
    field = "photo=@%s" % path + (";filename=%s" % name if name else "")
    return curl(server.url + "index.asp", "-F", "title=%s" % title, "-F", field)


def saved_thumbnails(root):
    folder = os.path.join(root, "uploads")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def pixel_limit_check(quillet, root, env, cat):
    """--max-pixels reaches the component: a picture above it is refused with its size."""
    limited = Server(quillet, root, env, "--max-pixels", "1000", log="limited.log")
    try:
        status, body, _ = upload(limited, "Too big", cat)
        check(status == 200 and "Image too large: 320 x 240 pixels" in body,
              "a picture above --max-pixels is refused: %s" % body[:2000])
    finally:
        check(limited.stop() == 0, "the limited server stops cleanly")


def upload_checks(server, root, work, quillet, env):
    cat = os.path.join(work, "cat.bmp")
    picture(cat, 320, 240, "BMP")
    status, body, _ = upload(server, "A cat", cat)
    pending = re.search(r'<section class="card problem".*?<p>(.*?)</p>', body, re.S)
    check(status == 200, "upload answered %d:\n%s" % (status, body[:2000]))
    check(pending is None, "upload refused: %s" % (pending and pending.group(1)))
    check("A cat" in body and "original 320 &times; 240, BMP" in body, "the result names title, size and format")
    name = thumbnail_for(body)
    check(name in saved_thumbnails(root), "the thumbnail is saved in uploads/")
    with Image.open(os.path.join(root, "uploads", name)) as image:
        check(image.format == "JPEG" and image.size == (160, 120), "thumbnail is a 160 x 120 JPEG: %s %s"
              % (image.format, image.size))
    status, data, headers = curl(server.url + "uploads/" + name)
    check(status == 200 and "Content-Type: image/jpeg" in headers, "the thumbnail is served as image/jpeg")

    wide = os.path.join(work, "wide.jpg")
    picture(wide, 300, 100, "JPEG")
    status, body, _ = upload(server, "Wide", wide)
    name = thumbnail_for(body)
    check(status == 200 and name, "the wide upload was saved:\n" + body[:2000])
    with Image.open(os.path.join(root, "uploads", name)) as image:
        check(image.size == (160, 53), "a 300 x 100 picture is fitted to 160 x 53, not %s" % (image.size,))

    notes = os.path.join(work, "notes.txt")
    with open(notes, "w") as f:
        f.write("not a picture")
    status, body, _ = upload(server, "Notes", notes)
    check(status == 200 and "Unknown picture file extension (.txt)" in body,
          "a refused file shows the component's message")

    before = len(saved_thumbnails(root))

    def one(i):
        status, body, _ = upload(server, "Concurrent %02d" % i, cat, "cat%02d.bmp" % i)
        return i, status, body

    with concurrent.futures.ThreadPoolExecutor(max_workers=50) as pool:
        results = list(pool.map(one, range(50)))
    names = set()
    for i, status, body in results:
        check(status == 200 and ("Concurrent %02d" % i) in body and ("cat%02d.bmp" % i) in body,
              "concurrent upload %d answered correctly (status %d)" % (i, status))
        names.add(thumbnail_for(body))
    check(len(names) == 50 and None not in names, "50 distinct thumbnails")
    check(len(saved_thumbnails(root)) == before + 50, "50 more files in uploads/")
    for name in names:
        with Image.open(os.path.join(root, "uploads", name)) as image:
            check(image.size == (160, 120), "every concurrent thumbnail is 160 x 120")
    status, body, _ = curl(server.url)
    check(body.count("Concurrent ") >= 20, "the gallery lists earlier uploads")
    pixel_limit_check(quillet, root, env, cat)


def main():
    quillet, library, site = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="quillet-e2e-")
    try:
        root = os.path.join(work, "site")
        shutil.copytree(site, root, ignore=shutil.ignore_patterns("uploads"))
        env = dict(os.environ, QUILLET_REGISTRY=os.path.join(work, "registry"), TMPDIR=work)
        registered = subprocess.run([quillet, "register", library], env=env, capture_output=True, text=True)
        server = Server(quillet, root, env)
        try:
            server_checks(server)
            check(registered.returncode == 0, "quillet register: " + registered.stderr.strip())
            upload_checks(server, root, work, quillet, env)
        finally:
            code = server.stop()
        check(code == 0, "SIGTERM ends the server with 0, not %s" % code)
        log = server.text()
        check(re.search(r'"GET / HTTP/1\.1" 200 ', log), "the access log has a line per request")
        check("stopped" in log, "the server says it stopped")
        leftovers = [n for n in os.listdir(work) if n not in ("site", "registry", "serve.log", "limited.log", "big.bin",
                                                                "cat.bmp", "wide.jpg", "notes.txt")
                     and not n.startswith("registry")]
        check(not leftovers, "no temporary files left behind: %s" % leftovers)
        print("1 passed, 0 failed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
