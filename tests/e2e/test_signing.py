"""Signed installers end to end: cvstamp on an Authenticode-signed CV_setup.exe keeps the signature
valid (osslsigncode verify before and after stamping and re-stamping), --show and --print-signer,
and the publisher pin: a stamped, signed installer under Wine against the loopback update server
puts in place only a program signed by a pinned key, and rejects (result 20) unsigned programs,
a stranger's signature, tampered signed programs, a signed program whose certificate table was
moved over its sections, and an installer whose deployment block would widen the pin, without
touching itself. A signed installer pins its own publisher (and the keys built into it) even
without a pin entry, and refuses every update when its own signature is broken. Dual-signed files
(SHA-1, then a nested SHA-256 signature, as osslsigncode -nest makes them) pass on a SHA-256
signature by a pinned key, never on the SHA-1 one, and a nested signature of another key never
becomes the installer's own publisher. Under a pin a signed build older than the installer is
refused (23), as is a signed program without a version resource (24); the same version and a
newer one are swapped in. An unsigned installer without a pin swaps in what it gets (an older
build too), as before. The CA, keys and signatures are made
here, at test time."""

import os
import re
import shutil
import subprocess
import unittest

import cvtest
import signing
from cvtest import MARKER, SAMPLE, digest, read, show, stamp, stamper, write

MATERIAL = None
SCRATCH = None
REJECTED = r"^Signature rejected \(([abcd])\): (.*); signer found: (none|[0-9a-f]{64})$"
# The key hash the test build CV_setup_trusted.exe carries as its built-in key (tests/CMakeLists.txt).
TRUSTED_PLACEHOLDER = b"5eed" + b"0" * 56 + b"5eed"


def setUpModule():
    global MATERIAL, SCRATCH
    SCRATCH = cvtest.ScratchDir("signing")
    MATERIAL = signing.Material(SCRATCH.file("pki"))


def tearDownModule():
    SCRATCH.cleanup()


def values_for(port, product="Callvane"):
    return [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(port), "--product": product}.get(o, v))
            for o, w, v in SAMPLE]


def pin_of(*names):
    return ",".join(MATERIAL.signers[n].spki_sha256() for n in names)


class StampingSignedInstallers(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("stampsigned")
        self.signed = MATERIAL.sign("ours", cvtest.built("CV_setup.exe"), self.scratch.file("signed.exe"))

    def tearDown(self):
        self.scratch.cleanup()

    def assertVerifies(self, path):
        ok, out = MATERIAL.verify(path)
        self.assertTrue(ok, out)
        self.assertNotIn("invalid PE checksum", out)

    def test_stamping_and_restamping_keep_the_signature(self):
        self.assertVerifies(self.signed)
        # Control: bytes appended behind the certificate table break the signature.
        appended = write(self.scratch.file("appended.exe"), read(self.signed) + b"x" * 400)
        self.assertFalse(MATERIAL.verify(appended)[0], "osslsigncode must notice bytes after the table")

        out = self.scratch.file("stamped.exe")
        r = stamp(self.signed, out, values_for(8443), extra=["--signer", pin_of("ours")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertVerifies(out)
        original, stamped = read(self.signed), read(out)
        self.assertEqual(signing.image_digest(stamped), signing.image_digest(original))
        cks, sec, off, size = signing.pe_fields(stamped)
        self.assertEqual(stamped[sec + 8:off], original[sec + 8:off], "the image is unchanged")
        # The entry holds the PKCS#7 structure and fewer than 8 zero bytes of padding, nothing else
        # (what Windows' strict padding check demands); the block is an unsigned attribute in it.
        _, _, der_end = signing._tlv(stamped, off + 8)
        self.assertLess(len(stamped) - der_end, 8)
        self.assertEqual(stamped[der_end:].strip(b"\0"), b"")
        self.assertLess(stamped.find(MARKER.encode()), der_end)
        der = self.scratch.file("sig.der")
        write(der, stamped[off + 8:der_end])
        printed = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", der, "-print", "-noout"],
                                 capture_output=True, timeout=60)
        self.assertEqual(printed.returncode, 0, printed.stderr)
        self.assertIn(b"unauth_attr:", printed.stdout)
        self.assertIn(b"2.25.14592389813976059341107873324250767559", printed.stdout)
        self.assertEqual(off + size, len(stamped), "the certificate table still ends the file")
        self.assertEqual(len(stamped) % 8, 0)
        self.assertEqual(int.from_bytes(stamped[off:off + 4], "little"), size, "the one entry spans the table")
        self.assertEqual(signing.stored_checksum(stamped), signing.pe_checksum(stamped, cks))
        self.assertEqual(stamped.count(MARKER.encode()), 1)
        self.assertGreater(stamped.find(MARKER.encode()), off)

        # Re-stamping replaces the block inside the table.
        again = self.scratch.file("again.exe")
        r = stamp(out, again, values_for(9443, "Other"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"replaced", r.stdout)
        self.assertVerifies(again)
        data = read(again)
        self.assertEqual(data.count(MARKER.encode()), 1)
        self.assertNotIn(b"SIGNER<", data, "a block without --signer carries no pin")
        self.assertEqual(signing.image_digest(data), signing.image_digest(original))
        shown = show(again)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn(b"(inside the certificate table)", shown.stdout)
        self.assertIn(b"PORT=9443\n", shown.stdout)
        self.assertIn(b"PRODUCT=Other\n", shown.stdout)
        self.assertNotIn(b"SIGNER", shown.stdout)

        shown = show(out)
        self.assertIn(("SIGNER=%s\n" % pin_of("ours")).encode(), shown.stdout)

    def test_show_and_print_signer_on_signed_and_unsigned_files(self):
        unsigned = self.scratch.file("unsigned.exe")
        self.assertEqual(stamp(cvtest.built("CV_setup.exe"), unsigned, values_for(1)).returncode, 0)
        shown = show(unsigned)
        self.assertEqual(shown.returncode, 0)
        self.assertNotIn(b"certificate table", shown.stdout)
        self.assertEqual(len(read(unsigned)) - len(read(cvtest.built("CV_setup.exe"))),
                         len(signing_block_of(unsigned)), "unsigned input: the block is appended as before")

        for name in ("ours", "stranger"):
            signed = MATERIAL.sign(name, cvtest.built("CV_setup.exe"), self.scratch.file(name + ".exe"))
            stamped = self.scratch.file(name + "-stamped.exe")
            self.assertEqual(stamp(signed, stamped, values_for(1)).returncode, 0)
            for path in (signed, stamped):
                r = subprocess.run([stamper(), "--print-signer", path], capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.decode().strip(), MATERIAL.signers[name].spki_sha256())
        for path in (unsigned, cvtest.built("CV_setup.exe")):
            r = subprocess.run([stamper(), "--print-signer", path], capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stdout, b"")
            self.assertIn(b"no Authenticode signature", r.stderr)
        self.assertNotEqual(show(self.signed).returncode, 0, "a signed, unstamped file has no block")

    def test_refusals(self):
        out = self.scratch.file("out.exe")
        good = pin_of("ours")
        for bad in ("", good[:63], good + ",", good + " ", "z" * 64, good + ";" + good):
            r = stamp(self.signed, out, values_for(1), extra=["--signer", bad])
            self.assertEqual(r.returncode, 2, bad)
            self.assertIn(b"--signer", r.stderr)
            self.assertFalse(os.path.exists(out))
        # Upper-case hex and two hashes are accepted and written in lower case.
        r = stamp(self.signed, out, values_for(1), extra=["--signer", good.upper() + "," + pin_of("ours2")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(("SIGNER<%s,%s>" % (good, pin_of("ours2"))).encode(), read(out))
        os.remove(out)

        # Stamped, then signed: the block lies in the signed part and cannot be replaced.
        pre = self.scratch.file("pre.exe")
        self.assertEqual(stamp(cvtest.built("CV_setup.exe"), pre, values_for(1)).returncode, 0)
        signed_pre = MATERIAL.sign("ours", pre, self.scratch.file("signed-pre.exe"))
        r = stamp(signed_pre, out, values_for(2))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"inside the signed part", r.stderr)
        self.assertFalse(os.path.exists(out))
        # Data behind the certificate table: refused rather than damaged.
        trailing = write(self.scratch.file("trailing.exe"), read(self.signed) + b"\0" * 8)
        r = stamp(trailing, out, values_for(2))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"does not end the file", r.stderr)
        # A table moved over the sections: stamping, --show and --print-signer all refuse it and
        # name the rule (control: the same file before the move is read by all three).
        stamped = self.scratch.file("stamped-for-move.exe")
        self.assertEqual(stamp(self.signed, stamped, values_for(3)).returncode, 0)
        self.assertEqual(show(stamped).returncode, 0)
        moved = write(self.scratch.file("moved.exe"), signing.with_table_moved(read(stamped)))
        rule = b"the certificate table starts before the end of a section's raw data"
        r = stamp(moved, out, values_for(2))
        self.assertEqual(r.returncode, 1)
        self.assertIn(rule, r.stderr)
        self.assertFalse(os.path.exists(out))
        r = show(moved)
        self.assertEqual(r.returncode, 1)
        self.assertIn(rule, r.stderr)
        for path, code in ((stamped, 0), (moved, 1)):
            r = subprocess.run([stamper(), "--print-signer", path], capture_output=True, timeout=60)
            self.assertEqual(r.returncode, code, r.stderr)
        self.assertIn(rule, r.stderr)


def signer_lines(option, path):
    r = subprocess.run([stamper(), option, path], capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode().splitlines(), r.stderr.decode()


class StampingDualSignedInstallers(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("stampdual")
        built = cvtest.built("CV_setup.exe")
        self.dual = MATERIAL.dual_sign(built, self.scratch.file("dual.exe"), "ours", "ours")
        self.sha1 = MATERIAL.sign("ours", built, self.scratch.file("sha1.exe"), digest="sha1")
        # Anyone can nest a signature of their own in a signed file.
        self.attacked = MATERIAL.sign("stranger", self.dual, self.scratch.file("attacked.exe"), nest=True)

    def tearDown(self):
        self.scratch.cleanup()

    def test_print_signer_and_the_list_of_signatures(self):
        for path in (self.dual, self.sha1, self.attacked):
            ok, out = MATERIAL.verify(path)
            self.assertTrue(ok, out)
        ours, stranger = pin_of("ours"), pin_of("stranger")
        # One line for scripts: the primary signer's key, as the signed installer pins it.
        for path in (self.dual, self.attacked):
            self.assertEqual(signer_lines("--print-signer", path)[:2], (0, [ours]))
        code, out, err = signer_lines("--print-signer", self.sha1)
        self.assertEqual((code, out), (1, []))
        self.assertIn("the signed image digest is not a SHA-256 digest", err)
        self.assertIn("--list-signatures", err)

        code, out, _ = signer_lines("--list-signatures", self.attacked)
        self.assertEqual(code, 0)
        rows = [line.split("\t") for line in out]
        self.assertEqual(rows[0], ["primary", "sha1", ours, "not usable: the signed image digest is not a SHA-256 "
                                                           "digest"])
        self.assertEqual(sorted(r[1:] for r in rows[1:]),
                         sorted([["sha256", ours, "usable"],
                                 ["sha256", stranger, "usable (another key than the primary signer's)"]]))
        self.assertEqual([r[0] for r in rows[1:]], ["nested 1", "nested 2"])

    def test_stamping_and_nesting_coexist(self):
        stamped = self.scratch.file("stamped.exe")
        r = stamp(self.dual, stamped, values_for(8443), extra=["--signer", pin_of("ours")])
        self.assertEqual(r.returncode, 0, r.stderr)
        ok, out = MATERIAL.verify(stamped)
        self.assertTrue(ok, out)
        self.assertIn("Number of verified signatures: 2", out)
        self.assertEqual(signer_lines("--list-signatures", stamped)[1], signer_lines("--list-signatures", self.dual)[1])
        # A signature nested after stamping keeps the block; re-stamping then replaces it.
        nested = MATERIAL.sign("stranger", stamped, self.scratch.file("nested.exe"), nest=True)
        again = self.scratch.file("again.exe")
        self.assertEqual(stamp(nested, again, values_for(9443)).returncode, 0)
        for path, port in ((nested, 8443), (again, 9443)):
            ok, out = MATERIAL.verify(path)
            self.assertTrue(ok, out)
            self.assertIn("Number of verified signatures: 3", out)
            self.assertEqual(read(path).count(MARKER.encode()), 1)
            shown = show(path)
            self.assertIn(b"(inside the certificate table)", shown.stdout)
            self.assertIn(b"PORT=%d\n" % port, shown.stdout)
            self.assertEqual(len(signer_lines("--list-signatures", path)[1]), 3)


def signing_block_of(path):
    data = read(path)
    return data[data.find(MARKER.encode()):]


def temp_folder():
    return os.path.join(os.path.dirname(cvtest.appdata()), "Local", "Temp")


class PinnedUpdate(cvtest.LoopbackUpdateCase):
    """A signed CV_setup.exe stamped for the loopback server, with or without a pin."""

    scratch_name = "pinned"

    @classmethod
    def setUpClass(cls):
        cls.bodies = SCRATCH.file("bodies")
        os.makedirs(cls.bodies, exist_ok=True)
        client = write(os.path.join(cls.bodies, "client.exe"),
                       read(cvtest.fixture("democlient.exe")) + b"\0" * 200000)
        cls.unsigned = client
        cls.ours = MATERIAL.sign("ours", client, os.path.join(cls.bodies, "ours.exe"))
        cls.ours2 = MATERIAL.sign("ours2", client, os.path.join(cls.bodies, "ours2.exe"))
        cls.stranger = MATERIAL.sign("stranger", client, os.path.join(cls.bodies, "stranger.exe"))
        good = read(cls.ours)
        cls.code_changed = write(os.path.join(cls.bodies, "code.exe"), signing.with_code_byte_changed(good))
        cls.digest_rewritten = write(os.path.join(cls.bodies, "digest.exe"), signing.with_digest_rewritten(good))
        cls.attribute_rewritten = write(os.path.join(cls.bodies, "attr.exe"),
                                        signing.with_message_digest_rewritten(good))
        cls.installer = MATERIAL.sign("ours", cvtest.built("CV_setup.exe"), os.path.join(cls.bodies, "setup.exe"))
        # The demo client carries this release's version resource; builds of other versions are
        # the same client with its version changed before it is signed.
        own = signing.fixed_version(read(cvtest.built("CV_setup.exe")))
        assert signing.fixed_version(read(client)) == own and own[3] > 0
        cls.version = own
        cls.older_version = own[:3] + (own[3] - 1,)
        cls.newer_version = (own[0], own[1] + 1, 0, 0)
        for name in ("older", "newer"):
            version = getattr(cls, name + "_version")
            unsigned = write(os.path.join(cls.bodies, name + "-unsigned.exe"),
                             signing.with_fixed_version(read(client), version))
            setattr(cls, name, MATERIAL.sign("ours", unsigned, os.path.join(cls.bodies, name + ".exe")))
        versionless = write(os.path.join(cls.bodies, "versionless-unsigned.exe"),
                            read(cvtest.fixture("dwtwindow.exe")) + b"\0" * 200000)
        assert signing.VERSION_KEY not in read(versionless)
        cls.versionless = MATERIAL.sign("ours", versionless, os.path.join(cls.bodies, "versionless.exe"))
        cls.moved = write(os.path.join(cls.bodies, "moved.exe"), signing.with_table_moved(good))

    def prepare(self, body, pin, installer=None):
        installer = installer or self.installer
        extra = ["--signer", pin] if pin else []
        r = stamp(installer, self.exe, values_for(self.server.http_port), extra=extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        if installer == self.installer:
            self.assertTrue(MATERIAL.verify(self.exe)[0], "the stamped installer is still validly signed")
        self.stamped = digest(self.exe)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body)

    def run_installer(self, code=None):
        """One run; its exit code must be the one its log calls for, and code when given (a
        refused update ends with its result code)."""
        exit_code, _ = cvtest.run(self.exe, timeout=180)
        log = cvtest.read_log()
        self.assertEqual(exit_code, cvtest.exit_code_of(log), log)
        if code is not None:
            self.assertEqual(exit_code, code, log)
        return log

    def updater_errors(self, log):
        return [m for lvl, f, m in cvtest.messages(log) if lvl == "ERROR   - " and f == cvtest.FN_UPDATE]

    def deployment(self):
        with open(self.scratch.file("CV.deployment"), "rb") as f:
            return f.read().decode("cp1252")

    def expect_accepted(self, body, pin, installer=None, client=True):
        self.prepare(body, pin, installer)
        log = self.run_installer()
        self.assertEqual(digest(self.exe), digest(body), log)
        self.assertEqual(digest(self.exe + ".backupFromWebupdate"), self.stamped)
        if client:
            self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20), log)
        self.assertEqual(self.updater_errors(log), [])
        self.assertEqual(self.boxes.count, 0)
        return log

    def expect_rejected(self, body, pin, requirement, signer, installer=None):
        self.prepare(body, pin, installer)
        log = self.run_installer(20)
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        errors = self.updater_errors(log)
        self.assertEqual(len(errors), 1, log)
        m = re.match(REJECTED, errors[0])
        self.assertTrue(m, errors[0])
        self.assertEqual(m.group(1), requirement, errors[0])
        self.assertEqual(m.group(3), signer)
        self.assertIn(("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Unable to check for update (reason 20 - %s)"
                       % re.search(r"reason 20 - (-?\d+)", log).group(1)), cvtest.messages(log))
        self.assertEqual(digest(self.exe), self.stamped, "the installer stays as it was")
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))
        self.assertFalse(os.path.exists(self.exe + ".started.txt"))
        size = os.path.getsize(body)
        temp = temp_folder()
        leftovers = [n for n in os.listdir(temp) if os.path.getsize(os.path.join(temp, n)) == size] \
            if os.path.isdir(temp) else []
        self.assertEqual(leftovers, [], "the downloaded file is deleted")
        return m.group(2)

    def expect_refused(self, body, pin, reason, line):
        """The signed body passes the signature check and is refused for its version."""
        self.prepare(body, pin)
        log = self.run_installer(reason)
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        messages = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Signature accepted, signer: " + pin_of("ours"), messages)
        self.assertEqual(self.updater_errors(log), [line])
        self.assertIn(("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Unable to check for update (reason %d - %s)"
                       % (reason, re.search(r"reason %d - (-?\d+)" % reason, log).group(1))), cvtest.messages(log))
        self.assertEqual(digest(self.exe), self.stamped, "the installer stays as it was")
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))
        self.assertFalse(os.path.exists(self.exe + ".started.txt"))

    def test_older_signed_build_is_refused(self):
        self.assertTrue(MATERIAL.verify(self.older)[0], "control: a validly signed program")
        self.expect_refused(self.older, pin_of("ours"), 23, "Downloaded program has version %s, older than this "
                            "installer's %s: refused" % (signing.dotted(self.older_version),
                                                         signing.dotted(self.version)))

    def test_signed_program_without_version_is_refused(self):
        self.expect_refused(self.versionless, pin_of("ours"), 24, "Downloaded program carries no version to compare "
                            "with this installer's %s (no version resource): refused" % signing.dotted(self.version))

    def test_newer_signed_build_is_swapped_in(self):
        log = self.expect_accepted(self.newer, pin_of("ours"))
        self.assertIn("Downloaded program has version %s, this installer's is %s"
                      % (signing.dotted(self.newer_version), signing.dotted(self.version)),
                      [m for _, _, m in cvtest.messages(log)])

    def test_program_signed_by_the_pinned_key_is_swapped_in(self):
        log = self.expect_accepted(self.ours, pin_of("ours"))
        self.assertIn("Signature accepted, signer: " + pin_of("ours"), [m for _, _, m in cvtest.messages(log)])
        # The same version as the installer's passes.
        self.assertIn("Downloaded program has version %s, this installer's is %s"
                      % (signing.dotted(self.version), signing.dotted(self.version)),
                      [m for _, _, m in cvtest.messages(log)])
        # The installer read the block from inside its certificate table, the pin included.
        self.assertIn("DEPLOYMENT_SIGNER=%s\r\n" % pin_of("ours"), self.deployment())
        self.assertIn("DEPLOYMENT_SERVER_PORT=%d\r\n" % self.server.http_port, self.deployment())

    def test_second_pinned_key_is_accepted_by_an_unsigned_installer(self):
        # An unsigned installer takes its block's pin as it stands (a rollover pin of two keys).
        self.expect_accepted(self.ours2, pin_of("ours", "ours2"), installer=cvtest.built("CV_setup.exe"))

    def test_a_signed_installer_keeps_only_its_own_publisher_of_the_pin(self):
        # Signed by "ours": of the pin (ours, ours2) only its own key is left in force.
        log = self.expect_rejected(self.ours2, pin_of("ours", "ours2"), "c", pin_of("ours2"))
        self.assertEqual(log, "the signer's key is not pinned")

    def test_table_moved_over_the_sections_is_rejected(self):
        # Control: the moved table keeps the image digest, and osslsigncode refuses the file.
        self.assertEqual(signing.image_digest(read(self.moved)), signing.image_digest(read(self.ours)))
        self.assertFalse(MATERIAL.verify(self.moved)[0])
        detail = self.expect_rejected(self.moved, pin_of("ours"), "a", "none")
        self.assertEqual(detail, "the certificate table breaks a placement rule: the certificate table starts before "
                                 "the end of a section's raw data")

    def installer_body(self, pin, port=9443):
        """Our signed installer, stamped for another server, as a server would deliver it."""
        body = self.scratch.file("restamped.exe")
        extra = ["--signer", pin] if pin else []
        r = stamp(self.installer, body, values_for(port, "Elsewhere"), extra=extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(MATERIAL.verify(body)[0])
        return body

    def test_restamped_installer_without_pin_is_rejected(self):
        detail = self.expect_rejected(self.installer_body(None), pin_of("ours"), "d", pin_of("ours"))
        self.assertEqual(detail, "the program's deployment block would widen the pin: it has no signer entry")

    def test_restamped_installer_with_a_wider_pin_is_rejected(self):
        detail = self.expect_rejected(self.installer_body(pin_of("ours", "stranger")), pin_of("ours"), "d",
                                      pin_of("ours"))
        self.assertEqual(detail, "the program's deployment block would widen the pin: its signer entry names a key "
                                 "outside the pin in force")

    def test_restamped_installer_with_the_same_pin_is_accepted(self):
        body = self.installer_body(pin_of("ours"), port=self.server.http_port)
        log = self.expect_accepted(body, pin_of("ours"), client=False)
        self.assertIn("Signature accepted, signer: " + pin_of("ours"), [m for _, _, m in cvtest.messages(log)])
        # The restarted copy asks the same server, gets itself and ends quietly.
        self.assertTrue(cvtest.wait_until(lambda: "is the current version already" in cvtest.read_log(), 60),
                        cvtest.read_log())

    def test_unsigned_program_is_rejected(self):
        detail = self.expect_rejected(self.unsigned, pin_of("ours"), "a", "none")
        self.assertEqual(detail, "the file carries no signature")

    def test_stranger_is_rejected(self):
        self.expect_rejected(self.stranger, pin_of("ours"), "c", pin_of("stranger"))

    def test_changed_code_is_rejected(self):
        detail = self.expect_rejected(self.code_changed, pin_of("ours"), "a", pin_of("ours"))
        self.assertIn("image digest", detail)

    def test_rewritten_digest_is_rejected(self):
        detail = self.expect_rejected(self.digest_rewritten, pin_of("ours"), "b", pin_of("ours"))
        self.assertIn("messageDigest", detail)

    def test_rewritten_signed_attribute_is_rejected(self):
        detail = self.expect_rejected(self.attribute_rewritten, pin_of("ours"), "b", pin_of("ours"))
        self.assertIn("does not verify", detail)

    def test_unsigned_installer_without_pin_swaps_every_body_as_before(self):
        for body in (self.unsigned, self.stranger, self.digest_rewritten, self.older):
            with self.subTest(body=os.path.basename(body)):
                for leftover in (self.exe, self.exe + ".backupFromWebupdate"):
                    if os.path.exists(leftover):
                        os.remove(leftover)
                self.prepare(body, None, installer=cvtest.built("CV_setup.exe"))
                log = self.run_installer()
                self.assertEqual(digest(self.exe), digest(body), log)
                self.assertNotIn("DEPLOYMENT_SIGNER", self.deployment())
                self.assertNotIn("Signature", log)
                self.assertNotIn("Downloaded program", log)
                self.assertIn(("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN,
                               "No publisher pin in force (unsigned installer, no signer entry in the deployment)"),
                              cvtest.messages(log))
                self.assertEqual(self.updater_errors(log), [])
                self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20), log)
                cvtest.wait_until(lambda: self.client_done(), 15)
                os.remove(self.exe + ".started.txt")
        self.assertEqual(self.boxes.count, 0)


    def big_builds(self):
        """Two builds of 3 MiB signed by "ours", alike but for one byte in their first tenth."""
        client = read(cvtest.fixture("democlient.exe"))
        padding = 3 * 1048576 - len(client)
        first = write(os.path.join(self.bodies, "big-a-unsigned.exe"), client + b"\0" * padding)
        second = write(os.path.join(self.bodies, "big-b-unsigned.exe"), client + b"\1" + b"\0" * (padding - 1))
        a = MATERIAL.sign("ours", first, os.path.join(self.bodies, "big-a.exe"))
        b = MATERIAL.sign("ours", second, os.path.join(self.bodies, "big-b.exe"))
        self.assertEqual(os.path.getsize(a), os.path.getsize(b), "control: the builds differ in one byte only")
        self.assertTrue(MATERIAL.verify(a)[0] and MATERIAL.verify(b)[0], "control: both builds are validly signed")
        return a, b

    def cut_run(self, body):
        """A first run whose transfer of body is cut at 60 %: the partial file is kept."""
        cut = os.path.getsize(body) * 6 // 10
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body,
                              etag='"build-1"', truncate_after=cut)
        log = self.run_installer()
        self.assertIn("Partial download kept for a resume: %d of %d bytes" % (cut, os.path.getsize(body)), log)
        self.assertEqual(digest(self.exe), self.stamped)
        return cut

    def resumed_requests(self):
        return [r for r in self.server.requests if self.server.header(r, "Range")]

    def test_resumed_signed_program_is_accepted(self):
        if type(self) is not PinnedUpdate:
            self.skipTest("the installer's own pin changes nothing of a resume")
        a, _ = self.big_builds()
        self.prepare(a, pin_of("ours"))
        cut = self.cut_run(a)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=a, etag='"build-1"')
        log = self.run_installer()
        ranged = self.resumed_requests()
        self.assertEqual(len(ranged), 1, log)
        self.assertEqual(self.server.header(ranged[0], "Range"), "bytes=%d-" % cut)
        self.assertEqual(self.server.header(ranged[0], "If-Range"), '"build-1"')
        self.assertIn("Download resumed at byte %d of %d" % (cut, os.path.getsize(a)), log)
        self.assertIn("Signature accepted, signer: " + pin_of("ours"), [m for _, _, m in cvtest.messages(log)])
        self.assertEqual(digest(self.exe), digest(a), log)
        self.assertEqual(self.updater_errors(log), [])

    def test_resumed_program_spliced_from_two_signed_builds_is_refused(self):
        if type(self) is not PinnedUpdate:
            self.skipTest("the installer's own pin changes nothing of a resume")
        a, b = self.big_builds()
        self.prepare(a, pin_of("ours"))
        self.cut_run(a)
        # The server keeps the ETag while it serves another build: what arrives continues a's bytes
        # with b's, each part signed, the whole signed by nobody.
        self.server.configure(status=200, content_type="application/octet-stream", body_file=b, etag='"build-1"')
        log = self.run_installer(20)
        self.assertEqual(len(self.resumed_requests()), 1, log)
        self.assertIn("Download resumed at byte", log)
        self.assertEqual(digest(self.exe), self.stamped, "the installer stays as it was")
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


class SelfPinnedUpdate(PinnedUpdate):
    """A signed installer stamped without a pin entry pins its own publisher and the keys built in."""

    @classmethod
    def setUpClass(cls):
        PinnedUpdate.setUpClass()
        # The test build with a built-in key: its placeholder becomes the hash of "ours2", then it
        # is signed by "ours" (so the built-in key lies inside what the signature covers).
        data = read(cvtest.fixture("CV_setup_trusted.exe"))
        assert data.count(TRUSTED_PLACEHOLDER) == 1, "the placeholder key stands once in the test build"
        patched = write(os.path.join(cls.bodies, "trusted-unsigned.exe"),
                        data.replace(TRUSTED_PLACEHOLDER, pin_of("ours2").encode()))
        cls.trusted = MATERIAL.sign("ours", patched, os.path.join(cls.bodies, "trusted.exe"))
        cls.broken = write(os.path.join(cls.bodies, "broken.exe"), signing.with_code_byte_changed(read(cls.installer)))

    def pin_line(self, log):
        return [m for lvl, f, m in cvtest.messages(log)
                if f == cvtest.FN_DECIDE_PUBLISHER_PIN and lvl == "message - "]

    def test_unsigned_program_is_rejected(self):
        detail = self.expect_rejected(self.unsigned, None, "a", "none")
        self.assertEqual(detail, "the file carries no signature")
        self.assertNotIn("DEPLOYMENT_SIGNER", self.deployment())

    def test_program_signed_by_the_installers_own_key_is_swapped_in(self):
        log = self.expect_accepted(self.ours, None)
        self.assertEqual(self.pin_line(log), ["Publisher pin in force: %s... (signed installer: the installer's own "
                                              "signer)" % pin_of("ours")[:16]])
        self.assertNotIn("DEPLOYMENT_SIGNER", self.deployment())

    def test_program_signed_by_a_key_not_built_in_is_rejected(self):
        # The control of the next case: the installer without that key built in.
        self.expect_rejected(self.ours2, None, "c", pin_of("ours2"))

    def test_program_signed_by_a_built_in_key_is_swapped_in(self):
        log = self.expect_accepted(self.ours2, None, installer=self.trusted)
        self.assertEqual(self.pin_line(log), ["Publisher pin in force: %s...,%s... (signed installer: the installer's "
                                              "own signer and the keys built in)"
                                              % (pin_of("ours")[:16], pin_of("ours2")[:16])])

    def test_block_entry_narrows_the_built_in_keys(self):
        log = self.expect_rejected(self.ours2, pin_of("ours"), "c", pin_of("ours2"), installer=self.trusted)
        self.assertEqual(log, "the signer's key is not pinned")

    def test_empty_intersection_refuses_every_update(self):
        self.prepare(self.ours, pin_of("stranger"))
        log = self.run_installer(20)
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        errors = [m for lvl, f, m in cvtest.messages(log) if lvl == "ERROR   - "]
        self.assertEqual(errors[0], "Update refused: the signer entry of the deployment names none of the keys "
                                    "of the installer's own publisher", log)
        self.assertIn("Unable to check for update (reason 20 - 13)", errors)
        self.assertEqual(self.server.requests, [], "the server is not asked")
        self.assertEqual(digest(self.exe), self.stamped)

    def test_broken_own_signature_refuses_every_update(self):
        # Control: the changed installer no longer verifies with osslsigncode.
        self.assertFalse(MATERIAL.verify(self.broken)[0])
        self.prepare(self.ours, None, installer=self.broken)
        log = self.run_installer(20)
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        errors = [m for lvl, f, m in cvtest.messages(log) if lvl == "ERROR   - "]
        self.assertEqual(errors, ["Update refused: the installer's own signature fails its check (a): the image "
                                  "digest of the file differs from the signed digest",
                                  "Unable to check for update (reason 20 - 13)"], log)
        self.assertEqual(self.server.requests, [])
        self.assertEqual(digest(self.exe), self.stamped)
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


    def test_dual_signed_installer_takes_its_publishers_dual_signed_update(self):
        installer = MATERIAL.dual_sign(cvtest.built("CV_setup.exe"), os.path.join(self.bodies, "dual-setup.exe"),
                                       "ours", "ours")
        body = MATERIAL.dual_sign(self.unsigned, os.path.join(self.bodies, "dual-client.exe"), "ours", "ours")
        log = self.expect_accepted(body, None, installer=installer)
        self.assertEqual(self.pin_line(log), ["Publisher pin in force: %s... (signed installer: the installer's own "
                                              "signer)" % pin_of("ours")[:16]])
        self.assertIn("Signature accepted, signer: " + pin_of("ours"), [m for _, _, m in cvtest.messages(log)])

    def test_nested_stranger_in_the_installer_does_not_let_the_stranger_in(self):
        # The attack: a stranger nests a valid signature of their own in the publisher's installer.
        dual = MATERIAL.dual_sign(cvtest.built("CV_setup.exe"), os.path.join(self.bodies, "dual-setup.exe"),
                                  "ours", "ours")
        installer = MATERIAL.sign("stranger", dual, os.path.join(self.bodies, "attacked-setup.exe"), nest=True)
        ok, out = MATERIAL.verify(installer)
        self.assertTrue(ok and "Number of verified signatures: 3" in out, out)
        self.expect_rejected(self.stranger, None, "c", pin_of("stranger"), installer=installer)
        self.assertEqual(self.pin_line(cvtest.read_log()),
                         ["Publisher pin in force: %s... (signed installer: the installer's own signer)"
                          % pin_of("ours")[:16]])


# The inherited cases run once, in PinnedUpdate.
for _name in [n for n in dir(PinnedUpdate) if n.startswith("test_") and n not in vars(SelfPinnedUpdate)]:
    setattr(SelfPinnedUpdate, _name, None)


class SignatureCheckDirect(unittest.TestCase):
    """The check itself on more files than a full run can afford (fixture sigcheck.exe)."""

    def check(self, pin, *files):
        code, out = cvtest.run(cvtest.fixture("sigcheck.exe"), [pin] + [cvtest.to_windows(f) for f in files],
                               timeout=120)
        rows = [l.split("\t") for l in out.replace("\r", "").splitlines() if "\t" in l]
        return code, rows

    def test_outcomes(self):
        PinnedUpdate.setUpClass()
        p = PinnedUpdate
        folder = SCRATCH.file("direct")
        os.makedirs(folder, exist_ok=True)
        good = read(p.ours)
        cks, sec, off, size = signing.pe_fields(good)
        # The signature entry cut short, the table pointing past the file, a second (unsigned)
        # table entry in front: each must be refused, never crash the check.
        cut = bytearray(good)
        cut[off:off + 4] = (64).to_bytes(4, "little")
        past = bytearray(good)
        past[sec + 4:sec + 8] = (size + 8).to_bytes(4, "little")
        stamped = self.stamped_ours(folder)
        pinned = self.stamped_ours(folder, pin_of("ours"))
        files = [p.ours, p.ours2, p.stranger, p.unsigned, p.code_changed, p.digest_rewritten,
                 p.attribute_rewritten, write(os.path.join(folder, "cut.exe"), bytes(cut)),
                 write(os.path.join(folder, "past.exe"), bytes(past)), stamped, pinned,
                 write(os.path.join(folder, "text.exe"), b"<html>not a program</html>"), p.moved,
                 write(os.path.join(folder, "trailing.exe"), good + b"\0" * 8)]
        code, rows = self.check(pin_of("ours"), *files)
        self.assertEqual(code, 1)
        got = [r[1] for r in rows]
        self.assertEqual(got, ["ok", "c", "c", "a", "a", "b", "b", "a", "a", "d", "ok", "a", "a", "a"], rows)
        self.assertIn("the certificate table does not end the file", rows[13][3])
        self.assertEqual(rows[0][2], pin_of("ours"))
        self.assertEqual(rows[1][2], pin_of("ours2"))
        # Only pinned keys pass: the rollover pin accepts both of ours.
        code, rows = self.check(pin_of("ours2", "ours"), p.ours, p.ours2)
        self.assertEqual((code, [r[1] for r in rows]), (0, ["ok", "ok"]))
        code, _ = self.check("not-a-pin", p.ours)
        self.assertEqual(code, 2)

    def test_dual_signed_outcomes(self):
        PinnedUpdate.setUpClass()
        p = PinnedUpdate
        folder = SCRATCH.file("direct-dual")
        os.makedirs(folder, exist_ok=True)
        f = lambda name: os.path.join(folder, name + ".exe")
        sha1 = MATERIAL.sign("ours", p.unsigned, f("sha1"), digest="sha1")
        dual = MATERIAL.dual_sign(p.unsigned, f("dual"), "ours", "ours")
        dual_stranger = MATERIAL.dual_sign(p.unsigned, f("dual-stranger"), "ours", "stranger")
        dual_both = MATERIAL.sign("stranger", dual, f("dual-both"), nest=True)
        stranger_primary = MATERIAL.dual_sign(p.unsigned, f("stranger-primary"), "stranger", "ours")
        ours_nested_stranger = MATERIAL.sign("stranger", p.ours, f("ours-nested-stranger"), nest=True)
        files = [sha1, dual, dual_stranger, dual_both, stranger_primary, ours_nested_stranger]
        # Control: every one of them is validly signed in osslsigncode's eyes; the changed one is not.
        for path in files:
            ok, out = MATERIAL.verify(path)
            self.assertTrue(ok, path + "\n" + out)
        changed = write(f("dual-changed"), signing.with_code_byte_changed(read(dual)))
        self.assertFalse(MATERIAL.verify(changed)[0])
        files.append(changed)
        ours, stranger = pin_of("ours"), pin_of("stranger")

        # The download check under the pin "ours": any SHA-256 signature by that key, primary or
        # nested, carries the file; a SHA-1 one never does.
        _, rows = self.check(ours, *files)
        self.assertEqual([r[1:3] for r in rows],
                         [["a", ours], ["ok", ours], ["c", stranger], ["ok", ours], ["ok", ours], ["ok", ours],
                          ["a", ours]], rows)
        self.assertEqual(rows[0][3], "the signed image digest is not a SHA-256 digest")
        self.assertEqual(rows[2][3], "nested signature 1: the signer's key is not pinned")
        self.assertEqual(rows[6][3], "nested signature 1: the image digest of the file differs from the signed digest")
        _, rows = self.check(stranger, dual, dual_both)
        self.assertEqual([r[1:3] for r in rows], [["c", ours], ["ok", stranger]], rows)

        # The installer's own check: only signatures by the primary signer's key name its publisher.
        _, rows = self.check("--own", *files)
        self.assertEqual([r[1:3] for r in rows],
                         [["a", ours], ["ok", ours], ["a", ours], ["ok", ours], ["a", stranger], ["ok", ours],
                          ["a", ours]], rows)

    def stamped_ours(self, folder, pin=None):
        """A program signed by us that carries a deployment block inside its table: it passes when
        the block keeps the pin, and fails (d) without a signer entry."""
        out = os.path.join(folder, "stamped%s.exe" % ("-pinned" if pin else ""))
        r = stamp(PinnedUpdate.ours, out, values_for(1), extra=["--signer", pin] if pin else [])
        self.assertEqual(r.returncode, 0, r.stderr)
        return out


# The shipped 32-bit build runs the cases whose outcome depends on its bitness: the stamper on a
# signed PE32 file, the check itself on every kind of file (SignatureCheckDirect, one process of
# the 32-bit build), and full runs through each path of the installer's own code (an accepted and
# a refused download, the version, a resumed download, the installer's own signature and its
# built-in key). What the other cases add (which pin, which block) is the same code on either build.
cvtest.only_these_on_the_32bit_build(globals(), {
    "StampingSignedInstallers.test_stamping_and_restamping_keep_the_signature",
    "SignatureCheckDirect.test_outcomes",
    "SignatureCheckDirect.test_dual_signed_outcomes",
    "PinnedUpdate.test_program_signed_by_the_pinned_key_is_swapped_in",
    "PinnedUpdate.test_changed_code_is_rejected",
    "PinnedUpdate.test_older_signed_build_is_refused",
    "PinnedUpdate.test_resumed_signed_program_is_accepted",
    "SelfPinnedUpdate.test_program_signed_by_the_installers_own_key_is_swapped_in",
    "SelfPinnedUpdate.test_program_signed_by_a_built_in_key_is_swapped_in",
    "SelfPinnedUpdate.test_broken_own_signature_refuses_every_update",
}, "the same code on either build")

if __name__ == "__main__":
    cvtest.main()
