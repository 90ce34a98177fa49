#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_authenticode (fuzz/corpus/authenticode/): small synthetic PE
files (PE32 and PE32+) with a certificate table that holds a structurally complete Authenticode
SignedData (made-up digests, certificate and signature bytes: no key is involved), one of them
already carrying a block in its table, and the bare SignedData; and a program with sections as a
linker lays it out, signed, with the files an attacker builds against the placement rules of the
certificate table (the table moved over the sections, not ending the file, two entries, non-zero
bytes behind the signature, a section reaching into the table), which also seed the program image
check (fuzz/corpus/programimage/), with an EFI application. Run it again after changing it."""

import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "authenticode")
IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "programimage")


def tlv(tag, contents):
    n = len(contents)
    if n < 0x80:
        head = bytes([tag, n])
    elif n < 0x100:
        head = bytes([tag, 0x81, n])
    else:
        head = bytes([tag, 0x82, n >> 8, n & 0xFF])
    return head + contents


def seq(c):
    return tlv(0x30, c)


def oid(c):
    return tlv(0x06, c)


SHA256 = bytes.fromhex("608648016503040201")
RSA = bytes.fromhex("2a864886f70d010101")


def alg(o):
    return seq(oid(o) + tlv(0x05, b""))


def name(cn):
    return seq(tlv(0x31, seq(oid(b"\x55\x04\x03") + tlv(0x0C, cn))))


def signed_data():
    spki = seq(alg(RSA) + tlv(0x03, b"\x00" + b"k" * 20))
    tbs = seq(tlv(0xA0, tlv(0x02, b"\x02")) + tlv(0x02, b"\x05") + alg(SHA256) + name(b"CA") +
              seq(tlv(0x17, b"260101000000Z") + tlv(0x17, b"270101000000Z")) + name(b"signer") + spki)
    cert = seq(tbs + alg(SHA256) + tlv(0x03, b"\x00" + b"s" * 16))
    indirect = seq(seq(oid(bytes.fromhex("2b060104018237020115")) + seq(b"")) +
                   seq(alg(SHA256) + tlv(0x04, b"\x11" * 32)))
    content = seq(oid(bytes.fromhex("2b060104018237020104")) + tlv(0xA0, indirect))
    attrs = tlv(0xA0, seq(oid(bytes.fromhex("2a864886f70d010904")) + tlv(0x31, tlv(0x04, b"\x22" * 32))))
    signer = seq(tlv(0x02, b"\x01") + seq(name(b"CA") + tlv(0x02, b"\x05")) + alg(SHA256) + attrs + alg(RSA) +
                 tlv(0x04, b"\x33" * 16))
    sd = seq(tlv(0x02, b"\x01") + tlv(0x31, alg(SHA256)) + content + tlv(0xA0, cert) + tlv(0x31, signer))
    return seq(oid(bytes.fromhex("2a864886f70d010702")) + tlv(0xA0, sd))


def pe(plus, body, signature, block=b""):
    opt_size = 240 if plus else 224
    head = bytearray(0x40 + 24 + opt_size)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<H", head, 0x40 + 20, opt_size)
    opt = 0x40 + 24
    struct.pack_into("<H", head, opt, 0x20B if plus else 0x10B)
    struct.pack_into("<I", head, opt + (108 if plus else 92), 16)
    data = bytes(head) + body
    data += b"\0" * (-len(data) % 8)
    entry = signature + block
    entry += b"\0" * (-(len(entry) + 8) % 8)
    entry = struct.pack("<IHH", len(entry) + 8, 0x0200, 2) + entry
    sec = opt + (112 if plus else 96) + 32
    data = bytearray(data + entry)
    struct.pack_into("<II", data, sec, len(data) - len(entry), len(entry))
    return bytes(data)


SECTIONS_AT = 0x400
SECTION_SIZE = 0x200


def cert_entry(signature, behind=b"", revision=0x0200, kind=2):
    body = signature + behind
    body += b"\0" * (-(len(body) + 8) % 8)
    return struct.pack("<IHH", len(body) + 8, revision, kind) + body


def program_image(subsystem=2):
    """PE32+ headers up to SizeOfHeaders 0x400 and two sections of 0x200 bytes behind them."""
    opt = 0x40 + 24
    head = bytearray(SECTIONS_AT)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", head, 0x44, 0x8664, 2)
    struct.pack_into("<HH", head, 0x40 + 20, 240, 0x0102)
    struct.pack_into("<H", head, opt, 0x20B)
    struct.pack_into("<I", head, opt + 60, SECTIONS_AT)
    struct.pack_into("<H", head, opt + 68, subsystem)
    struct.pack_into("<I", head, opt + 108, 16)
    for i in range(2):
        struct.pack_into("<II", head, opt + 240 + i * 40 + 16, SECTION_SIZE, SECTIONS_AT + i * SECTION_SIZE)
    return bytes(head) + bytes((i * 13 + 1) & 0xFF for i in range(2 * SECTION_SIZE))


def with_table(image, at, size):
    data = bytearray(image)
    struct.pack_into("<II", data, 0x40 + 24 + 144, at, size)
    return bytes(data)


def placement_seeds(sig):
    image = program_image()
    entry = cert_entry(sig)
    signed = with_table(image, len(image), len(entry)) + entry
    table = entry + b"\xcc" * (2 * SECTION_SIZE - len(entry))
    moved = with_table(image, SECTIONS_AT, len(table))[:SECTIONS_AT] + table + image[SECTIONS_AT:]
    two = entry + cert_entry(sig)
    stuffed = cert_entry(sig, b"MARK:entry<old>\r\n")
    overlapping = bytearray(signed)
    struct.pack_into("<I", overlapping, 0x40 + 24 + 240 + 40 + 16, SECTION_SIZE + 0x10)
    return {
        "program_signed": signed,
        "program_table_moved": moved,
        "program_table_not_last": signed + b"\0" * 8,
        "program_two_entries": with_table(image, len(image), len(two)) + two,
        "program_bytes_behind_signature": with_table(image, len(image), len(stuffed)) + stuffed,
        "program_section_in_table": bytes(overlapping),
    }


def main():
    os.makedirs(HERE, exist_ok=True)
    sig = signed_data()
    seeds = {
        "signed_pe32plus": pe(True, bytes(range(256)) * 2, sig),
        "signed_pe32": pe(False, b"code" * 50, sig),
        "signed_with_block": pe(True, b"\x90" * 300, sig, b"MARK:entry<old>\r\n"),
        "signeddata": sig,
    }
    placed = placement_seeds(sig)
    seeds.update(placed)
    for n, d in seeds.items():
        with open(os.path.join(HERE, n), "wb") as f:
            f.write(d)
    images = {n + ".bin": placed[n] for n in ("program_signed", "program_table_moved", "program_section_in_table")}
    images["efi_application.bin"] = program_image(subsystem=10)
    for n, d in images.items():
        with open(os.path.join(IMAGE, n), "wb") as f:
            f.write(d)


if __name__ == "__main__":
    main()
