#include "sha256.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86))
#define CV_SHA256_X86 1
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace portable {

namespace {

const uint32_t K[64] = {0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
                        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
                        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
                        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
                        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
                        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
                        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
                        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void blocksPlain(uint32_t* state, const uint8_t* data, size_t count)
{
    for (; count > 0; --count, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = (uint32_t(data[4 * i]) << 24) | (uint32_t(data[4 * i + 1]) << 16) |
                   (uint32_t(data[4 * i + 2]) << 8) | uint32_t(data[4 * i + 3]);
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(CV_SHA256_X86)

bool cpuHasShaExtensions()
{
#if defined(_MSC_VER)
    int regs[4];
    __cpuid(regs, 0);
    if (regs[0] < 7) {
        return false;
    }
    __cpuidex(regs, 7, 0);
    const bool sha = (regs[1] & (1 << 29)) != 0;
    __cpuid(regs, 1);
    return sha && (regs[2] & (1 << 19)) != 0 && (regs[2] & (1 << 9)) != 0;
#else
    unsigned a, b, c, d;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, a, b, c, d);
    const bool sha = (b & (1u << 29)) != 0;
    __cpuid(1, a, b, c, d);
    return sha && (c & (1u << 19)) != 0 && (c & (1u << 9)) != 0; // SSE4.1, SSSE3
#endif
}

#if defined(__GNUC__)
#define CV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#else
#define CV_SHA_TARGET
#endif

// The block function on the processor's SHA instructions: four rounds per sha256rnds2 pair, the
// message schedule by sha256msg1/sha256msg2.
CV_SHA_TARGET void blocksShaNi(uint32_t* state, const uint8_t* data, size_t count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);               // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);         // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8); // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);      // CDGH

    for (; count > 0; --count, data += 64) {
        const __m128i abefSave = state0;
        const __m128i cdghSave = state1;
        __m128i msg[4];
        for (int i = 0; i < 4; ++i) {
            msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        }
        for (int r = 0; r < 16; ++r) {
            __m128i& m = msg[r & 3];
            __m128i wk = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[4 * r])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, wk);
            if (r < 12) {
                // Schedule the words of round group r + 4 into msg[r & 3] once group r is consumed:
                // W[r+4] = msg2(msg1(W[r], W[r+1]) + alignr(W[r+3], W[r+2], 4), W[r+3]).
                __m128i next = _mm_sha256msg1_epu32(msg[r & 3], msg[(r + 1) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(msg[(r + 3) & 3], msg[(r + 2) & 3], 4));
                msg[r & 3] = _mm_sha256msg2_epu32(next, msg[(r + 3) & 3]);
            }
        }
        state0 = _mm_add_epi32(state0, abefSave);
        state1 = _mm_add_epi32(state1, cdghSave);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);       // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);    // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0); // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);    // ABEF
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

#endif

using BlockFunction = void (*)(uint32_t*, const uint8_t*, size_t);

BlockFunction chooseBlockFunction()
{
#if defined(CV_SHA256_X86)
    if (cpuHasShaExtensions()) {
        return blocksShaNi;
    }
#endif
    return blocksPlain;
}

BlockFunction blockFunction = chooseBlockFunction();

} // namespace

void Sha256::reset()
{
    static const uint32_t INIT[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state, INIT, sizeof state);
    pendingSize = 0;
    totalSize = 0;
}

void Sha256::blocks(const uint8_t* data, size_t count) { blockFunction(state, data, count); }

bool Sha256::useProcessorExtensions(bool on)
{
    blockFunction = on ? chooseBlockFunction() : blocksPlain;
    return blockFunction != blocksPlain;
}

void Sha256::update(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    totalSize += size;
    if (pendingSize > 0) {
        const size_t take = size < 64 - pendingSize ? size : 64 - pendingSize;
        std::memcpy(pending + pendingSize, p, take);
        pendingSize += take;
        p += take;
        size -= take;
        if (pendingSize < 64) {
            return;
        }
        blocks(pending, 1);
        pendingSize = 0;
    }
    if (size >= 64) {
        blocks(p, size / 64);
        p += size / 64 * 64;
        size %= 64;
    }
    if (size > 0) {
        std::memcpy(pending, p, size);
        pendingSize = size;
    }
}

Sha256::Digest Sha256::finish()
{
    const uint64_t bits = totalSize * 8;
    uint8_t tail[72] = {0x80};
    const size_t padding = (pendingSize < 56 ? 56 : 120) - pendingSize;
    for (int i = 0; i < 8; ++i) {
        tail[padding + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    const uint64_t keep = totalSize;
    update(tail, padding + 8);
    totalSize = keep;
    Digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<uint8_t>(state[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(state[i]);
    }
    reset();
    return out;
}

Sha256::Digest Sha256::of(const void* data, size_t size)
{
    Sha256 h;
    h.update(data, size);
    return h.finish();
}

} // namespace portable
