// Prints digests of the C library's expf, sin, cos and log1p over fixed argument sets, so
// two builds (glibc, MinGW under Wine) can be compared to the last bit. The arguments are
// generated from integers only, identically everywhere.
//
//   libm_probe [STRIDE]               one line per block: name, block, argument range, digest
//   libm_probe --detail NAME BLOCK [STRIDE]   every argument and result of one block, in hex
//   libm_probe --dump NAME STRIDE FILE        argument and result bits of the whole set, binary
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint64_t kBlock = uint64_t{1} << 20;

uint32_t FloatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float BitsFloat(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
uint64_t DoubleBits(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

uint64_t SplitMix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// A uniform double in [0, scale), from the index alone.
double Uniform(uint64_t i, double scale) {
    return static_cast<double>(SplitMix(i) >> 11) * 0x1.0p-53 * scale;
}

struct Set {
    const char* name;
    uint64_t count;
    // Returns argument and result bits for index i.
    void (*eval)(uint64_t i, uint64_t& arg, uint64_t& res);
};

// Every float from -0 down to -104 (where expf underflows to zero) and up to +89 (overflow).
const uint32_t kNegEnd = FloatBits(104.0f);
const uint32_t kPosEnd = FloatBits(89.0f);

void ExpfNeg(uint64_t i, uint64_t& a, uint64_t& r) {
    float x = -BitsFloat(static_cast<uint32_t>(i));
    a = FloatBits(x);
    r = FloatBits(std::exp(x));
}
void ExpfPos(uint64_t i, uint64_t& a, uint64_t& r) {
    float x = BitsFloat(static_cast<uint32_t>(i));
    a = FloatBits(x);
    r = FloatBits(std::exp(x));
}

// The angles an FFT twiddle table asks for: 2 pi m / n, m up to n/8, n = 8 .. 2^20.
double FftAngle(uint64_t i) {
    uint64_t n = 8;
    while (i > n / 8) {
        i -= n / 8 + 1;
        n *= 2;
    }
    return 2.0 * 3.14159265358979323846 * static_cast<double>(i) / static_cast<double>(n);
}
constexpr uint64_t kFftAngles = [] {
    uint64_t c = 0;
    for (uint64_t n = 8; n <= (uint64_t{1} << 20); n *= 2) c += n / 8 + 1;
    return c;
}();

template <double (*F)(double), int Range>
void Trig(uint64_t i, uint64_t& a, uint64_t& r) {
    double x = Range == 0   ? FftAngle(i)
               : Range == 1 ? Uniform(i, 16384.0)  // seconds times angular frequency
               : Range == 2 ? Uniform(i, 0.785398163397448)
                            : Uniform(i, 1.0e6);
    a = DoubleBits(x);
    r = DoubleBits(F(x));
}
double Sin(double x) {
    return std::sin(x);
}
double Cos(double x) {
    return std::cos(x);
}

void Log1p(uint64_t i, uint64_t& a, uint64_t& r) {
    double x = (i & 1) ? Uniform(i, 1.0e4) : Uniform(i, 1.0);
    a = DoubleBits(x);
    r = DoubleBits(std::log1p(x));
}

constexpr uint64_t kRandom = uint64_t{1} << 24;

const Set kSets[] = {
    {"expf-negative", 0, ExpfNeg},
    {"expf-positive", 0, ExpfPos},
    {"sin-fft-angles", kFftAngles, Trig<Sin, 0>},
    {"cos-fft-angles", kFftAngles, Trig<Cos, 0>},
    {"sin-0-16384", kRandom, Trig<Sin, 1>},
    {"cos-0-16384", kRandom, Trig<Cos, 1>},
    {"sin-0-pi/4", kRandom, Trig<Sin, 2>},
    {"cos-0-pi/4", kRandom, Trig<Cos, 2>},
    {"sin-0-1e6", kRandom, Trig<Sin, 3>},
    {"log1p", kRandom, Log1p},
};

uint64_t Count(const Set& s) {
    if (std::strcmp(s.name, "expf-negative") == 0) return uint64_t{kNegEnd} + 1;
    if (std::strcmp(s.name, "expf-positive") == 0) return uint64_t{kPosEnd} + 1;
    return s.count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--detail") == 0) {
        const uint64_t block = std::strtoull(argv[3], nullptr, 10);
        const uint64_t stride = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
        for (const Set& s : kSets) {
            if (std::strcmp(s.name, argv[2]) != 0) continue;
            const uint64_t end = Count(s);
            for (uint64_t i = block * kBlock; i < end && i < (block + 1) * kBlock; i += stride) {
                uint64_t a = 0, r = 0;
                s.eval(i, a, r);
                std::printf("%016" PRIx64 " %016" PRIx64 "\n", a, r);
            }
        }
        return 0;
    }
    if (argc >= 5 && std::strcmp(argv[1], "--dump") == 0) {
        const uint64_t stride = std::strtoull(argv[3], nullptr, 10);
        FILE* out = std::fopen(argv[4], "wb");
        if (out == nullptr || stride == 0) return 2;
        for (const Set& s : kSets) {
            if (std::strcmp(s.name, argv[2]) != 0) continue;
            const uint64_t end = Count(s);
            for (uint64_t i = 0; i < end; i += stride) {
                uint64_t pair[2];
                s.eval(i, pair[0], pair[1]);
                std::fwrite(pair, sizeof pair, 1, out);
            }
        }
        return std::fclose(out) == 0 ? 0 : 1;
    }
    const uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    if (stride == 0) return 2;
    for (const Set& s : kSets) {
        const uint64_t end = Count(s);
        for (uint64_t b = 0; b * kBlock < end; ++b) {
            uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a over argument and result bits
            uint64_t first = 0, last = 0;
            bool any = false;
            for (uint64_t i = b * kBlock; i < end && i < (b + 1) * kBlock; i += stride) {
                uint64_t a = 0, r = 0;
                s.eval(i, a, r);
                if (!any) first = a;
                last = a;
                any = true;
                for (int k = 0; k < 8; ++k) h = (h ^ ((a >> (8 * k)) & 0xff)) * 0x100000001b3ull;
                for (int k = 0; k < 8; ++k) h = (h ^ ((r >> (8 * k)) & 0xff)) * 0x100000001b3ull;
            }
            if (any)
                std::printf("%s %" PRIu64 " %016" PRIx64 "..%016" PRIx64 " %016" PRIx64 "\n",
                            s.name, b, first, last, h);
        }
    }
    return 0;
}
