#!/usr/bin/python3
"""`quillet serve` with the default site, measured from loopback clients:

- uploads per second and latency percentiles for 1, 8 and 32 concurrent clients on
  keep-alive connections (each answer and thumbnail checked), the server's RSS at start and
  after each run;
- what the gallery costs a page view as uploads/ fills;
- how long quick requests wait while a long page runs (two network threads, two page workers).

    server_bench.py BUILD_DIR [SOURCE_DIR]
"""
import os
import shutil
import sys
import threading
import time

SOURCE = sys.argv[2] if len(sys.argv) > 2 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from http_load import Client, Server, Site, Upload, run_load  # noqa: E402

UPLOADS_PER_RUN = 640


def make_site(build):
    return Site(os.path.join(build, "quillet"), os.path.join(build, "libquillet.so"), os.path.join(SOURCE, "site"),
                prefix="quillet-bench-")


def upload_runs(build):
    uploads = [Upload(320, 240, "BMP", "bmp", "BMP"), Upload(300, 100, "GIF", "gif", "GIF"),
               Upload(90, 200, "JPEG", "jpg", "JPG")]
    print("uploads of 320x240 BMP, 300x100 GIF and 90x200 JPEG pictures, --threads 4, a fresh uploads/ each run")
    print("%8s %8s %10s %9s %9s %9s %9s %12s %12s" % ("clients", "uploads", "uploads/s", "p50 ms", "p90 ms", "p99 ms",
                                                      "max ms", "RSS start", "RSS after"))
    for clients in (1, 8, 32):
        site = make_site(build)
        server = Server(site, "--threads", "4", "--max-body", str(8 << 20))
        try:
            rss_start = server.rss_kib()
            run_load(site, server.port, clients, 4, uploads, "warm", decode=False)
            result = run_load(site, server.port, clients, UPLOADS_PER_RUN // clients, uploads, "bench", decode=False)
            rss_after = server.rss_kib()
        finally:
            server.stop()
            site.remove()
        wrong = " (%d wrong: %s)" % (len(result.problems), result.problems[0]) if result.problems else ""
        print("%8d %8d %10.1f %9.1f %9.1f %9.1f %9.1f %9d KiB %9d KiB%s" % (
            clients, len(result.latencies), result.rate(), result.percentile(50) * 1000, result.percentile(90) * 1000,
            result.percentile(99) * 1000, result.percentile(100) * 1000, rss_start, rss_after, wrong))


def page_view_ms(client, count=40):
    started = time.perf_counter()
    for _ in range(count):
        client.request("GET", "/")
    return (time.perf_counter() - started) / count * 1000


def gallery_cost(build):
    site = make_site(build)
    server = Server(site)
    client = Client(server.port)
    try:
        os.makedirs(site.uploads, exist_ok=True)
        print("\nGET / (the form and the newest 24 of the gallery) as uploads/ fills:")
        sample = os.path.join(site.work, "sample.jpg")
        with open(sample, "wb") as f:
            f.write(b"\xff" * 6000)
        have = 0
        for files in (0, 1000, 5000, 10000):
            for i in range(have, files):
                shutil.copyfile(sample, os.path.join(site.uploads, "1%012d-ab_320x240_BMP_t%d.jpg" % (i, i)))
            have = files
            print("%8d files in uploads/: %6.2f ms a page view" % (files, page_view_ms(client)))
    finally:
        client.close()
        server.stop()
        site.remove()


def long_page_wait(build):
    """Eight clients ask for a quick page and a static file, over and over, while another
    connection runs a page of two seconds: how long do they wait at worst?"""
    site = make_site(build)
    with open(os.path.join(site.root, "long.asp"), "w") as f:
        f.write("<% var until = Date.now() + 2000; while (Date.now() < until) {} %>done")
    server = Server(site, "--threads", "2")
    stop = threading.Event()
    waits = {"/style.css": [], "/?quick": []}

    def quick(path):
        client = Client(server.port)
        while not stop.is_set():
            status, _, seconds = client.request("GET", path)
            waits[path].append(seconds if status == 200 else float("inf"))
            time.sleep(0.01)
        client.close()

    threads = [threading.Thread(target=quick, args=(path,)) for path in waits for _ in range(4)]
    try:
        for t in threads:
            t.start()
        time.sleep(0.5)
        for values in waits.values():
            values.clear()
        long_client = Client(server.port)
        status, _, seconds = long_client.request("GET", "/long.asp")
        long_client.close()
        stop.set()
        for t in threads:
            t.join()
    finally:
        stop.set()
        server.stop()
        site.remove()
    print("\nquick requests while a 2 s page runs (--threads 2, 8 keep-alive clients); the long page took %.2f s:"
          % seconds)
    for path, values in waits.items():
        values.sort()
        print("  GET %-10s %5d answers, p50 %.1f ms, max %.1f ms" % (
            path, len(values), values[len(values) // 2] * 1000, values[-1] * 1000))


def main():
    build = os.path.abspath(sys.argv[1])
    upload_runs(build)
    gallery_cost(build)
    long_page_wait(build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
