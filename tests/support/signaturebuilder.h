// signaturebuilder: Authenticode signatures built byte by byte for the native tests and the fuzz
// seeds: a PKCS#7 SignedData with an SpcIndirectDataContent, signed attributes, three
// certificates (the signer's is the second: serial 5 from "Test CA", between serial 4 from the
// same issuer and serial 5 from another) and made-up digest and signature bytes. No key is
// involved; each part can be changed to build the broken ones, and signatures can be nested in
// one another as dual-signed programs carry them. Portable C++: no platform headers.
#pragma once

#include <string>
#include <vector>

namespace signaturebuilder {

const std::string SHA256_OID("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
const std::string SHA1_OID("\x2B\x0E\x03\x02\x1A", 5);
const std::string SPC_INDIRECT_DATA_OID("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04", 10);
const std::string SPC_PE_IMAGE_DATA_OID("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x0F", 10);
const std::string SPC_NESTED_SIGNATURE_OID("\x2B\x06\x01\x04\x01\x82\x37\x02\x04\x01", 10);

struct SignatureParts {
    std::string imageDigest = std::string(32, '\x11');
    std::string imageAlg = SHA256_OID;
    std::string dataType = SPC_PE_IMAGE_DATA_OID; // the type of the SpcIndirectDataContent's data
    std::string messageDigest = std::string(32, '\x22');
    std::string signerAlg = SHA256_OID;
    std::vector<std::string> contentTypes{SPC_INDIRECT_DATA_OID}; // one contentType attribute per item
    std::string signerSerial = "\x05";
    char signerKey = 'b'; // the fill of the signer certificate's key bytes (publicKey)
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

// The parts of a signature whose image digest is imageDigest and whose messageDigest is the hash
// of its signed content: what a signer with the key would have made.
SignatureParts partsFor(const std::string& imageDigest, const std::string& imageAlg = SHA256_OID, char signerKey = 'b');
// The unsigned attribute that nests signatures (one value per signature), for unsignedAttributes.
std::string nestedSignatures(const std::vector<std::string>& signatures);

} // namespace signaturebuilder
