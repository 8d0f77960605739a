#!/usr/bin/python3
"""`quillet serve` under load and under faults, with a copy of the default site:

- many clients uploading at once on keep-alive connections: every answer right, every
  thumbnail a whole JPEG of the fitted size; the server's memory and open files do not grow;
- clients that misbehave (gone mid-body, short bodies, bodies over the limit, chunked
  bodies, a body that trickles in, a flood of idle connections): each is dealt with, the
  others are served meanwhile and after, and no temporary file is left behind;
- `kill -9` while saves are in flight: every picture under its final name is whole, and
  the next start clears what the killed server left in its temporary folder.

    load_test.py QUILLET_BINARY COMPONENT_LIBRARY SITE_DIR [--clients N] [--uploads N] [--no-memory-check]

Exit status: 0 passed, 1 failed.
"""
import argparse
import os
import re
import sys
import threading
import time

from PIL import Image

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from http_load import (Client, Failure, Server, Site, Upload, answer_problem, check, connect, form_body,  # noqa: E402
                       read_answer, run_load, standard_uploads, upload_once, wait_closed)

MAX_BODY = 1_000_000
TIMEOUT = 3      # the server's idle timeout (seconds)
WARM_UP = 10     # uploads per client before memory is first measured
# Memory may settle a little higher after the warm-up (allocator arenas, the page cache of
# thread stacks); growth with the number of uploads is what this catches.
RSS_SLACK_KIB = 24 * 1024


def open_files(server):
    return len(os.listdir("/proc/%d/fd" % server.process.pid))


def settle(site, what, wait=10):
    """Waits for the temporary folder and the hidden names in uploads/ to empty (a request
    may still be finishing); fails naming what stays."""
    deadline = time.time() + wait
    while site.temporary_leftovers() and time.time() < deadline:
        time.sleep(0.1)
    check(not site.temporary_leftovers(), "after %s, temporary files are left: %s" % (what, site.temporary_leftovers()))


def still_serving(site, server, what, uploads):
    client = Client(server.port)
    try:
        problem, _ = upload_once(site, client, uploads[0], "after " + what, "after.bmp")
    finally:
        client.close()
    check(problem is None, "after %s, an upload fails: %s" % (what, problem))
    settle(site, what)


def request_head(length=None, chunked=False, extra=""):
    head = "POST /index.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=%s\r\n" % (
        form_body("", "", b"")[1].split("=", 1)[1])
    if length is not None:
        head += "Content-Length: %d\r\n" % length
    if chunked:
        head += "Transfer-Encoding: chunked\r\n"
    return (head + extra + "\r\n").encode()


def chunks(data, size=16384):
    out = b""
    for i in range(0, len(data), size):
        piece = data[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


def load_checks(site, server, clients, per_client, uploads, memory_check):
    started_files = open_files(server)
    warm = run_load(site, server.port, clients, WARM_UP, uploads, "warm")
    check(not warm.problems, "warm-up: %d of %d uploads wrong, first: %s" % (
        len(warm.problems), len(warm.latencies), warm.problems[:3]))
    rss_warm = server.rss_kib()
    result = run_load(site, server.port, clients, per_client, uploads, "load")
    check(len(result.latencies) == clients * per_client, "every upload was answered")
    check(not result.problems, "%d of %d uploads wrong, first: %s" % (
        len(result.problems), len(result.latencies), result.problems[:3]))
    rss_end = server.rss_kib()
    print("%d clients x %d uploads: %.0f uploads/s, latency p50 %.1f ms, p99 %.1f ms; RSS %d KiB after the "
          "warm-up, %d KiB at the end" % (clients, per_client, result.rate(), result.percentile(50) * 1000,
                                          result.percentile(99) * 1000, rss_warm, rss_end))
    check(len(site.thumbnails()) == clients * (WARM_UP + per_client), "one thumbnail per upload in uploads/")
    check(not memory_check or rss_end <= rss_warm + RSS_SLACK_KIB,
          "the server's memory grew from %d KiB to %d KiB" % (rss_warm, rss_end))
    # Keep-alive connections close as the clients end; the server's own files stay.
    deadline = time.time() + 5
    while open_files(server) > started_files and time.time() < deadline:
        time.sleep(0.1)
    check(open_files(server) <= started_files, "the server holds %d files, %d before the load" % (
        open_files(server), started_files))
    settle(site, "the load")


def broken_body_checks(site, server, uploads):
    body, _ = form_body("broken", "broken.bmp", uploads[0].data)
    # Gone mid-body, and gone after all but the last bytes.
    for cut in (len(body) // 2, len(body) - 10):
        sock = connect(server.port)
        sock.sendall(request_head(len(body)) + body[:cut])
        time.sleep(0.1)
        sock.close()
        still_serving(site, server, "a client that left after %d of %d body bytes" % (cut, len(body)), uploads)
    # A body shorter than its length, the client waiting: closed by the idle timeout,
    # without an answer (none can be given for a request that never ended).
    sock = connect(server.port)
    sock.sendall(request_head(len(body)) + body[:-10])
    status, why, _ = read_answer(sock, TIMEOUT + 10)
    sock.close()
    check(status == 0 and why in ("closed", "reset"), "a short body with a waiting client is closed: %s %s" % (status, why))
    still_serving(site, server, "a short body", uploads)


def limit_checks(site, server, uploads):
    # A declared length over the limit: 413 from the headers alone, with or without Expect.
    for extra in ("", "Expect: 100-continue\r\n"):
        sock = connect(server.port)
        sock.sendall(request_head(MAX_BODY + 1, extra=extra))
        status, head, _ = read_answer(sock, 10)
        sock.close()
        check(status == 413 and "100 Continue" not in head, "Content-Length over the limit (%r) gets 413, not %s %s"
              % (extra, status, head))
    # Chunked: within the limit it is an upload like any other; over it, 413.
    upload = uploads[1]
    body, _ = form_body("chunked", "chunked.gif", upload.data)
    sock = connect(server.port)
    sock.sendall(request_head(chunked=True) + chunks(body))
    status, _, answer = read_answer(sock, 30)
    sock.close()
    problem = answer_problem(site, upload, "chunked", "chunked.gif", status, answer.decode("utf-8", "replace"))
    check(problem is None, "a chunked upload: %s" % problem)
    sock = connect(server.port)
    try:
        sock.sendall(request_head(chunked=True, extra="Connection: close\r\n") + chunks(b"x" * (MAX_BODY + 50000)))
    except (BrokenPipeError, ConnectionResetError):
        pass
    status, head, _ = read_answer(sock, 30)
    sock.close()
    check(status == 413, "a chunked body over the limit gets 413, not %s %s" % (status, head))
    still_serving(site, server, "bodies over the limit", uploads)


def slow_client_checks(site, server, uploads):
    """A body that comes a byte at a time, never idle for the timeout: the others are
    served meanwhile, and the server cuts it off."""
    body, _ = form_body("slow", "slow.bmp", uploads[0].data)
    sock = connect(server.port)
    sock.sendall(request_head(len(body)))
    cut = []

    def trickle():
        started = time.time()
        for i in range(len(body)):
            try:
                sock.send(body[i:i + 1])
            except OSError:
                cut.append(time.time() - started)
                return
            if time.time() - started > TIMEOUT * 10:
                return
            time.sleep(0.05)
            sock.settimeout(0.0)
            try:
                if sock.recv(1) == b"":
                    cut.append(time.time() - started)
                    return
            except BlockingIOError:
                pass
            except OSError:
                cut.append(time.time() - started)
                return

    slow = threading.Thread(target=trickle)
    slow.start()
    meanwhile = run_load(site, server.port, 4, 5, uploads, "beside-slow")
    slow.join()
    sock.close()
    check(not meanwhile.problems, "uploads beside a slow client: %s" % meanwhile.problems[:3])
    check(meanwhile.percentile(100) < 5, "uploads beside a slow client take up to %.1f s" % meanwhile.percentile(100))
    check(cut and cut[0] < TIMEOUT * 3, "a client that sends a byte at a time is cut off (after %s s)" % cut)
    still_serving(site, server, "a slow client", uploads)


def idle_flood_checks(site, server, uploads):
    """Hundreds of connections that send nothing, or half a request line: the others are
    served meanwhile, and the idle ones are closed after the timeout."""
    flood = []
    for i in range(300):
        sock = connect(server.port)
        if i % 3 == 0:
            sock.sendall(b"POST /index.asp HT")
        flood.append(sock)
    meanwhile = run_load(site, server.port, 4, 5, uploads, "beside-idle")
    check(not meanwhile.problems, "uploads beside idle connections: %s" % meanwhile.problems[:3])
    deadline = time.time() + TIMEOUT + 10
    open_left = 0
    for sock in flood:
        if wait_closed(sock, max(0.1, deadline - time.time())) is None:
            open_left += 1
        sock.close()
    check(open_left == 0, "%d of %d idle connections are still open after the timeout" % (open_left, len(flood)))
    still_serving(site, server, "a flood of idle connections", uploads)


def kill_checks(site, uploads, clients):
    """kill -9 with many saves in flight; then what is under a final name is whole, and the
    next start clears the killed server's temporary folders."""
    server = Server(site, "--threads", "4", "--timeout", str(TIMEOUT), "--max-body", str(MAX_BODY), log="kill.log")
    before = set(site.thumbnails())
    stop = threading.Event()
    loader = threading.Thread(target=run_load, args=(site, server.port, clients, 1_000_000, uploads, "kill"),
                              kwargs={"decode": False, "stop": stop})
    loader.start()
    deadline = time.time() + 20
    while len(site.thumbnails()) < len(before) + 3 * clients and time.time() < deadline:
        time.sleep(0.05)
    server.kill()
    stop.set()
    loader.join()
    sizes = {u.thumbnail for u in uploads}
    saved = [n for n in site.thumbnails() if n not in before]
    check(len(saved) >= 3 * clients, "uploads were saved before the kill")
    for name in saved:
        try:
            with Image.open(os.path.join(site.uploads, name)) as image:
                image.load()
                check(image.format == "JPEG" and image.size in sizes, "%s is a %s of %s" % (name, image.format, image.size))
        except Failure:
            raise
        except Exception as e:
            raise Failure("after kill -9, %s under its final name is not a whole JPEG: %s" % (name, e))
    left = site.temporary_leftovers()
    print("after kill -9: %d whole thumbnails, left behind: %s" % (len(saved), left or "nothing"))
    # The load folders in the temporary folder, and the hidden names saves are written under
    # before their rename; nothing else.
    for name in left:
        check(name.startswith("tmp/quillet-") or re.match(r"uploads/\..+\.jpg\.[A-Za-z0-9]{6}$", name),
              "left behind under a name that is not clearly temporary: %s" % name)
    restarted = Server(site, "--threads", "4", "--timeout", str(TIMEOUT), "--max-body", str(MAX_BODY), log="restart.log")
    try:
        check(not [n for n in site.temporary_leftovers() if n.startswith("tmp/")],
              "the next start clears the killed server's temporary folders: %s" % site.temporary_leftovers())
        client = Client(restarted.port)
        problem, _ = upload_once(site, client, uploads[2], "after the kill", "after.jpg")
        client.close()
        check(problem is None, "after kill -9 and a new start, an upload fails: %s" % problem)
    finally:
        check(restarted.stop() == 0, "the restarted server stops cleanly")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillet")
    parser.add_argument("library")
    parser.add_argument("site")
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--uploads", type=int, default=200, help="per client, after the warm-up")
    # Under the address sanitizer freed memory waits in its quarantine, so the resident size
    # grows whatever the server does; its leak check at the server's exit stands in.
    parser.add_argument("--no-memory-check", action="store_true", help="do not compare the server's RSS")
    args = parser.parse_args()
    site = Site(args.quillet, args.library, args.site)
    try:
        uploads = standard_uploads()
        server = Server(site, "--threads", "4", "--timeout", str(TIMEOUT), "--max-body", str(MAX_BODY))
        try:
            load_checks(site, server, args.clients, args.uploads, uploads, not args.no_memory_check)
            broken_body_checks(site, server, uploads)
            limit_checks(site, server, uploads)
            slow_client_checks(site, server, uploads)
            idle_flood_checks(site, server, uploads)
        finally:
            code = server.stop()
        check(code == 0, "SIGTERM ends the loaded server with 0, not %s" % code)
        settle(site, "the stop")
        kill_checks(site, uploads, args.clients)
        print("1 passed, 0 failed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        site.remove()


if __name__ == "__main__":
    sys.exit(main())
