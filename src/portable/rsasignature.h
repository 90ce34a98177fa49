// rsasignature: the check of an RSA signature made the way publishers sign their programs
// (RSASSA-PKCS1-v1_5 of RFC 8017 over a SHA-256 digest) with the key of a certificate's
// SubjectPublicKeyInfo, in portable code: the signature check needs no cryptographic provider of
// the platform for such keys. The signature is raised to the public exponent and the result
// compared byte for byte with the one encoding the digest has (00 01 FF..FF 00 DigestInfo); no
// part of the decoded block is parsed, so no padding or DigestInfo variant can pass.
//
// Keys it does not take are left to the caller with RSA_KEY_NOT_TAKEN: another algorithm, a
// modulus outside 1024 to 8192 bits or even, an exponent that is even, below 3 or above 32 bits,
// or a key that does not read. Portable code: no platform headers.
#pragma once

#include "bytespan.h"
#include "result.h"
#include "sha256.h"

#include <cstdint>
#include <vector>

namespace portable {

// rsaEncryption (1.2.840.113549.1.1.1) by its DER contents: the key algorithm this check takes, and
// a signature algorithm a SignerInfo may name for PKCS #1 v1.5.
inline constexpr uint8_t OID_RSA_ENCRYPTION[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

enum RsaSignatureFault : int32_t {
    RSA_KEY_NOT_TAKEN = 1, // not a key this check takes: the caller decides some other way
    RSA_SIGNATURE_BAD,     // the signature does not verify with the key
};

// An RSA public key as SubjectPublicKeyInfo carries it: the modulus and the exponent as unsigned
// big-endian bytes without leading zeros.
struct RsaPublicKey {
    ByteSpan modulus;
    uint32_t exponent = 0;
};

// Reads a DER SubjectPublicKeyInfo of the rsaEncryption algorithm that this check takes; fails
// with RSA_KEY_NOT_TAKEN otherwise. The spans point into spki.
Result readRsaPublicKey(ByteSpan spki, RsaPublicKey* out);

// signature ^ exponent mod modulus as big-endian bytes of the modulus' length (RSAVP1); false
// when the signature is not exactly that long or not below the modulus.
bool rsaPublicOperation(const RsaPublicKey& key, ByteSpan signature, std::vector<uint8_t>* out);

// Verifies signature over digest with the key in spki (RSASSA-PKCS1-v1_5, SHA-256).
Result verifyRsaSha256(ByteSpan spki, ByteSpan signature, const Sha256::Digest& digest);

} // namespace portable
