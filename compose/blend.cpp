#include "compose/blend.h"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// The blend is defined in single and double precision. x87 extended precision, or a compiler
// that evaluates float expressions in double, would change output bytes.
static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must round to their own type");

namespace compose {
namespace {

// Restores the caller's rounding mode on every path out.
class RoundToNearest {
  public:
    RoundToNearest() : saved_(std::fegetround()) { std::fesetround(FE_TONEAREST); }
    ~RoundToNearest() { std::fesetround(saved_); }
    RoundToNearest(const RoundToNearest&) = delete;
    RoundToNearest& operator=(const RoundToNearest&) = delete;

  private:
    int saved_;
};

std::uint8_t BlendChannelNearest(std::uint8_t s, std::uint8_t t) {
    float p;
    double target;
    if (t < kNeutral) {
        p = float(kNeutral - t) / float(kNeutral);
        target = 0.0;
    } else {
        p = float(t - kNeutral) / float(kLightSpan);
        target = 255.0;
    }
    // volatile keeps each single-precision step a stored float, whatever the optimiser does.
    volatile float weight = p * 100.0f;
    volatile float keep = 100.0f - weight;
    const double sourcePart = (double(s) / 100.0) * double(keep);
    const double targetPart = (target / 100.0) * double(weight);
    const double v = sourcePart + targetPart;
    return std::uint8_t(std::nearbyint(v));  // halves to even under FE_TONEAREST
}

BlendTable MakeTable() {
    RoundToNearest guard;
    BlendTable table{};
    for (int t = 0; t < 256; ++t) {
        for (int s = 0; s < 256; ++s) {
            table[t][s] = BlendChannelNearest(std::uint8_t(s), std::uint8_t(t));
        }
    }
    return table;
}

}  // namespace

std::uint8_t BlendChannel(std::uint8_t s, std::uint8_t t) {
    RoundToNearest guard;
    return BlendChannelNearest(s, t);
}

const BlendTable& GetBlendTable() {
    static const BlendTable table = MakeTable();
    return table;
}

namespace {

inline std::uint32_t BlendPixel(const std::uint8_t* table, std::uint32_t s, std::uint32_t t) {
    // The table is [t][s], so a channel's index is (t << 8) | s: for green that is
    // (t & 0xFF00) | s-byte; the other two channels need one shift of t each.
    const std::uint32_t b = table[((t << 8) & 0xFF00u) | (s & 0xFFu)];
    const std::uint32_t g = table[(t & 0xFF00u) | ((s >> 8) & 0xFFu)];
    const std::uint32_t r = table[((t >> 8) & 0xFF00u) | ((s >> 16) & 0xFFu)];
    return (s & 0xFF000000u) | (r << 16) | (g << 8) | b;
}

#if defined(__x86_64__) || defined(__i386__)
#define GLIMBRA_HAVE_GATHER 1

// The table padded by three bytes, so that a 32-bit load at any of its 65,536 byte offsets
// stays inside it: the gather below loads four bytes and keeps the first.
struct GatherTable {
    alignas(64) std::uint8_t bytes[65536 + 4] = {};
};

const GatherTable& GetGatherTable() {
    static const GatherTable padded = [] {
        GatherTable t;
        std::memcpy(t.bytes, GetBlendTable()[0].data(), 65536);
        return t;
    }();
    return padded;
}

// Eight pixels a step, each channel's eight table lookups in one gather: the scalar loop is
// bound by issuing its three loads and their index arithmetic per pixel.
__attribute__((target("avx2"))) void BlendPixelsAvx2(std::uint32_t* out, const std::uint32_t* src,
                                                     const std::uint32_t* flt, std::size_t count,
                                                     std::size_t& done) {
    const int* table = reinterpret_cast<const int*>(GetGatherTable().bytes);
    const __m256i low = _mm256_set1_epi32(0xFF);
    const __m256i second = _mm256_set1_epi32(0xFF00);
    const __m256i fourth = _mm256_set1_epi32(int(0xFF000000u));
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + k));
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(flt + k));
        // Index (t << 8) | s per channel, as in BlendPixel.
        const __m256i ib = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(t, 8), second),
                                           _mm256_and_si256(s, low));
        const __m256i ig = _mm256_or_si256(_mm256_and_si256(t, second),
                                           _mm256_and_si256(_mm256_srli_epi32(s, 8), low));
        const __m256i ir = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(t, 8), second),
                                           _mm256_and_si256(_mm256_srli_epi32(s, 16), low));
        const __m256i b = _mm256_and_si256(_mm256_i32gather_epi32(table, ib, 1), low);
        const __m256i g = _mm256_and_si256(_mm256_i32gather_epi32(table, ig, 1), low);
        const __m256i r = _mm256_and_si256(_mm256_i32gather_epi32(table, ir, 1), low);
        const __m256i v =
            _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(s, fourth), _mm256_slli_epi32(r, 16)),
                            _mm256_or_si256(_mm256_slli_epi32(g, 8), b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), v);
    }
    done = k;
}

bool UseGather() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

}  // namespace

void BlendPixels(std::uint32_t* out, const std::uint32_t* src, const std::uint32_t* flt,
                 std::size_t count) {
    const std::uint8_t* table = GetBlendTable()[0].data();
    std::size_t k = 0;
#ifdef GLIMBRA_HAVE_GATHER
    if (UseGather()) BlendPixelsAvx2(out, src, flt, count, k);
#endif
    // Four independent pixels per step let the table loads overlap.
    for (; k + 4 <= count; k += 4) {
        const std::uint32_t s0 = src[k], s1 = src[k + 1], s2 = src[k + 2], s3 = src[k + 3];
        const std::uint32_t t0 = flt[k], t1 = flt[k + 1], t2 = flt[k + 2], t3 = flt[k + 3];
        out[k] = BlendPixel(table, s0, t0);
        out[k + 1] = BlendPixel(table, s1, t1);
        out[k + 2] = BlendPixel(table, s2, t2);
        out[k + 3] = BlendPixel(table, s3, t3);
    }
    for (; k < count; ++k) out[k] = BlendPixel(table, src[k], flt[k]);
}

}  // namespace compose
