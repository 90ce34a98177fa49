"""The demo run behind scripts/demo (which prepares the build, the Wine prefix and the display).

Starts the loopback update server with the demo client build, stamps a copy of CV_setup.exe for
it, runs the installer, takes a screenshot of the splash while the download runs, and prints the
log, the .deployment file, the backup, the swapped file and the demo client's proof of start."""

import hashlib
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import cvtest  # noqa: E402
from updateserver import UpdateServer  # noqa: E402

LAST_MODIFIED = "Tue, 05 Mar 2024 14:07:09 GMT"
CLIENT_SIZE = 3 * 1024 * 1024
RATE = 768 * 1024  # bytes per second: about four seconds of download to watch


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def section(title):
    print("\n==== " + title + " " + "=" * max(0, 70 - len(title)))


def main():
    out = sys.argv[1]
    app = os.path.join(out, "app")
    os.makedirs(app, exist_ok=True)
    exe = os.path.join(app, "CV_setup.exe")
    body = os.path.join(out, "delivered-client.exe")
    with open(cvtest.fixture("democlient.exe"), "rb") as f:
        client = f.read()
    with open(body, "wb") as f:  # the client with an overlay, so the download takes a moment
        f.write(client + b"\0" * max(0, CLIENT_SIZE - len(client)))

    server = UpdateServer()
    server.start()
    server.configure(status=200, content_type="application/octet-stream", last_modified=LAST_MODIFIED,
                     body_file=body, rate=RATE)
    try:
        stamper = os.path.join(ROOT, "build", "host-tools", "cvstamp")
        subprocess.run([stamper, "--protocol", "http", "--host", "127.0.0.1", "--port", str(server.http_port),
                        "--portal", "/vazu/portal/req?loadPortal", "--client", "/vazu/portal/req?loadPortal",
                        "--events", "/vazu/webportlets/portal/eventViewer", "--product", "Callvane",
                        "--loglevel", "5", cvtest.built("CV_setup.exe"), exe], check=True, timeout=60)
        stamped = sha(exe)
        section("update server")
        print("http://127.0.0.1:%d delivers %s (%d bytes, %d KiB/s)" % (server.http_port, body,
                                                                        os.path.getsize(body), RATE // 1024))
        section("deployment block")
        print(subprocess.run([stamper, "--show", exe], capture_output=True, text=True, timeout=60).stdout.rstrip())

        run = cvtest.InstallerRun(exe)
        started = time.time()
        screenshot = os.path.join(out, "splash-during-download.png")
        shot = False
        while run.running() and time.time() - started < 300:
            if not shot and server.requests and time.time() - started > 1.0:
                time.sleep(1.5)  # well into the download
                shot = subprocess.run(["import", "-window", "root", screenshot], capture_output=True,
                                      timeout=60).returncode == 0
            time.sleep(0.1)
        code = run.wait(60)
        took = time.time() - started

        proof = exe + ".started.txt"
        cvtest.wait_until(lambda: os.path.exists(proof), 20)

        section("log: " + os.path.join(cvtest.log_dir(), "CV.log"))
        print(cvtest.read_log().rstrip())
        section(".deployment file: " + os.path.join(app, "CV.deployment"))
        with open(os.path.join(app, "CV.deployment"), "rb") as f:
            print(f.read().decode("cp1252").rstrip())
        section("requests the server saw")
        for r in server.requests:
            print(r["line"])
            for k, v in r["headers"]:
                print("    %s: %s" % (k, v))
        section("files")
        backup = exe + ".backupFromWebupdate"
        print("installer as stamped     sha256 %s" % stamped)
        if os.path.exists(backup):
            print("%s  sha256 %s  (%d bytes)" % (backup, sha(backup), os.path.getsize(backup)))
        print("%s  sha256 %s  (%d bytes, modified %s UTC)" % (
            exe, sha(exe), os.path.getsize(exe), time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(os.path.getmtime(exe)))))
        print("delivered client         sha256 %s" % sha(body))
        section("demo client's proof of start: " + proof)
        restarted = os.path.exists(proof)
        if restarted:
            with open(proof, encoding="utf-8") as f:
                print(f.read().rstrip())
        else:
            print("(none: the delivered file was not started)")
        section("result")
        print("installer exit code %s after %.1f s; error boxes answered: %d" % (code, took, run.boxes_answered))
        print("splash screenshot: " + (screenshot if shot else "(not taken)"))
        ok = restarted and sha(exe) == sha(body) and os.path.exists(backup) and sha(backup) == stamped
        print("RESTARTED: the delivered build runs in place of the installer" if ok else "FAILED: no restart")
        cvtest.wait_until(lambda: time.time() - os.path.getmtime(proof) > 6 if restarted else True, 15)
        return 0 if ok else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
