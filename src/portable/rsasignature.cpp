#include "rsasignature.h"

#include "der.h"

#include <cstring>

namespace portable {

namespace {

// DigestInfo { AlgorithmIdentifier { sha256, NULL }, OCTET STRING (32 bytes) } up to the digest.
const uint8_t SHA256_DIGEST_INFO[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr size_t MIN_MODULUS_BITS = 1024;
constexpr size_t MAX_MODULUS_BITS = 8192;

Result notTaken(const char* reason) { return Result::failed(reason, RSA_KEY_NOT_TAKEN); }

// A DER INTEGER's value as unsigned bytes without leading zeros; false when it is negative or
// not minimally encoded.
bool unsignedInteger(const Tlv& integer, ByteSpan* out)
{
    const uint8_t* p = integer.contents.data;
    size_t n = integer.contents.size;
    if (integer.tag != TAG_INTEGER || n == 0 || (p[0] & 0x80) != 0) {
        return false;
    }
    if (p[0] == 0) {
        if (n == 1 || (p[1] & 0x80) == 0) {
            return false; // zero, or a leading zero that is not needed
        }
        ++p;
        --n;
    }
    *out = {p, n};
    return true;
}

size_t bitLength(ByteSpan value)
{
    size_t bits = value.size * 8;
    for (uint8_t top = value.data[0]; (top & 0x80) == 0; top = static_cast<uint8_t>(top << 1)) {
        --bits;
    }
    return bits;
}

// Numbers modulo an odd modulus in Montgomery form: 32-bit limbs, least significant first.
class Montgomery {
public:
    explicit Montgomery(ByteSpan modulus) : limbs((modulus.size + 3) / 4), n(fromBytes(modulus, limbs))
    {
        // -n^-1 mod 2^32 by Newton's iteration (each step doubles the correct low bits).
        uint32_t inverse = 1;
        for (int i = 0; i < 5; ++i) {
            inverse *= 2 - n[0] * inverse;
        }
        minusInverse = 0 - inverse;
        // R^2 mod n with R = 2^(32 limbs): 1 doubled 2 * 32 * limbs times, reduced at each step.
        rSquared.assign(limbs, 0);
        rSquared[0] = 1;
        for (size_t i = 0; i < 64 * limbs; ++i) {
            uint32_t carry = 0;
            for (uint32_t& limb : rSquared) {
                const uint32_t next = limb >> 31;
                limb = (limb << 1) | carry;
                carry = next;
            }
            if (carry != 0 || !less(rSquared, n)) {
                subtract(&rSquared, n);
            }
        }
    }

    static std::vector<uint32_t> fromBytes(ByteSpan bytes, size_t limbs)
    {
        std::vector<uint32_t> out(limbs, 0);
        for (size_t i = 0; i < bytes.size; ++i) {
            const size_t bit = (bytes.size - 1 - i) * 8;
            out[bit / 32] |= static_cast<uint32_t>(bytes.data[i]) << (bit % 32);
        }
        return out;
    }

    // base^exponent mod n for base < n.
    std::vector<uint32_t> power(const std::vector<uint32_t>& base, uint32_t exponent) const
    {
        const std::vector<uint32_t> b = multiply(base, rSquared);
        std::vector<uint32_t> acc = b;
        int top = 31;
        while (((exponent >> top) & 1) == 0) {
            --top;
        }
        for (int bit = top - 1; bit >= 0; --bit) {
            acc = multiply(acc, acc);
            if (((exponent >> bit) & 1) != 0) {
                acc = multiply(acc, b);
            }
        }
        std::vector<uint32_t> one(limbs, 0);
        one[0] = 1;
        return multiply(acc, one);
    }

    size_t size() const { return limbs; }
    // Whether value (of size() limbs) is below the modulus.
    bool holds(const std::vector<uint32_t>& value) const { return less(value, n); }

private:
    static bool less(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b)
    {
        for (size_t i = a.size(); i-- > 0;) {
            if (a[i] != b[i]) {
                return a[i] < b[i];
            }
        }
        return false;
    }

    static void subtract(std::vector<uint32_t>* a, const std::vector<uint32_t>& b)
    {
        uint64_t borrow = 0;
        for (size_t i = 0; i < a->size(); ++i) {
            const uint64_t d = static_cast<uint64_t>((*a)[i]) - b[i] - borrow;
            (*a)[i] = static_cast<uint32_t>(d);
            borrow = (d >> 32) & 1;
        }
    }

    // a * b / R mod n (coarsely integrated operand scanning); a, b < n.
    std::vector<uint32_t> multiply(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) const
    {
        std::vector<uint32_t> t(limbs + 2, 0);
        for (size_t i = 0; i < limbs; ++i) {
            uint64_t carry = 0;
            for (size_t j = 0; j < limbs; ++j) {
                const uint64_t s = static_cast<uint64_t>(a[j]) * b[i] + t[j] + carry;
                t[j] = static_cast<uint32_t>(s);
                carry = s >> 32;
            }
            uint64_t s = static_cast<uint64_t>(t[limbs]) + carry;
            t[limbs] = static_cast<uint32_t>(s);
            t[limbs + 1] = static_cast<uint32_t>(s >> 32);
            const uint32_t m = t[0] * minusInverse;
            carry = (static_cast<uint64_t>(m) * n[0] + t[0]) >> 32;
            for (size_t j = 1; j < limbs; ++j) {
                s = static_cast<uint64_t>(m) * n[j] + t[j] + carry;
                t[j - 1] = static_cast<uint32_t>(s);
                carry = s >> 32;
            }
            s = static_cast<uint64_t>(t[limbs]) + carry;
            t[limbs - 1] = static_cast<uint32_t>(s);
            t[limbs] = t[limbs + 1] + static_cast<uint32_t>(s >> 32);
        }
        // t < 2n: one subtraction at most.
        std::vector<uint32_t> out(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(limbs));
        if (t[limbs] != 0 || !less(out, n)) {
            subtract(&out, n);
        }
        return out;
    }

    size_t limbs;
    std::vector<uint32_t> n;
    uint32_t minusInverse = 0;
    std::vector<uint32_t> rSquared;
};

} // namespace

Result readRsaPublicKey(ByteSpan spki, RsaPublicKey* out)
{
    Tlv outer, algorithm, oid, bits, key, modulus, exponent;
    DerCursor top(spki);
    if (!top.expect(TAG_SEQUENCE, &outer) || !top.atEnd()) {
        return notTaken("the public key does not read");
    }
    DerCursor c(outer.contents);
    if (!c.expect(TAG_SEQUENCE, &algorithm) || !c.expect(TAG_BIT_STRING, &bits) || !c.atEnd()) {
        return notTaken("the public key does not read");
    }
    DerCursor a(algorithm.contents);
    if (!a.expect(TAG_OID, &oid) || !isOid(oid, OID_RSA_ENCRYPTION)) {
        return notTaken("the public key is no RSA key");
    }
    Tlv parameters;
    if (!a.atEnd() && (!a.expect(TAG_NULL, &parameters) || !parameters.contents.empty() || !a.atEnd())) {
        return notTaken("the RSA key's parameters are not NULL");
    }
    // The BIT STRING holds RSAPublicKey { modulus, publicExponent } after its unused-bits byte.
    if (bits.contents.size < 1 || bits.contents.data[0] != 0) {
        return notTaken("the public key does not read");
    }
    DerCursor k(ByteSpan{bits.contents.data + 1, bits.contents.size - 1});
    if (!k.expect(TAG_SEQUENCE, &key) || !k.atEnd()) {
        return notTaken("the RSA key does not read");
    }
    DerCursor v(key.contents);
    ByteSpan n, e;
    if (!v.next(&modulus) || !v.next(&exponent) || !v.atEnd() || !unsignedInteger(modulus, &n) ||
        !unsignedInteger(exponent, &e)) {
        return notTaken("the RSA key does not read");
    }
    const size_t modulusBits = bitLength(n);
    if (modulusBits < MIN_MODULUS_BITS || modulusBits > MAX_MODULUS_BITS || (n.data[n.size - 1] & 1) == 0) {
        return notTaken("the RSA modulus is of a size or form this check does not take");
    }
    if (e.size > 4) {
        return notTaken("the RSA exponent is larger than this check takes");
    }
    uint32_t value = 0;
    for (size_t i = 0; i < e.size; ++i) {
        value = (value << 8) | e.data[i];
    }
    if (value < 3 || (value & 1) == 0) {
        return notTaken("the RSA exponent is of a form this check does not take");
    }
    out->modulus = n;
    out->exponent = value;
    return Result::done();
}

bool rsaPublicOperation(const RsaPublicKey& key, ByteSpan signature, std::vector<uint8_t>* out)
{
    const size_t k = key.modulus.size;
    if (signature.size != k) {
        return false;
    }
    const Montgomery ring(key.modulus);
    const std::vector<uint32_t> s = Montgomery::fromBytes(signature, ring.size());
    if (!ring.holds(s)) {
        return false;
    }
    const std::vector<uint32_t> m = ring.power(s, key.exponent);
    out->assign(k, 0);
    for (size_t i = 0; i < k; ++i) {
        const size_t bit = (k - 1 - i) * 8;
        (*out)[i] = static_cast<uint8_t>(m[bit / 32] >> (bit % 32));
    }
    return true;
}

Result verifyRsaSha256(ByteSpan spki, ByteSpan signature, const Sha256::Digest& digest)
{
    RsaPublicKey key;
    if (Result r = readRsaPublicKey(spki, &key); !r) {
        return r;
    }
    std::vector<uint8_t> block;
    if (!rsaPublicOperation(key, signature, &block)) {
        return Result::failed("the signature is not of the key's length or not below its modulus", RSA_SIGNATURE_BAD);
    }
    // EMSA-PKCS1-v1_5: 00 01, at least eight FF, 00, DigestInfo, the digest (the 1024-bit minimum
    // leaves room for all of it).
    const size_t k = block.size();
    std::vector<uint8_t> expected(k, 0xFF);
    expected[0] = 0x00;
    expected[1] = 0x01;
    const size_t tail = 1 + sizeof(SHA256_DIGEST_INFO) + digest.size();
    expected[k - tail] = 0x00;
    std::memcpy(&expected[k - tail + 1], SHA256_DIGEST_INFO, sizeof(SHA256_DIGEST_INFO));
    std::memcpy(&expected[k - digest.size()], digest.data(), digest.size());
    if (block != expected) {
        return Result::failed("the signature does not verify with the signer's key", RSA_SIGNATURE_BAD);
    }
    return Result::done();
}

} // namespace portable
