#include "sha256.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define HOLORECON_SHA_EXTENSIONS 1
#endif

namespace {

using Word = std::uint32_t;
using State = std::array<Word, 8>;

constexpr std::array<Word, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

Word rotateRight(Word x, int bits) { return (x >> bits) | (x << (32 - bits)); }

/// Mixes one 64-byte block into the state (FIPS 180-4, section 6.2.2).
void compressPortable(State& state, const unsigned char* block) {
  std::array<Word, 64> w{};
  for (std::size_t t = 0; t < 16; ++t) {
    w[t] = Word{block[4 * t]} << 24 | Word{block[4 * t + 1]} << 16 |
           Word{block[4 * t + 2]} << 8 | Word{block[4 * t + 3]};
  }
  for (std::size_t t = 16; t < 64; ++t) {
    const Word s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^
                    (w[t - 15] >> 3);
    const Word s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^
                    (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state;
  for (std::size_t t = 0; t < 64; ++t) {
    const Word sum1 =
        rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
    const Word choice = (e & f) ^ (~e & g);
    const Word t1 = h + sum1 + choice + kRoundConstants[t] + w[t];
    const Word sum0 =
        rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
    const Word majority = (a & b) ^ (a & c) ^ (b & c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + sum0 + majority;
  }
  const State mixed = {a, b, c, d, e, f, g, h};
  for (std::size_t i = 0; i < 8; ++i) state[i] += mixed[i];
}

void compressPortable(State& state, const unsigned char* blocks,
                      std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    compressPortable(state, blocks + 64 * i);
  }
}

#ifdef HOLORECON_SHA_EXTENSIONS
// The same blocks by the processor's SHA extensions, about ten times as
// fast: a series fingerprints every frame twice (when it is listed, and
// when it is read), a megabyte each at 1024 x 1024. The state is kept as
// the instructions want it, ABEF and CDGH in two registers; each
// _mm_sha256rnds2_epu32 does two rounds, so four words of the schedule
// (msg) go in as two pairs, and the schedule's next four words come from
// _mm_sha256msg1_epu32 and _mm_sha256msg2_epu32 with the word seven back
// added between them.
__attribute__((target("sha,sse4.1"))) void compressExtensions(
    State& state, const unsigned char* blocks, std::size_t count) {
  const __m128i byteSwap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i abef, cdgh;
  {
    // state: a b c d (low to high words) and e f g h.
    const __m128i dcba = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(state.data()));  // a b c d
    const __m128i hgfe = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(state.data() + 4));  // e f g h
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);       // b a d c
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);       // h g f e
    abef = _mm_alignr_epi8(cdab, efgh, 8);                    // f e b a
    cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);                 // h g d c
  }
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* block = blocks + 64 * i;
    const __m128i abefSaved = abef;
    const __m128i cdghSaved = cdgh;
    __m128i words[4];
    for (std::size_t j = 0; j < 4; ++j) {
      words[j] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * j)),
          byteSwap);
    }
    for (std::size_t quad = 0; quad < 16; ++quad) {
      __m128i& current = words[quad % 4];
      if (quad >= 4) {
        // w[t..t+3] from the quads w[t-16..] (current), w[t-12..],
        // w[t-8..] and w[t-4..]: msg1 on the two oldest, plus the words
        // seven back, then msg2 with the newest.
        const __m128i& previous = words[(quad + 3) % 4];  // w[t-4..t-1]
        const __m128i sevenBack =                         // w[t-7..t-4]
            _mm_alignr_epi8(previous, words[(quad + 2) % 4], 4);
        current = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(current, words[(quad + 1) % 4]),
                          sevenBack),
            previous);
      }
      const __m128i constants = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(kRoundConstants.data() + 4 * quad));
      const __m128i msg = _mm_add_epi32(current, constants);
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(msg, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefSaved);
    cdgh = _mm_add_epi32(cdgh, cdghSaved);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);  // a b e f
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);  // g h c d
  const __m128i dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  const __m128i hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data() + 4), hgfe);
}

/// Whether the processor has the SHA extensions and SSE4.1, from cpuid:
/// leaf 7's EBX bit 29 and leaf 1's ECX bit 19 (not every compiler's
/// __builtin_cpu_supports knows "sha").
bool hasExtensions() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 19)) == 0) {
      return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 &&
           (b & (1u << 29)) != 0;
  }();
  return has;
}
#endif

void compress(State& state, const unsigned char* blocks, std::size_t count) {
#ifdef HOLORECON_SHA_EXTENSIONS
  if (hasExtensions()) {
    compressExtensions(state, blocks, count);
    return;
  }
#endif
  compressPortable(state, blocks, count);
}

}  // namespace

void Sha256::update(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  length_ += size;
  if (held_ > 0) {
    const std::size_t take = std::min(size, block_.size() - held_);
    std::memcpy(block_.data() + held_, data, take);
    held_ += take, data += take, size -= take;
    if (held_ < block_.size()) return;
    compress(state_, block_.data(), 1);
    held_ = 0;
  }
  compress(state_, data, size / 64);
  data += size / 64 * 64;
  held_ = size % 64;
  if (held_ > 0) std::memcpy(block_.data(), data, held_);
}

std::string Sha256::hex() {
  // A one bit, zeros, and the length in bits as 64 bits big-end first:
  // one block, or two when fewer than 9 bytes remain free.
  const std::uint64_t bits = length_ * 8;
  std::string tail(1, '\x80');
  tail.append((119 - held_) % 64, '\0');
  for (int shift = 56; shift >= 0; shift -= 8) {
    tail += static_cast<char>(bits >> shift);
  }
  const std::uint64_t length = length_;
  update(tail);
  length_ = length;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const Word word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4)
      hex += kDigits[(word >> shift) & 0xF];
  }
  return hex;
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 digest;
  digest.update(bytes);
  return digest.hex();
}
