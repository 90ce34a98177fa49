"""The deployment block in a Japanese locale (ANSI code page 932, where a byte of 0x81-0x9F or
0xE0-0xFC opens a two-byte character): the installer reads its block byte for byte, as the
stamper writes it and as the download check scans it, whatever the locale. A signed installer
whose block follows such a byte (the low byte of the length that the stamper writes before it)
keeps its block, and a block with such a byte right before its signer entry keeps its pin. Each
case runs the same file in an en_US locale first (the control), then in ja_JP; the locales are
compiled with localedef into the build folder (Wine takes its code pages from LANG / LC_ALL)."""

import os
import subprocess
import unittest

import cvtest
import signing
from cvtest import MARKER, SAMPLE, digest, read, stamp, write

MATERIAL = None
SCRATCH = None
LOCALES = {}


def lead_byte(b):
    return 0x81 <= b <= 0x9F or 0xE0 <= b <= 0xFC


def locale_env(name):
    """LANG, LC_ALL and LOCPATH for a locale compiled into the build folder (once)."""
    folder = os.path.join(cvtest.BUILD_DIR, "locales")
    target = os.path.join(folder, name + ".UTF-8")
    if not os.path.isdir(target):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["localedef", "-i", name, "-f", "UTF-8", target], check=True, capture_output=True,
                       timeout=300)
    return {"LANG": name + ".UTF-8", "LC_ALL": name + ".UTF-8", "LOCPATH": folder}


def setUpModule():
    global MATERIAL, SCRATCH
    SCRATCH = cvtest.ScratchDir("locale")
    MATERIAL = signing.Material(SCRATCH.file("pki"), names=("ours", "stranger"))
    for name in ("en_US", "ja_JP"):
        LOCALES[name] = locale_env(name)


def tearDownModule():
    SCRATCH.cleanup()


def pin_of(name):
    return MATERIAL.signers[name].spki_sha256()


class BlockInEveryLocale(cvtest.LoopbackUpdateCase):
    scratch_name = "localeupdate"

    @classmethod
    def setUpClass(cls):
        bodies = SCRATCH.file("bodies")
        os.makedirs(bodies, exist_ok=True)
        client = write(os.path.join(bodies, "client.exe"), read(cvtest.fixture("democlient.exe")) + b"\0" * 200000)
        cls.ours = MATERIAL.sign("ours", client, os.path.join(bodies, "ours.exe"))
        cls.stranger = MATERIAL.sign("stranger", client, os.path.join(bodies, "stranger.exe"))
        cls.signed = MATERIAL.sign("ours", cvtest.built("CV_setup.exe"), os.path.join(bodies, "setup.exe"))

    def values(self, product):
        return [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                        "--product": product}.get(o, v)) for o, w, v in SAMPLE]

    def run_in(self, locale, installer, body):
        """Runs a fresh copy of installer in the locale against the server delivering body: the
        log, the .deployment file's bytes and the messages of the pin decision."""
        for leftover in (self.exe, self.exe + ".backupFromWebupdate", self.scratch.file("CV.deployment")):
            if os.path.exists(leftover):
                os.remove(leftover)
        write(self.exe, read(installer))
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body)
        cvtest.clear_logs()
        code, _ = cvtest.run(self.exe, timeout=180, env=LOCALES[locale])
        log = cvtest.read_log()
        self.assertEqual(code, cvtest.exit_code_of(log), "the exit code tells how the run ended")
        pin = [m for _, f, m in cvtest.messages(log) if f == cvtest.FN_DECIDE_PUBLISHER_PIN]
        return log, read(self.scratch.file("CV.deployment")), pin

    def expect_locale_in_effect(self, locale, deployment):
        # The log is ANSI text of the thread's code page: 932 has no "\xe4", 1252 has it.
        with open(os.path.join(cvtest.log_dir(), "CV.log"), "rb") as f:
            line = [l for l in f.read().split(b"\r\n") if b"Deployment is: " in l]
        self.assertEqual(len(line), 1)
        self.assertEqual(b"Br\xe4nd" in line[0], locale == "en_US", line)

    def test_signed_installer_whose_block_follows_a_lead_byte_keeps_it(self):
        # The stamper writes the block into the signature behind the DER length of its value: a
        # product name of the right length makes that length's low byte a lead byte.
        stamped = self.scratch.file("stamped.exe")
        for extra in range(0, 80):
            r = stamp(self.signed, stamped, self.values("Br\u00e4nd" + "x" * extra), extra=["--signer", pin_of("ours")])
            self.assertEqual(r.returncode, 0, r.stderr)
            data = read(stamped)
            if lead_byte(data[data.find(MARKER.encode()) - 1]):
                break
        self.assertTrue(lead_byte(data[data.find(MARKER.encode()) - 1]))
        self.assertTrue(MATERIAL.verify(stamped)[0])
        kept = "Publisher pin in force: %s... (signed installer: the installer's own signer, narrowed by the signer " \
               "entry of the deployment)" % pin_of("ours")[:16]
        for locale in ("en_US", "ja_JP"):
            with self.subTest(locale=locale):
                log, deployment, pin = self.run_in(locale, stamped, self.ours)
                self.expect_locale_in_effect(locale, deployment)
                self.assertNotIn("This executable has no deployment attached!", log)
                self.assertIn(b"DEPLOYMENT_SERVER_PORT=%d\r\n" % self.server.http_port, deployment)
                self.assertIn(b"DEPLOYMENT_SIGNER=" + pin_of("ours").encode() + b"\r\n", deployment)
                self.assertEqual(pin, [kept], log)
                self.assertEqual(digest(self.exe), digest(self.ours), log)
                self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20), log)
                cvtest.wait_until(lambda: self.client_done(), 15)
                os.remove(self.exe + ".started.txt")
        self.assertEqual(self.boxes.count, 0)

    def test_lead_byte_before_the_signer_entry_keeps_the_pin(self):
        # Written by hand (the stamper puts ">" before every entry): a lead byte that a double-byte
        # reading would join with the entry's first letter, hiding the pin.
        block = cvtest.block_bytes(self.values("Br\u00e4nd"))
        crafted = write(self.scratch.file("crafted.exe"), read(cvtest.built("CV_setup.exe")) + block[:-2] + b"\x83" +
                        b"ADDED_SERVERPARAMETER_SIGNER<" + pin_of("ours").encode() + b">\r\n")
        pinned = "Publisher pin in force: %s... (unsigned installer: the signer entry of the deployment)" \
                 % pin_of("ours")[:16]
        for locale in ("en_US", "ja_JP"):
            with self.subTest(locale=locale):
                boxes = self.boxes.count
                log, deployment, pin = self.run_in(locale, crafted, self.stranger)
                self.expect_locale_in_effect(locale, deployment)
                self.assertEqual(pin, [pinned], log)
                self.assertIn(b"DEPLOYMENT_SIGNER=" + pin_of("ours").encode() + b"\r\n", deployment)
                self.assertIn("Signature rejected (c): the signer's key is not pinned; signer found: " +
                              pin_of("stranger"), log)
                self.assertEqual(digest(self.exe), digest(crafted), "the installer stays as it was")
                self.assertTrue(cvtest.wait_until(lambda: self.boxes.count > boxes, cvtest.BOX_WAIT))


if __name__ == "__main__":
    cvtest.main()
