"""Signing material made at test time (never committed): a throwaway certificate authority, two
code-signing certificates issued by it ("ours" and a stranger's), and Authenticode signatures made
with osslsigncode. Also the helpers the tests use to look into a signed PE file: the certificate
table, the PE checksum and the public-key hash of a certificate.

    python3 signing.py FOLDER      # makes the material in FOLDER and prints the two key hashes
"""

import hashlib
import os
import struct
import subprocess
import sys

TIMEOUT = 120


def _run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT, **kw)


class Signer:
    """A code-signing key and certificate (PEM files) issued by the material's CA."""

    def __init__(self, folder, name):
        self.name = name
        self.key = os.path.join(folder, name + ".key")
        self.cert = os.path.join(folder, name + ".crt")

    def spki_sha256(self):
        """SHA-256 of the DER SubjectPublicKeyInfo of the certificate (the publisher pin)."""
        pub = _run(["openssl", "x509", "-in", self.cert, "-noout", "-pubkey"]).stdout
        der = _run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pub).stdout
        return hashlib.sha256(der).hexdigest()


class Material:
    """CA and signers in folder; created on construction."""

    def __init__(self, folder, names=("ours", "stranger", "ours2")):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.ca_key = os.path.join(folder, "ca.key")
        self.ca_cert = os.path.join(folder, "ca.crt")
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.ca_key, "-out",
              self.ca_cert, "-days", "3", "-subj", "/CN=Callvane Test CA", "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
        ext = os.path.join(folder, "codesign.ext")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        self.signers = {}
        for serial, name in enumerate(names, start=2):
            s = Signer(folder, name)
            csr = os.path.join(folder, name + ".csr")
            _run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", s.key, "-out", csr, "-subj",
                  "/CN=Callvane Test Publisher %s" % name])
            _run(["openssl", "x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", self.ca_key, "-set_serial",
                  str(serial), "-days", "3", "-extfile", ext, "-out", s.cert])
            self.signers[name] = s

    def sign(self, signer_name, src, dst, digest="sha256", nest=False):
        """An Authenticode signature of src by the named signer, written to dst; with nest, added to
        the signature src carries as a nested signature (as dual-signing publishers add SHA-256)."""
        s = self.signers[signer_name]
        if os.path.exists(dst):
            os.remove(dst)
        _run(["osslsigncode", "sign", "-certs", s.cert, "-key", s.key, "-h", digest, "-n", "Callvane test"] +
             (["-nest"] if nest else []) + ["-in", src, "-out", dst])
        return dst

    def dual_sign(self, src, dst, primary, *nested):
        """src signed SHA-1 by primary, then each of nested adding a nested SHA-256 signature."""
        self.sign(primary, src, dst + ".sha1", digest="sha1")
        at = dst + ".sha1"
        for i, name in enumerate(nested):
            self.sign(name, at, "%s.%d" % (dst, i), nest=True)
            os.remove(at)
            at = "%s.%d" % (dst, i)
        os.replace(at, dst)
        return dst

    def verify(self, path):
        """osslsigncode verify against the material's CA: (ok, output)."""
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca_cert, "-in", path], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=TIMEOUT)
        return r.returncode == 0, r.stdout.decode("utf-8", "replace")


def pe_fields(data):
    """(checksum offset, security entry offset, cert table offset, cert table size) of a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    sec = dirs + 4 * 8
    off, size = struct.unpack_from("<II", data, sec)
    return opt + 64, sec, off, size


def pe_checksum(data, checksum_offset):
    """The PE checksum of data (the checksum field counted as zero)."""
    buf = bytearray(data)
    buf[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(buf) % 2:
        buf += b"\0"
    total = 0
    for (w,) in struct.iter_unpack("<H", bytes(buf)):
        total += w
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def stored_checksum(data):
    return struct.unpack_from("<I", data, pe_fields(data)[0])[0]


def image_digest(data):
    """The SHA-256 Authenticode image digest, computed independently of the program under test."""
    cks, sec, off, size = pe_fields(data)
    h = hashlib.sha256()
    h.update(data[:cks])
    h.update(data[cks + 4:sec])
    if size:
        h.update(data[sec + 8:off])
        h.update(data[off + size:])
    else:
        h.update(data[sec + 8:])
    return h.digest()


def code_byte_offset(data):
    """File offset of a byte of the code section (the first section) that is never executed: the
    section's file alignment padding behind its code, so a changed program still runs."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    section = pe + 24 + opt_size
    virtual_size, _, raw_size, raw = struct.unpack_from("<IIII", data, section + 8)
    assert virtual_size < raw_size, "no padding in the code section"
    return raw + virtual_size


if __name__ == "__main__":
    m = Material(sys.argv[1])
    for name, s in m.signers.items():
        print(name, s.spki_sha256())


FIXED_FILE_INFO = b"\xbd\x04\xef\xfe"  # VS_FIXEDFILEINFO's signature, little-endian
VERSION_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")


def _fixed_info(data):
    """Where the VS_FIXEDFILEINFO of the one version resource starts: behind its key, 32-bit aligned
    (the signature's bytes may stand elsewhere too, in code that compares with it)."""
    key = data.find(VERSION_KEY)
    assert key > 0 and data.count(VERSION_KEY) == 1, "one version resource"
    at = (key + len(VERSION_KEY) + 3) & ~3
    assert data[at:at + 4] == FIXED_FILE_INFO
    return at


def fixed_version(data):
    """The fixed file version (four parts) of a program's version resource."""
    ms, ls = struct.unpack_from("<II", data, _fixed_info(data) + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def with_fixed_version(data, version):
    """A program (unsigned: sign it afterwards) whose version resource says it is version (four
    parts): its fixed file and product versions set, as a build of that version carries them."""
    buf = bytearray(data)
    ms, ls = version[0] << 16 | version[1], version[2] << 16 | version[3]
    struct.pack_into("<IIII", buf, _fixed_info(data) + 8, ms, ls, ms, ls)
    return bytes(buf)


def dotted(version):
    return ".".join(str(p) for p in version)


def with_code_byte_changed(data):
    """A signed program with one byte of its code changed (the signature left as it was)."""
    buf = bytearray(data)
    buf[code_byte_offset(data)] ^= 0x01
    return bytes(buf)


def with_digest_rewritten(data):
    """with_code_byte_changed, and the digest inside the signature rewritten to the changed code's
    image digest, as someone without the key could do it."""
    old = image_digest(data)
    changed = bytearray(with_code_byte_changed(data))
    _, _, off, size = pe_fields(data)
    at = bytes(changed).find(old, off, off + size)
    assert at > 0, "signed digest not found in the certificate table"
    changed[at:at + 32] = image_digest(bytes(changed))
    return bytes(changed)


def _tlv(data, pos):
    """(tag, start of contents, end of element) of the DER element at pos."""
    tag, n = data[pos], data[pos + 1]
    if n & 0x80:
        count = n & 0x7F
        length = int.from_bytes(data[pos + 2:pos + 2 + count], "big")
        start = pos + 2 + count
    else:
        length, start = n, pos + 2
    return tag, start, start + length


def _children(data, start, end):
    out, pos = [], start
    while pos < end:
        t = _tlv(data, pos)
        out.append((pos,) + t)
        pos = t[2]
    return out


def signed_content_range(data):
    """(start, end) of the SpcIndirectDataContent's contents in the first signature of a file."""
    _, _, off, _ = pe_fields(data)
    _, ci_start, ci_end = _tlv(data, off + 8)
    explicit = _children(data, ci_start, ci_end)[1]
    sd = _children(data, explicit[2], explicit[3])[0]
    content_info = _children(data, sd[2], sd[3])[2]
    wrapped = _children(data, content_info[2], content_info[3])[1]
    indirect = _children(data, wrapped[2], wrapped[3])[0]
    return indirect[2], indirect[3]


def with_message_digest_rewritten(data):
    """with_digest_rewritten, and the signed messageDigest attribute rewritten to match the changed
    content: only the signature over the signed attributes (which needs the key) can tell."""
    start, end = signed_content_range(data)
    old = hashlib.sha256(data[start:end]).digest()
    changed = bytearray(with_digest_rewritten(data))
    start, end = signed_content_range(bytes(changed))
    _, _, off, size = pe_fields(data)
    at = bytes(changed).find(old, off, off + size)
    assert at > 0, "messageDigest not found in the certificate table"
    changed[at:at + 32] = hashlib.sha256(bytes(changed[start:end])).digest()
    return bytes(changed)


def sections(data):
    """(PointerToRawData, SizeOfRawData) of every section of a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + opt_size
    return [struct.unpack_from("<II", data, table + i * 40 + 16)[::-1] for i in range(count)]


def with_table_moved(data):
    """The attack on a signature check that does not hold the certificate table to its place: the
    unchanged entry at the start of the section data, followed by rewritten copies of the sections
    (the section headers still point there, so Windows maps them), and the original section bytes
    moved behind the table, where the image digest still finds them. The digested bytes, and so
    the image digest, stay as they were."""
    cks, sec, off, size = pe_fields(data)
    first = min(raw for raw, length in sections(data) if length)
    end = max(raw + length for raw, length in sections(data))
    assert first % 8 == 0 and end <= off, "sections behind the headers, the table behind them"
    entry = data[off:off + size]
    rewritten = bytearray(data[first + len(entry):end])
    rewritten[len(rewritten) // 2] ^= 0x01
    table = entry + bytes(rewritten)
    moved = bytearray(data[:first] + table + data[first:off])
    struct.pack_into("<II", moved, sec, first, len(table))
    return bytes(moved)
