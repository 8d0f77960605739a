"""What the load test and the server benchmark share: a `quillet serve` on a loopback port
with its own copy of the site, registry and temporary folder; upload bodies built byte by
byte; the check of an upload's answer and thumbnail; and a load generator of client
threads on keep-alive connections.
"""
import http.client
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from PIL import Image

BOX = (160, 120)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Site:
    """A work folder holding a copy of the site, a registry with the component in it and
    the temporary folder the server is given."""

    def __init__(self, quillet, library, site, prefix="quillet-load-"):
        self.quillet = quillet
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.root = os.path.join(self.work, "site")
        self.tmp = os.path.join(self.work, "tmp")
        self.uploads = os.path.join(self.root, "uploads")
        shutil.copytree(site, self.root, ignore=shutil.ignore_patterns("uploads"))
        os.mkdir(self.tmp)
        self.env = dict(os.environ, QUILLET_REGISTRY=os.path.join(self.work, "registry"), TMPDIR=self.tmp)
        done = subprocess.run([quillet, "register", library], env=self.env, capture_output=True, text=True)
        check(done.returncode == 0, "quillet register: " + done.stderr.strip())

    def temporary_leftovers(self):
        """What is left in the server's temporary folder and, as hidden names, in uploads/."""
        left = ["tmp/" + n for n in os.listdir(self.tmp)]
        if os.path.isdir(self.uploads):
            left += ["uploads/" + n for n in os.listdir(self.uploads) if n.startswith(".")]
        return sorted(left)

    def thumbnails(self):
        return sorted(n for n in os.listdir(self.uploads) if not n.startswith(".")) if os.path.isdir(self.uploads) else []

    def remove(self):
        shutil.rmtree(self.work, ignore_errors=True)


class Server:
    def __init__(self, site, *options, log="serve.log"):
        self.site = site
        self.log_path = os.path.join(site.work, log)
        self.log = open(self.log_path, "w+")
        self.process = subprocess.Popen([site.quillet, "serve", "--root", site.root, "--port", "0", *options],
                                        stderr=self.log, env=site.env)
        self.port = None
        deadline = time.time() + 30
        while time.time() < deadline and self.port is None and self.process.poll() is None:
            time.sleep(0.05)
            match = re.search(r"on http://127\.0\.0\.1:(\d+)/", self.text())
            if match:
                self.port = int(match.group(1))
        check(self.port is not None, "the server did not start:\n" + self.text())

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=60)
        self.log.close()
        return code

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=30)
        self.log.close()


def picture(width, height, kind):
    """A gradient picture as the bytes of a file of the given Pillow format."""
    image = Image.new("RGB", (width, height))
    image.putdata([(x * 255 // max(1, width - 1), y * 255 // max(1, height - 1), (x ^ y) & 255)
                   for y in range(height) for x in range(width)])
    if kind == "GIF":
        image = image.convert("P")
    out = io.BytesIO()
    image.save(out, kind)
    return out.getvalue()


def fitted(width, height):
    """The thumbnail size the site's page gives a picture (JavaScript's Math.round)."""
    scale = min(BOX[0] / width, BOX[1] / height)
    return (max(1, min(BOX[0], int(width * scale + 0.5))), max(1, min(BOX[1], int(height * scale + 0.5))))


class Upload:
    """One picture to upload: its bytes, its extension, and what its answer must say."""

    def __init__(self, width, height, kind, extension, format_name):
        self.width, self.height = width, height
        self.data = picture(width, height, kind)
        self.extension = extension
        self.format = format_name
        self.thumbnail = fitted(width, height)


def standard_uploads():
    return [Upload(320, 240, "BMP", "bmp", "BMP"), Upload(300, 100, "GIF", "gif", "GIF"),
            Upload(90, 200, "JPEG", "jpg", "JPG"), Upload(64, 48, "TGA", "tga", "TGA"),
            Upload(200, 200, "PPM", "ppm", "PPM")]


BOUNDARY = "----quilletload7MA4YWxkTrZu0gW"


def form_body(title, file_name, data, boundary=BOUNDARY):
    """A multipart/form-data body with a title field and a photo file, as browsers write it."""
    head = ("--%s\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\n%s\r\n"
            "--%s\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"%s\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % (boundary, title, boundary, file_name)).encode()
    return head + data + ("\r\n--%s--\r\n" % boundary).encode(), "multipart/form-data; boundary=" + boundary


def thumbnail_for(body):
    match = re.search(r'id="thumbnail" src="uploads/([^"]+)"', body)
    return match and re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), match.group(1))


def answer_problem(site, upload, title, file_name, status, body, decode=True):
    """Why an upload's answer is wrong (None when it is right): the status, the title, the
    file name and the original's size in the page, and a thumbnail under the name the page
    gives that is a whole JPEG of the fitted size."""
    if status != 200:
        return "status %d: %s" % (status, body[:300])
    problem = re.search(r'<section class="card problem".*?<p>(.*?)</p>', body, re.S)
    if problem:
        return "refused: " + problem.group(1)
    if title not in body or file_name not in body:
        return "the answer does not name %s and %s" % (title, file_name)
    if "original %d &times; %d, %s" % (upload.width, upload.height, upload.format) not in body:
        return "the answer does not give the original's size and format"
    name = thumbnail_for(body)
    if not name:
        return "no thumbnail in the answer"
    path = os.path.join(site.uploads, name)
    try:
        with Image.open(path) as image:
            if image.format != "JPEG" or image.size != upload.thumbnail:
                return "%s is a %s of %s, not a JPEG of %s" % (name, image.format, image.size, upload.thumbnail)
            if decode:
                image.load()
    except Exception as e:  # a missing or torn file
        return "%s: %s" % (name, e)
    return None


class Client:
    """One client on a keep-alive connection, reconnecting when the server closes it."""

    def __init__(self, port, timeout=120):
        self.port, self.timeout = port, timeout
        self.connection = None

    def request(self, method, path, body=None, content_type=None):
        """(status, body text, seconds); status 0 when the exchange failed."""
        started = time.perf_counter()
        headers = {"Content-Type": content_type} if content_type else {}
        for attempt in range(2):
            if self.connection is None:
                self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
            try:
                self.connection.request(method, path, body=body, headers=headers)
                response = self.connection.getresponse()
                data = response.read()
                if response.getheader("Connection", "").lower() == "close":
                    self.close()
                return response.status, data.decode("utf-8", "replace"), time.perf_counter() - started
            except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError) as e:
                # A keep-alive connection the server closed while idle: once more on a new one.
                self.close()
                if attempt == 1:
                    return 0, "%s: %s" % (type(e).__name__, e), time.perf_counter() - started
            except (OSError, http.client.HTTPException) as e:
                self.close()
                return 0, "%s: %s" % (type(e).__name__, e), time.perf_counter() - started
        return 0, "unreachable", 0.0

    def close(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None


def upload_once(site, client, upload, title, file_name, decode=True):
    """Posts one upload; (problem or None, seconds)."""
    body, content_type = form_body(title, file_name, upload.data)
    status, text, seconds = client.request("POST", "/index.asp", body, content_type)
    return answer_problem(site, upload, title, file_name, status, text, decode), seconds


class LoadResult:
    def __init__(self):
        self.latencies = []
        self.problems = []
        self.seconds = 0.0
        self.lock = threading.Lock()

    def add(self, seconds, problem):
        with self.lock:
            self.latencies.append(seconds)
            if problem:
                self.problems.append(problem)

    def percentile(self, p):
        ordered = sorted(self.latencies)
        return ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))] if ordered else 0.0

    def rate(self):
        return len(self.latencies) / self.seconds if self.seconds else 0.0


def run_load(site, port, clients, per_client, uploads, tag, decode=True, stop=None):
    """clients threads, each posting per_client uploads (cycling through uploads) on its own
    keep-alive connection, every answer checked; stop (an Event) ends them early."""
    result = LoadResult()

    def one_client(c):
        client = Client(port)
        try:
            for i in range(per_client):
                if stop is not None and stop.is_set():
                    break
                upload = uploads[(c + i) % len(uploads)]
                title = "%s c%02d-%04d" % (tag, c, i)
                file_name = "%s-c%02d-%04d.%s" % (tag, c, i, upload.extension)
                problem, seconds = upload_once(site, client, upload, title, file_name, decode)
                result.add(seconds, problem and "%s: %s" % (file_name, problem))
        finally:
            client.close()

    started = time.perf_counter()
    threads = [threading.Thread(target=one_client, args=(c,)) for c in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    result.seconds = time.perf_counter() - started
    return result


def connect(port, timeout=30):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_answer(sock, wait=30):
    """(status, head, body) of one response read from sock, or (0, why, b"") when the
    server closed the connection (or reset it) without a whole response."""
    sock.settimeout(wait)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return 0, "closed", b""
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        head = head.decode("latin-1")
        length = re.search(r"(?im)^content-length:\s*(\d+)", head)
        want = int(length.group(1)) if length else 0
        while len(body) < want:
            chunk = sock.recv(65536)
            if not chunk:
                return 0, "closed in the body", b""
            body += chunk
        return int(head.split()[1]), head, body
    except ConnectionResetError:
        return 0, "reset", b""
    except socket.timeout:
        return 0, "no answer in %gs" % wait, b""


def wait_closed(sock, wait):
    """Seconds until the server closes sock (EOF or reset), or None when it stays open for
    wait seconds. Anything the server sends first is read and dropped."""
    started = time.perf_counter()
    sock.settimeout(0.5)
    while time.perf_counter() - started < wait:
        try:
            if not sock.recv(65536):
                return time.perf_counter() - started
        except socket.timeout:
            continue
        except (ConnectionResetError, BrokenPipeError):
            return time.perf_counter() - started
    return None
