// signedprogram: what the native tests of the signature readers share: synthetic PE files
// (pebuilder) with and without a certificate table, a program as a linker writes it with one
// signature (signaturebuilder) in its table, the image digest and layout of such bytes, and a
// file's signature read in one go as the installer and cvstamp read it. Portable C++ for the host
// tests: no platform headers.
#pragma once

#include "authenticode.h"

#include "pebuilder.h"
#include "signaturebuilder.h"

#include <gtest/gtest.h>

#include <string>

namespace signedprogram {

using Bytes = std::string;
using pebuilder::Image;

inline std::string hex(const portable::Sha256::Digest& d) { return portable::toHex(d); }

inline const uint8_t* u8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }

inline Bytes text(const portable::ByteSpan& s) { return Bytes(reinterpret_cast<const char*>(s.data), s.size); }

// The reason a step failed, "" when it did its work.
inline std::string failure(const portable::Result& r) { return r ? std::string() : "failed: " + r.reason; }

// A PE file's headers (PE32+ or PE32) followed by body bytes; no certificate table.
inline Image makePe(bool pe32plus, size_t bodySize)
{
    pebuilder::Options o;
    o.pe32plus = pe32plus;
    o.body = bodySize;
    o.checksum = 0x12345678; // a checksum to be ignored
    return pebuilder::build(o);
}

// makePe plus a certificate table at its end holding one PKCS#7 entry (8-byte aligned).
inline Bytes makeSignedPe(bool pe32plus, size_t bodySize, const Bytes& pkcs7)
{
    Image im = makePe(pe32plus, bodySize);
    im.appendCertificateTable(pebuilder::certificateEntry(pkcs7));
    return im.bytes;
}

inline portable::Sha256::Digest digestOf(const Bytes& b)
{
    portable::Sha256::Digest d{};
    const portable::Result r = portable::imageDigest(u8(b), b.size(), &d);
    EXPECT_TRUE(r) << r.reason;
    return d;
}

inline portable::PeLayout layoutOf(const Bytes& b)
{
    portable::PeLayout l;
    const portable::Result r = portable::readPeLayout(u8(b), b.size(), b.size(), &l);
    EXPECT_TRUE(r) << r.reason;
    return l;
}

// A program as a linker writes it: headers up to SizeOfHeaders (0x400), two sections of 0x200
// bytes each behind them, then the certificate table with one PKCS#7 entry, ending the file.
struct Program {
    Image image; // without the table
    Bytes file;
    Bytes entry; // the certificate entry (header, signature, zero padding)
};

inline Image programImage() { return pebuilder::build(pebuilder::programOptions()); }

// image followed by the table, the directory entry pointing at it.
inline Bytes withTable(Image image, const Bytes& table)
{
    image.appendCertificateTable(table);
    return image.bytes;
}

inline Program signedProgram()
{
    Program p;
    p.entry = pebuilder::certificateEntry(signaturebuilder::signedData());
    p.image = programImage();
    p.file = withTable(p.image, p.entry);
    return p;
}

// A dual-signed program: a SHA-1 primary signature with four signatures nested in it (an unsigned
// attribute of the primary signer): ours (SHA-256, the primary signer's key), a stranger's
// (another key), garbage that is no SignedData, and one of ours that nests the stranger's again.
struct DualSigned {
    Bytes file;
    signaturebuilder::SignatureParts primary;
    Bytes ours;
    Bytes stranger;
};

inline DualSigned dualSignedProgram()
{
    using namespace signaturebuilder;
    const Image image = programImage();
    const portable::Sha256::Digest d = digestOf(withTable(image, pebuilder::certificateEntry(signedData())));
    const Bytes digest(d.begin(), d.end());
    DualSigned dual;
    dual.ours = signedData(partsFor(digest));
    dual.stranger = signedData(partsFor(digest, SHA256_OID, 'd'));
    SignatureParts nesting = partsFor(digest);
    nesting.unsignedAttributes = nestedSignatures({dual.stranger});
    const Bytes garbage = seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01"));
    dual.primary = partsFor(Bytes(20, '\x44'), SHA1_OID);
    dual.primary.unsignedAttributes = nestedSignatures({dual.ours, dual.stranger, garbage, signedData(nesting)});
    dual.file = withTable(image, pebuilder::certificateEntry(signedData(dual.primary)));
    return dual;
}

// The hash of the public key of the signer certificate whose key bytes are all fill.
inline std::string keyHash(char fill)
{
    const Bytes key = signaturebuilder::publicKey(fill);
    return hex(portable::Sha256::of(key.data(), key.size()));
}

// A signature whose entry needs zero padding (its length is no multiple of 8).
inline Bytes signatureNeedingPadding()
{
    signaturebuilder::SignatureParts parts;
    for (size_t n = 30; n < 38; ++n) {
        parts.messageDigest = Bytes(n, '\x22');
        const Bytes der = signaturebuilder::signedData(parts);
        if (der.size() % 8 != 0) {
            return der;
        }
    }
    ADD_FAILURE() << "no signature length that needs padding";
    return signaturebuilder::signedData();
}

// A file's signature read in one go, as the installer and cvstamp read it: the reason, or ""
// when the table passes the placement rules and its signature reads. The steps before the rules
// prefix theirs ("layout: ", "signature: ").
inline std::string placement(const Bytes& file)
{
    portable::FileSignature signature;
    const portable::Result r = portable::readFileSignature(u8(file), file.size(), &signature);
    switch (r.code) {
    case 0:
        return "";
    case portable::SIGNATURE_NO_PROGRAM:
        return "layout: " + r.reason;
    case portable::SIGNATURE_MALFORMED:
        return "signature: " + r.reason;
    default:
        return r.reason;
    }
}

} // namespace signedprogram
