"""A cut transfer resumed against the real nginx of Debian, serving a static file on 127.0.0.1: the
first run is cut at 60 % by the loopback server on the port nginx takes over afterwards (with
nginx's own ETag for the file), the second asks nginx for the rest with Range and If-Range. A file
changed in between, and an nginx that serves no ranges, give the whole body."""

import os
import shutil
import socket
import subprocess
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp

REQUEST_PATH = "/vazu/public/req"
SIZE = 3 * 1048576
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

CONFIG = """daemon off;
master_process off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 16; }}
http {{
    types {{ }}
    default_type application/octet-stream;
    log_format ranges escape=none '$status|$http_range|$http_if_range';
    access_log {folder}/access.log ranges;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {folder}/www;
        {ranges}
    }}
}}
"""


def nginx_etag(path):
    """nginx's ETag of a static file: its modification time and size in hex."""
    st = os.stat(path)
    return '"%x-%x"' % (int(st.st_mtime), st.st_size)


class Nginx:
    """nginx in the foreground, one process, on 127.0.0.1:port only, with its files in folder."""

    def __init__(self, folder, port, ranges=True):
        self.folder = folder
        conf = os.path.join(folder, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(folder=folder, port=port, ranges="" if ranges else "max_ranges 0;"))
        self.proc = subprocess.Popen([NGINX, "-c", conf, "-p", folder, "-e", os.path.join(folder, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        up = cvtest.wait_until(lambda: self._accepts(port), 20)
        assert up, "nginx did not start: " + self._read("error.log")

    @staticmethod
    def _accepts(port):
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return True
        except OSError:
            return False

    def _read(self, name):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return ""
        with open(path) as f:
            return f.read()

    def requests(self):
        """(status, Range, If-Range) of every request served."""
        return [tuple(line.split("|")) for line in self._read("access.log").splitlines()]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


@unittest.skipUnless(os.path.exists(NGINX), "nginx is not installed (scripts/bootstrap)")
class ResumeAgainstNginx(cvtest.LoopbackUpdateCase):
    scratch_name = "resume"

    def setUp(self):
        super().setUp()
        self.port = self.server.http_port
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.port),
                          "--product": "Callvane"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.exe)
        self.nginx_folder = self.scratch.file("nginx")
        self.body = os.path.join(self.nginx_folder, "www" + REQUEST_PATH)
        os.makedirs(os.path.dirname(self.body))
        with open(cvtest.fixture("democlient.exe"), "rb") as f:
            client = f.read()
        with open(self.body, "wb") as f:
            f.write(client + b"\0" * (SIZE - len(client)))
        self.nginx = None

    def tearDown(self):
        if self.nginx:
            self.nginx.stop()
        super().tearDown()

    def run_installer(self):
        code = cvtest.Run(self.exe).wait(180)
        return code, cvtest.read_log()

    def cut_then_nginx(self, ranges=True):
        """The first run, cut at 60 % of the file with nginx's ETag; then nginx on the same port."""
        cut = SIZE * 6 // 10
        self.server.configure(status=200, content_type="application/octet-stream", body_file=self.body,
                              etag=nginx_etag(self.body), truncate_after=cut)
        code, log = self.run_installer()
        self.assertEqual(code, 13, log)
        self.assertIn("Partial download kept for a resume: %d of %d bytes" % (cut, SIZE), log)
        self.assertEqual(digest(self.exe), self.stamped)
        self.server.stop()
        self.nginx = Nginx(self.nginx_folder, self.port, ranges)
        return cut

    def test_cut_transfer_is_resumed_from_nginx(self):
        cut = self.cut_then_nginx()
        etag = nginx_etag(self.body)
        code, log = self.run_installer()
        self.assertEqual(code, 0, log)
        self.assertEqual(self.nginx.requests(), [("206", "bytes=%d-" % cut, etag)])
        self.assertIn("Download resumed at byte %d of %d" % (cut, SIZE), log)
        self.assertEqual(digest(self.exe), digest(self.body), "the file switched in is the body")

    def test_file_changed_in_between_is_downloaded_whole(self):
        old_etag = nginx_etag(self.body)
        cut = self.cut_then_nginx()
        st = os.stat(self.body)
        os.utime(self.body, (st.st_atime, st.st_mtime + 60))
        self.assertNotEqual(nginx_etag(self.body), old_etag, "control: nginx names the file anew")
        code, log = self.run_installer()
        self.assertEqual(code, 0, log)
        self.assertEqual(self.nginx.requests(), [("200", "bytes=%d-" % cut, old_etag)])
        self.assertIn("Resume refused: the server answered 200 with the whole file", log)
        self.assertEqual(digest(self.exe), digest(self.body))

    def test_nginx_without_ranges_gives_the_whole_body(self):
        cut = self.cut_then_nginx(ranges=False)
        code, log = self.run_installer()
        self.assertEqual(code, 0, log)
        self.assertEqual(self.nginx.requests(), [("200", "bytes=%d-" % cut, nginx_etag(self.body))])
        self.assertEqual(digest(self.exe), digest(self.body), "the body, not the held bytes and the body")


if __name__ == "__main__":
    cvtest.main()
