"""Real web servers for the repair tests: nginx on a free loopback port,
started as a plain process with a configuration in a folder of the test's
own (no system service), HTTP and HTTPS with a certificate authority made at
test time, and the fault proxy (faultproxy.py) in front of it.

Used by test_repair_http.py and by the repair benchmark.
"""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOOPBACK = "127.0.0.1"


def clean_environment():
    """The environment for programs under test: no proxy variables, so that
    nothing is sent anywhere but to the loopback servers."""
    env = dict(os.environ)
    for name in list(env):
        if name.lower() in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
            del env[name]
    return env


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("the server ended at start (exit %d)" % process.returncode)
        try:
            with socket.create_connection((LOOPBACK, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %s:%d" % (LOOPBACK, port))


def make_test_ca(folder):
    """A certificate authority and a server certificate for 127.0.0.1 signed
    by it, made with openssl.  Returns (ca.pem, server.pem, server.key)."""
    os.makedirs(folder, exist_ok=True)
    ca_key, ca_pem = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, pem = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(folder, "server.ext")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    run("req", "-x509", *ec, "-keyout", ca_key, "-out", ca_pem, "-days", "2", "-subj", "/CN=Brevik test CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *ec, "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1")
    # The name is given as an address (what clients match an address
    # against) and once more as a DNS name: Wine's certificate check compares
    # the host with DNS names only (Windows and OpenSSL take the address).
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial", "-out", pem,
        "-days", "2", "-extfile", ext)
    return ca_pem, pem, key


# One access-log line: the request, the status, the body bytes sent and the
# Range header.
LOG_FORMAT = '$status $body_bytes_sent "$request" "$http_range"'
LOG_LINE = re.compile(r'^(\d+) (\d+) "(\S+) (\S+) [^"]*" "([^"]*)"$')


class Nginx:
    """nginx serving DOCROOT on a free loopback port, and with TLS (a test CA)
    on another one.  EXTRA is put into both server blocks (locations for
    redirects and the like); {http} and {https} in it become the base
    addresses."""

    def __init__(self, folder, docroot, tls=True, extra="", users=None):
        self.folder = os.path.abspath(folder)
        self.docroot = os.path.abspath(docroot)
        self.tls = tls
        self.extra = extra
        self.users = users or {}
        self.process = None
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.ca = None

    @property
    def http(self):
        return "http://%s:%d" % (LOOPBACK, self.port)

    @property
    def https(self):
        return "https://%s:%d" % (LOOPBACK, self.tls_port)

    def _config(self):
        run = self.folder
        temp = "".join("    %s_temp_path %s/tmp/%s;\n" % (kind, run, kind)
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        extra = self.extra.replace("{http}", self.http)
        if self.tls:
            extra = extra.replace("{https}", self.https)
        auth = ""
        if self.users:
            with open(os.path.join(run, "users"), "w") as f:
                for user, password in self.users.items():
                    f.write("%s:{PLAIN}%s\n" % (user, password))
            auth = ("        location /private/ {\n"
                    "            auth_basic \"mirror\";\n"
                    "            auth_basic_user_file %s/users;\n"
                    "            alias %s/;\n"
                    "        }\n") % (run, self.docroot)
        server = ("        root %s;\n"
                  "        location / { }\n%s%s") % (self.docroot, auth, extra)
        tls = ""
        if self.tls:
            tls = ("    server {\n"
                   "        listen %s:%d ssl;\n"
                   "        ssl_certificate %s;\n"
                   "        ssl_certificate_key %s;\n%s"
                   "    }\n") % (LOOPBACK, self.tls_port, self.ca[1], self.ca[2], server)
        user = "user root;\n" if os.geteuid() == 0 else ""
        return ("%sdaemon off;\n"
                "worker_processes 2;\n"
                "pid %s/nginx.pid;\n"
                "error_log %s/error.log warn;\n"
                "events { worker_connections 512; }\n"
                "http {\n"
                "    default_type application/octet-stream;\n"
                "    log_format brevik '%s';\n"
                "    access_log %s/access.log brevik;\n"
                "    sendfile on;\n"
                "    keepalive_requests 100000;\n"
                "%s"
                "    server {\n"
                "        listen %s:%d;\n%s"
                "    }\n"
                "%s"
                "}\n") % (user, run, run, LOG_FORMAT, run, temp, LOOPBACK, self.port, server, tls)

    def start(self):
        os.makedirs(os.path.join(self.folder, "tmp"), exist_ok=True)
        if self.tls and self.ca is None:
            self.ca = make_test_ca(os.path.join(self.folder, "ca"))
        conf = os.path.join(self.folder, "nginx.conf")
        with open(conf, "w") as f:
            f.write(self._config())
        self.process = subprocess.Popen(
            ["nginx", "-c", conf, "-p", self.folder, "-e", os.path.join(self.folder, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)
        if self.tls:
            wait_for_port(self.tls_port, self.process)
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def ca_file(self):
        return self.ca[0]

    def access_log(self):
        """[{"status", "bytes", "method", "path", "range"}] of every request so
        far (nginx writes a line when a request ends)."""
        entries = []
        path = os.path.join(self.folder, "access.log")
        if not os.path.exists(path):
            return entries
        with open(path) as f:
            for line in f:
                match = LOG_LINE.match(line.strip())
                if match:
                    entries.append({"status": int(match.group(1)), "bytes": int(match.group(2)),
                                    "method": match.group(3), "path": match.group(4),
                                    "range": match.group(5)})
        return entries


class FaultProxy:
    """faultproxy.py in front of UPSTREAM_PORT, scripted with RULES (see
    faultproxy.py).  `url(path)` is the address of a file through it."""

    def __init__(self, folder, upstream_port, rules, strip_validators=False):
        self.folder = os.path.abspath(folder)
        self.upstream_port = upstream_port
        self.rules = rules
        self.strip_validators = strip_validators
        self.process = None
        self.port = None

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        script = os.path.join(self.folder, "rules.json")
        with open(script, "w") as f:
            json.dump({"rules": self.rules, "strip_validators": self.strip_validators}, f)
        port_file = os.path.join(self.folder, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.log = os.path.join(self.folder, "proxy.log")
        with open(os.path.join(self.folder, "stderr"), "w") as errors:
            self.process = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "faultproxy.py"), "--upstream", str(self.upstream_port),
                 "--script", script, "--port-file", port_file, "--log", self.log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
                with open(port_file) as f:
                    self.port = int(f.read())
                wait_for_port(self.port, self.process)
                return self
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        raise RuntimeError("the fault proxy did not start")

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path):
        return "http://%s:%d%s" % (LOOPBACK, self.port, path)

    def requests(self):
        """Every request so far: {"path", "range", "fault", "status", "sent"}."""
        entries = []
        if os.path.exists(self.log):
            with open(self.log) as f:
                entries = [json.loads(line) for line in f if line.strip()]
        return entries


def served_bytes(entries, path=None):
    """Body bytes nginx sent for the requests of ENTRIES (an access log), of
    PATH only when given."""
    return sum(e["bytes"] for e in entries if path is None or e["path"] == path)


if __name__ == "__main__":
    # Serves a folder until Ctrl-C: python3 webmirror.py FOLDER
    root = sys.argv[1]
    work = os.path.join(os.path.abspath(root), ".nginx")
    shutil.rmtree(work, ignore_errors=True)
    with Nginx(work, root) as server:
        print(server.http, server.https, "CA", server.ca_file)
        try:
            server.process.wait()
        except KeyboardInterrupt:
            pass
