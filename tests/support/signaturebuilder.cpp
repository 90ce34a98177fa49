#include "signaturebuilder.h"

#include "derbuilder.h"
#include "sha256.h"

namespace signaturebuilder {

namespace {

const std::string RSA_OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01", 9);

std::string name(const std::string& cn) { return seq(tlv(0x31, seq(oid("\x55\x04\x03") + tlv(0x0C, cn)))); }

std::string certificate(const std::string& serial, const std::string& issuer, char keyFill)
{
    const std::string tbs =
        seq(tlv(0xA0, tlv(0x02, "\x02")) + tlv(0x02, serial) + algorithm(SHA256_OID) + name(issuer) +
            seq(tlv(0x17, "260101000000Z") + tlv(0x17, "270101000000Z")) + name("signer") + publicKey(keyFill));
    return seq(tbs + algorithm(SHA256_OID) + tlv(0x03, std::string(10, '\x01')));
}

std::string signerInfo(const SignatureParts& p)
{
    std::string contentTypes;
    for (const std::string& type : p.contentTypes) {
        contentTypes += seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x03") + tlv(0x31, oid(type)));
    }
    const std::string attributes = tlv(
        0xA0, contentTypes + seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04") + tlv(0x31, tlv(0x04, p.messageDigest))));
    return seq(tlv(0x02, "\x01") + seq(name("Test CA") + tlv(0x02, p.signerSerial)) + algorithm(p.signerAlg) +
               (p.signedAttributes ? attributes : std::string()) + algorithm(RSA_OID) +
               tlv(0x04, std::string(16, '\x33')) +
               (p.unsignedAttributes.empty() ? std::string() : tlv(0xA1, p.unsignedAttributes)));
}

} // namespace

std::string tlv(unsigned char tag, const std::string& contents) { return dertest::element(tag, contents); }
std::string seq(const std::string& contents) { return tlv(0x30, contents); }
std::string oid(const std::string& contents) { return tlv(0x06, contents); }
std::string algorithm(const std::string& oidContents) { return seq(oid(oidContents) + tlv(0x05, "")); }

std::string publicKey(char fill) { return seq(algorithm(RSA_OID) + tlv(0x03, std::string(20, fill))); }

std::string indirectData(const SignatureParts& p)
{
    return seq(seq(oid(p.dataType) + seq("")) + seq(algorithm(p.imageAlg) + tlv(0x04, p.imageDigest)));
}

std::string signedData(const SignatureParts& p)
{
    const std::string signer = signerInfo(p);
    std::string signers;
    for (int i = 0; i < p.signers; ++i) {
        signers += signer;
    }
    const std::string certificates =
        tlv(0xA0, certificate("\x04", "Test CA", 'a') + certificate("\x05", "Test CA", p.signerKey) +
                      certificate("\x05", "Other CA", 'c'));
    const std::string content = seq(oid(SPC_INDIRECT_DATA_OID) + tlv(0xA0, indirectData(p)));
    const std::string sd =
        seq(tlv(0x02, "\x01") + tlv(0x31, algorithm(SHA256_OID)) + content + certificates + tlv(0x31, signers));
    return seq(oid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02") + tlv(0xA0, sd));
}

SignatureParts partsFor(const std::string& imageDigest, const std::string& imageAlg, char signerKey)
{
    SignatureParts p;
    p.imageDigest = imageDigest;
    p.imageAlg = imageAlg;
    p.signerAlg = imageAlg;
    p.signerKey = signerKey;
    // The signed content is the contents of the SpcIndirectDataContent: behind its tag and length.
    const std::string content = indirectData(p);
    const size_t header = static_cast<unsigned char>(content[1]) < 0x80 ? 2 : 2 + (content[1] & 0x7F);
    const portable::Sha256::Digest d = portable::Sha256::of(content.data() + header, content.size() - header);
    p.messageDigest.assign(d.begin(), d.end());
    return p;
}

std::string nestedSignatures(const std::vector<std::string>& signatures)
{
    std::string values;
    for (const std::string& s : signatures) {
        values += s;
    }
    return seq(oid(SPC_NESTED_SIGNATURE_OID) + tlv(0x31, values));
}

} // namespace signaturebuilder
