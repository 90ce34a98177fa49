// signaturebuilder: Authenticode signatures built byte by byte for the native tests and the fuzz
// seeds: a PKCS#7 SignedData with an SpcIndirectDataContent, signed attributes, three
// certificates (the signer's is the second: serial 5 from "Test CA", between serial 4 from the
// same issuer and serial 5 from another) and made-up digest and signature bytes. No key is
// involved; each part can be changed to build the broken ones. Portable C++: no platform headers.
#pragma once

#include <string>

namespace signaturebuilder {

const std::string SHA256_OID("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
const std::string SHA1_OID("\x2B\x0E\x03\x02\x1A", 5);

struct SignatureParts {
    std::string imageDigest = std::string(32, '\x11');
    std::string imageAlg = SHA256_OID;
    std::string messageDigest = std::string(32, '\x22');
    std::string signerSerial = "\x05";
    int signers = 1;
    bool signedAttributes = true;
    std::string unsignedAttributes; // contents of [1], none when empty
};

// DER pieces.
std::string tlv(unsigned char tag, const std::string& contents);
std::string seq(const std::string& contents);
std::string oid(const std::string& contents);
// AlgorithmIdentifier with NULL parameters.
std::string algorithm(const std::string& oidContents);

// The SubjectPublicKeyInfo of the certificate whose key bytes are all fill ('b' for the signer).
std::string publicKey(char fill);
// The SpcIndirectDataContent of the parts (the content messageDigest hashes, with its header).
std::string indirectData(const SignatureParts& parts);
// The whole ContentInfo with its SignedData.
std::string signedData(const SignatureParts& parts = SignatureParts());

} // namespace signaturebuilder
