/*
 * Baseline sequential JPEG encoder (ITU-T T.81, JFIF 1.01): YCbCr 4:2:0, the example
 * quantisation and Huffman tables of Annex K, and the Arai-Agui-Nakajima (AAN) forward DCT
 * (Trans. IEICE E-71(11):1095, 1988; the flow graph of Pennebaker & Mitchell, Figure 4-8)
 * in 16-bit fixed point with the AAN output scale folded into the quantisation reciprocals.
 *
 * Trade-off: the fast DCT with 14-bit constants and saturating 16-bit arithmetic costs a
 * little precision against the exact transform of Annex A.3.3, in return for eight lanes per
 * SSE2 instruction; fixed tables (no optimised Huffman pass) let the file go out in a single
 * pass over 16-row bands, so memory stays at one band whatever the image size.
 */
#include "jpegencoder.h"

#include "bigimage.h"
#include "safeoutput.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

/* Output buffer: written out once it holds kFlushLevel bytes after a block. */
constexpr int kBufferSize = 4224;
constexpr int kFlushLevel = 4096;
/*
 * Most bytes one block can add: a 22-bit DC code plus 63 AC codes of at most 26 bits, plus
 * 63 bits still waiting in the accumulator, every byte possibly stuffed (F.1.2.3).
 */
constexpr int kMaxBlockBytes = 2 * ((22 + 63 * 26 + 63 + 7) / 8);
static_assert(kMaxBlockBytes < kBufferSize, "a block must fit into an emptied buffer");

/* Table K.1: luminance quantisation, natural (row-major) order. */
const uint8_t kLumaQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

/* Table K.2: chrominance quantisation, natural order. */
const uint8_t kChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

/* Figure A.6: natural-order position of the k-th coefficient of the zigzag sequence. */
const uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

/* Annex K.3: BITS (codes of each length 1..16) and HUFFVAL of the four typical tables. */
struct HuffDefinition {
    uint8_t classAndId; /* Tc << 4 | Th, as written into DHT */
    uint8_t bits[16];
    const uint8_t* values;
    int count;
};

const uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

/* Table K.5 */
const uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};

/* Table K.6 */
const uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};

/* DHT order: DC 0, AC 0, DC 1, AC 1 (Tables K.3, K.5, K.4, K.6). */
const HuffDefinition kHuffDefinitions[4] = {
    {0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, kDcValues, 12},
    {0x10, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}, kAcLumaValues, 162},
    {0x01, {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}, kDcValues, 12},
    {0x11, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}, kAcChromaValues, 162},
};

/* EHUFCO and EHUFSI of Annex C, indexed by symbol. */
struct HuffCodes {
    uint32_t code[256];
    uint8_t size[256];
};

/* The tables that do not depend on the quality, built once for every encoder. */
struct CodingTables {
    HuffCodes huff[4]; /* DC 0, AC 0, DC 1, AC 1 */
    /* For v in -2048..2047 at v + 2048: SSSS << 16 | the SSSS additional bits (Table F.1,
     * F.1.2.1.1: a negative value sends the low bits of v - 1). */
    uint32_t magnitude[4096];
};

HuffCodes buildHuffCodes(const HuffDefinition& def)
{
    HuffCodes t{};
    /* Figure C.1: the code length of each symbol in HUFFVAL order */
    uint8_t huffSize[257];
    int k = 0;
    for (int length = 1; length <= 16; ++length)
        for (int i = 0; i < def.bits[length - 1]; ++i)
            huffSize[k++] = uint8_t(length);
    huffSize[k] = 0;
    /* Figure C.2: the codes, counting up within a length and doubling between lengths */
    uint32_t huffCode[256];
    uint32_t code = 0;
    int size = huffSize[0];
    for (k = 0; huffSize[k] != 0;) {
        while (huffSize[k] == size)
            huffCode[k++] = code++;
        code <<= 1;
        ++size;
    }
    /* Figure C.3: reorder by symbol */
    for (k = 0; k < def.count; ++k) {
        t.code[def.values[k]] = huffCode[k];
        t.size[def.values[k]] = huffSize[k];
    }
    return t;
}

CodingTables buildCodingTables()
{
    CodingTables t;
    for (int i = 0; i < 4; ++i)
        t.huff[i] = buildHuffCodes(kHuffDefinitions[i]);
    for (int v = -2048; v < 2048; ++v) {
        const int a = v < 0 ? -v : v;
        int ssss = 0;
        while ((a >> ssss) != 0)
            ++ssss;
        const uint32_t bits = uint32_t(v < 0 ? v - 1 : v) & ((1u << ssss) - 1u);
        t.magnitude[v + 2048] = uint32_t(ssss) << 16 | bits;
    }
    return t;
}

const CodingTables& codingTables()
{
    static const CodingTables tables = buildCodingTables();
    return tables;
}

/*
 * Quantisation for one component. The DCT below leaves coefficient (u, v) scaled by
 * 8 s(u) s(v) with s(0) = 1, s(k) = sqrt(2) cos(k pi / 16); the reciprocal folds that in:
 * floor(16384 A(u, v) / q), A = 1 / (s(u) s(v)), so that ((c * r >> 16) + 1) >> 1 is c / (8 s s q)
 * rounded. Both arrays are in the DCT's output layout: index u * 8 + v for horizontal
 * frequency u and vertical frequency v (the transpose of the natural order).
 */
struct QuantTable {
    uint8_t step[64]; /* natural order, as in DQT before the zigzag */
    alignas(16) int16_t recip[64];
    alignas(16) int16_t limit[64]; /* largest magnitude the Huffman tables can code */
};

int qualityScale(int quality)
{
    if (quality < 25)
        return 200;
    if (quality < 50)
        return 5000 / quality;
    if (quality <= 95)
        return 200 - 2 * quality;
    return 10;
}

void buildQuantTable(QuantTable& t, const uint8_t* base, int quality)
{
    const int scale = qualityScale(quality);
    const double pi = std::acos(-1.0);
    double s[8];
    for (int k = 0; k < 8; ++k)
        s[k] = std::sqrt(2.0) * std::cos(k * pi / 16.0);
    s[0] = 1.0;
    s[4] = 1.0; /* exactly, so that 16384 / q stays exact on the axes */
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            const int n = row * 8 + col;
            const int q = std::max(1, scale * base[n] / 100);
            t.step[n] = uint8_t(std::min(q, 255));
            const double r = std::floor(16384.0 / (s[row] * s[col]) / t.step[n]);
            t.recip[col * 8 + row] = int16_t(std::min(r, 32767.0));
            t.limit[col * 8 + row] = n == 0 ? 2047 : 1023;
        }
}

/* ---- Forward DCT -------------------------------------------------------------------- */

/* Constants in units of 1/16384 */
constexpr int16_t kFix0707 = 11585; /* 0.707106781 */
constexpr int16_t kFix0382 = 6270;  /* 0.382683433 */
constexpr int16_t kFix0541 = 8867;  /* 0.541196100 */
constexpr int16_t kFix1306 = 21407; /* 1.306562965 */

/* One 16-bit value with saturating arithmetic: the scalar twin of a vector lane. */
struct Lane {
    int16_t v;
};

inline int16_t saturate16(int32_t x)
{
    return int16_t(std::max(-32768, std::min(32767, x)));
}
inline Lane operator+(Lane a, Lane b) { return {saturate16(int32_t(a.v) + b.v)}; }
inline Lane operator-(Lane a, Lane b) { return {saturate16(int32_t(a.v) - b.v)}; }
/* floor(x c / 16384), keeping the low 16 bits as the vector form does */
inline Lane mulFix(Lane a, int16_t c) { return {int16_t(uint16_t(uint32_t((int32_t(a.v) * c) >> 14)))}; }

#if defined(__SSE2__)
struct Lanes {
    __m128i v;
};
inline Lanes operator+(Lanes a, Lanes b) { return {_mm_adds_epi16(a.v, b.v)}; }
inline Lanes operator-(Lanes a, Lanes b) { return {_mm_subs_epi16(a.v, b.v)}; }
/* Bits 14..29 of the 32-bit product: the high half shifted up and the top two bits of the
 * low half, so no precision is lost and no intermediate overflows. */
inline Lanes mulFix(Lanes a, int16_t c)
{
    const __m128i k = _mm_set1_epi16(c);
    const __m128i hi = _mm_slli_epi16(_mm_mulhi_epi16(a.v, k), 2);
    const __m128i lo = _mm_srli_epi16(_mm_mullo_epi16(a.v, k), 14);
    return {_mm_or_si128(hi, lo)};
}
#endif

/*
 * One-dimensional AAN DCT of d[0..7] in place with 5 multiplications. Output k is
 * sqrt(8) s(k) times the orthonormal coefficient, so two passes give 8 s(u) s(v) F(u, v)
 * (F as in A.3.3), the scale the reciprocals remove. The same sequence of operations runs on
 * a scalar lane and on eight vector lanes, so both give the same bits.
 */
template <class V>
inline void aanForward(V* d)
{
    const V sum07 = d[0] + d[7], diff07 = d[0] - d[7];
    const V sum16 = d[1] + d[6], diff16 = d[1] - d[6];
    const V sum25 = d[2] + d[5], diff25 = d[2] - d[5];
    const V sum34 = d[3] + d[4], diff34 = d[3] - d[4];

    /* even part */
    const V e0 = sum07 + sum34, e3 = sum07 - sum34;
    const V e1 = sum16 + sum25, e2 = sum16 - sum25;
    d[0] = e0 + e1;
    d[4] = e0 - e1;
    const V rot = mulFix(e2 + e3, kFix0707);
    d[2] = e3 + rot;
    d[6] = e3 - rot;

    /* odd part: the rotation by pi/8 shares the product z5 */
    const V o0 = diff34 + diff25, o1 = diff25 + diff16, o2 = diff16 + diff07;
    const V z5 = mulFix(o0 - o2, kFix0382);
    const V z2 = mulFix(o0, kFix0541) + z5;
    const V z4 = mulFix(o2, kFix1306) + z5;
    const V z3 = mulFix(o1, kFix0707);
    const V z11 = diff07 + z3, z13 = diff07 - z3;
    d[5] = z13 + z2;
    d[3] = z13 - z2;
    d[1] = z11 + z4;
    d[7] = z11 - z4;
}

/*
 * 2-D DCT and quantisation of one block of level-shifted samples (row-major, in). The
 * vertical pass runs first, then a transpose, then the horizontal pass, so the result
 * comes out transposed: out[u * 8 + v], u horizontal and v vertical frequency.
 */
#if defined(__SSE2__)
inline void transpose8(__m128i* r)
{
    const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    r[0] = _mm_unpacklo_epi64(u0, u4);
    r[1] = _mm_unpackhi_epi64(u0, u4);
    r[2] = _mm_unpacklo_epi64(u1, u5);
    r[3] = _mm_unpackhi_epi64(u1, u5);
    r[4] = _mm_unpacklo_epi64(u2, u6);
    r[5] = _mm_unpackhi_epi64(u2, u6);
    r[6] = _mm_unpacklo_epi64(u3, u7);
    r[7] = _mm_unpackhi_epi64(u3, u7);
}

void forwardDctQuantise(const int16_t* in, const QuantTable& qt, int16_t* out)
{
    Lanes d[8];
    for (int i = 0; i < 8; ++i)
        d[i].v = _mm_load_si128(reinterpret_cast<const __m128i*>(in + i * 8));
    aanForward(d);
    __m128i r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = d[i].v;
    transpose8(r);
    for (int i = 0; i < 8; ++i)
        d[i].v = r[i];
    aanForward(d);
    /* Quantisation: ((c * recip >> 16) + 1) >> 1, kept within what the tables can code */
    const __m128i one = _mm_set1_epi16(1);
    for (int i = 0; i < 8; ++i) {
        const __m128i recip = _mm_load_si128(reinterpret_cast<const __m128i*>(qt.recip + i * 8));
        const __m128i limit = _mm_load_si128(reinterpret_cast<const __m128i*>(qt.limit + i * 8));
        __m128i c = _mm_srai_epi16(_mm_adds_epi16(_mm_mulhi_epi16(d[i].v, recip), one), 1);
        c = _mm_max_epi16(_mm_min_epi16(c, limit), _mm_sub_epi16(_mm_setzero_si128(), limit));
        _mm_store_si128(reinterpret_cast<__m128i*>(out + i * 8), c);
    }
}
#else
void forwardDctQuantise(const int16_t* in, const QuantTable& qt, int16_t* out)
{
    Lane vert[64]; /* vert[v * 8 + x]: vertical frequency v of column x */
    for (int x = 0; x < 8; ++x) {
        Lane d[8];
        for (int y = 0; y < 8; ++y)
            d[y].v = in[y * 8 + x];
        aanForward(d);
        for (int v = 0; v < 8; ++v)
            vert[v * 8 + x] = d[v];
    }
    for (int v = 0; v < 8; ++v) {
        Lane d[8];
        for (int x = 0; x < 8; ++x)
            d[x] = vert[v * 8 + x];
        aanForward(d);
        for (int u = 0; u < 8; ++u) {
            const int n = u * 8 + v;
            const int16_t scaled = int16_t((int32_t(d[u].v) * qt.recip[n]) >> 16);
            const int16_t c = int16_t(saturate16(int32_t(scaled) + 1) >> 1);
            out[n] = std::max<int16_t>(int16_t(-qt.limit[n]), std::min<int16_t>(c, qt.limit[n]));
        }
    }
}
#endif

/* ---- Colour conversion -------------------------------------------------------------- */

/*
 * JFIF YCbCr with the BT.601 weights in units of 1/65536, rounded, level-shifted by 128
 * (A.3.1). Y = (19595 R + 38470 G + 7471 B) / 65536 - 128; chroma from the rounded-up
 * average of each 2 x 2 group: Cb = (-11059 R - 21709 G + 32768 B) / 65536,
 * Cr = (32768 R - 27439 G - 5329 B) / 65536.
 */
constexpr int32_t kRound = 32768;
constexpr int32_t kLumaBias = kRound - 128 * 65536;

/*
 * The band in planar form: three planes of 16 rows of the padded width, one byte per
 * sample. The MCU loop then reads 16 samples of a channel with one load.
 */
struct Band {
    int stride = 0; /* padded width, a multiple of 16 */
    std::vector<uint8_t> planes;
    const uint8_t* plane(int c) const { return planes.data() + size_t(c) * 16 * size_t(stride); }
    uint8_t* plane(int c) { return planes.data() + size_t(c) * 16 * size_t(stride); }
};

#if defined(__SSE2__)
/*
 * One perfect shuffle of 48 bytes held in a, b, c: byte k of the first half and byte k of
 * the second half become neighbours, so position p moves to 2p mod 47. Four of them move
 * 3i + ch to 16 ch + i (2^4 = 16 is the inverse of 3 mod 47): 16 interleaved pixels become
 * 16 R, 16 G and 16 B.
 */
inline void perfectShuffle(__m128i& a, __m128i& b, __m128i& c)
{
    const __m128i lo = _mm_unpacklo_epi8(a, _mm_srli_si128(b, 8));
    const __m128i mid = _mm_unpackhi_epi8(a, _mm_slli_si128(c, 8));
    const __m128i hi = _mm_unpacklo_epi8(b, _mm_srli_si128(c, 8));
    a = lo;
    b = mid;
    c = hi;
}
#endif

/* One image row into row `row` of the band, split into channels. */
void splitRow(const uint8_t* src, int width, Band& band, int row)
{
    const size_t at = size_t(row) * size_t(band.stride);
    uint8_t* r = band.plane(0) + at;
    uint8_t* g = band.plane(1) + at;
    uint8_t* b = band.plane(2) + at;
    int x = 0;
#if defined(__SSE2__)
    for (; x + 16 <= width; x += 16) {
        const uint8_t* p = src + 3 * size_t(x);
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        for (int i = 0; i < 4; ++i)
            perfectShuffle(v0, v1, v2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), v0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), v1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), v2);
    }
#endif
    for (; x < width; ++x) {
        r[x] = src[3 * x];
        g[x] = src[3 * x + 1];
        b[x] = src[3 * x + 2];
    }
}

/*
 * Padding of the MCUs beyond the image (A.2.4 leaves its content to the encoder): the last
 * column and the last row are repeated. A constant grey would be averaged into the chroma
 * of the last column and row of an odd-sized image, and stale rows of the band before
 * into the chroma of the last row, both visibly discolouring the image's edge.
 */
void padRight(Band& band, int width, int row)
{
    if (width >= band.stride)
        return;
    for (int c = 0; c < 3; ++c) {
        uint8_t* line = band.plane(c) + size_t(row) * size_t(band.stride);
        std::memset(line + width, line[width - 1], size_t(band.stride - width));
    }
}

void padBelow(Band& band, int lastRow)
{
    for (int c = 0; c < 3; ++c) {
        const uint8_t* source = band.plane(c) + size_t(lastRow) * size_t(band.stride);
        for (int r = lastRow + 1; r < 16; ++r)
            std::memcpy(band.plane(c) + size_t(r) * size_t(band.stride), source, size_t(band.stride));
    }
}

/* blocks: four Y blocks (top left, top right, bottom left, bottom right), Cb, Cr. */
#if defined(__SSE2__)
inline __m128i pairConstant(int16_t even, int16_t odd)
{
    return _mm_set1_epi32(int32_t(uint32_t(uint16_t(odd)) << 16 | uint16_t(even)));
}

/* madd sums the products of neighbouring lanes: interleaving R with G and G with B splits
 * the 38470 of G (too large for a signed lane) into two halves of 19235. */
inline __m128i lumaRow(__m128i r, __m128i g, __m128i b)
{
    const __m128i kRG = pairConstant(19595, 19235), kGB = pairConstant(19235, 7471);
    const __m128i bias = _mm_set1_epi32(kLumaBias);
    __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(r, g), kRG),
                               _mm_madd_epi16(_mm_unpacklo_epi16(g, b), kGB));
    __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(r, g), kRG),
                               _mm_madd_epi16(_mm_unpackhi_epi16(g, b), kGB));
    lo = _mm_srai_epi32(_mm_add_epi32(lo, bias), 16);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, bias), 16);
    return _mm_packs_epi32(lo, hi);
}

/* a * ka + b * kb + 32768 >> 16 on eight lanes */
inline __m128i weighted(__m128i a, __m128i b, __m128i kab, __m128i c, __m128i d, __m128i kcd)
{
    const __m128i round = _mm_set1_epi32(kRound);
    __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), kab),
                               _mm_madd_epi16(_mm_unpacklo_epi16(c, d), kcd));
    __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), kab),
                               _mm_madd_epi16(_mm_unpackhi_epi16(c, d), kcd));
    lo = _mm_srai_epi32(_mm_add_epi32(lo, round), 16);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, round), 16);
    return _mm_packs_epi32(lo, hi);
}

/* Two rows of 16 samples (16-bit, left and right halves) to 8 averages, rounding up. */
inline __m128i average2x2(__m128i top0, __m128i top1, __m128i bottom0, __m128i bottom1)
{
    const __m128i ones = _mm_set1_epi16(1), two = _mm_set1_epi32(2);
    const __m128i lo = _mm_madd_epi16(_mm_add_epi16(top0, bottom0), ones);
    const __m128i hi = _mm_madd_epi16(_mm_add_epi16(top1, bottom1), ones);
    return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, two), 2), _mm_srai_epi32(_mm_add_epi32(hi, two), 2));
}

void convertMcu(const Band& band, int x0, int16_t (*blocks)[64])
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i kCbRG = pairConstant(-11059, -21709), kHalf = pairConstant(16384, 16384);
    const __m128i kCrGB = pairConstant(-27439, -5329);
    __m128i prev[6] = {};
    for (int y = 0; y < 16; ++y) {
        const size_t at = size_t(y) * size_t(band.stride) + size_t(x0);
        const __m128i r8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(band.plane(0) + at));
        const __m128i g8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(band.plane(1) + at));
        const __m128i b8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(band.plane(2) + at));
        const __m128i rgb[6] = {_mm_unpacklo_epi8(r8, zero), _mm_unpackhi_epi8(r8, zero),
                                _mm_unpacklo_epi8(g8, zero), _mm_unpackhi_epi8(g8, zero),
                                _mm_unpacklo_epi8(b8, zero), _mm_unpackhi_epi8(b8, zero)};
        int16_t* left = blocks[(y >> 3) * 2] + (y & 7) * 8;
        int16_t* right = blocks[(y >> 3) * 2 + 1] + (y & 7) * 8;
        _mm_store_si128(reinterpret_cast<__m128i*>(left), lumaRow(rgb[0], rgb[2], rgb[4]));
        _mm_store_si128(reinterpret_cast<__m128i*>(right), lumaRow(rgb[1], rgb[3], rgb[5]));
        if ((y & 1) == 0) {
            std::copy(rgb, rgb + 6, prev);
            continue;
        }
        const __m128i r = average2x2(prev[0], prev[1], rgb[0], rgb[1]);
        const __m128i g = average2x2(prev[2], prev[3], rgb[2], rgb[3]);
        const __m128i b = average2x2(prev[4], prev[5], rgb[4], rgb[5]);
        const int row = (y >> 1) * 8;
        _mm_store_si128(reinterpret_cast<__m128i*>(blocks[4] + row), weighted(r, g, kCbRG, b, b, kHalf));
        _mm_store_si128(reinterpret_cast<__m128i*>(blocks[5] + row), weighted(r, r, kHalf, g, b, kCrGB));
    }
}
#else
void convertMcu(const Band& band, int x0, int16_t (*blocks)[64])
{
    const uint8_t* planeR = band.plane(0);
    const uint8_t* planeG = band.plane(1);
    const uint8_t* planeB = band.plane(2);
    for (int y = 0; y < 16; ++y) {
        const size_t at = size_t(y) * size_t(band.stride) + size_t(x0);
        for (int x = 0; x < 16; ++x) {
            const int32_t r = planeR[at + x], g = planeG[at + x], b = planeB[at + x];
            blocks[(y >> 3) * 2 + (x >> 3)][(y & 7) * 8 + (x & 7)] =
                int16_t((19595 * r + 38470 * g + 7471 * b + kLumaBias) >> 16);
        }
    }
    for (int cy = 0; cy < 8; ++cy)
        for (int cx = 0; cx < 8; ++cx) {
            const size_t at = size_t(2 * cy) * size_t(band.stride) + size_t(x0 + 2 * cx);
            const size_t below = at + size_t(band.stride);
            auto average = [&](const uint8_t* p) {
                return (int32_t(p[at]) + p[at + 1] + p[below] + p[below + 1] + 2) >> 2;
            };
            const int32_t r = average(planeR), g = average(planeG), b = average(planeB);
            blocks[4][cy * 8 + cx] = int16_t((-11059 * r - 21709 * g + 32768 * b + kRound) >> 16);
            blocks[5][cy * 8 + cx] = int16_t((32768 * r - 27439 * g - 5329 * b + kRound) >> 16);
        }
}
#endif

/* ---- Entropy coding ----------------------------------------------------------------- */

inline int lowestBit(uint64_t m)
{
#if defined(__GNUC__)
    return __builtin_ctzll(m);
#else
    int n = 0;
    while ((m & 1u) == 0) {
        m >>= 1;
        ++n;
    }
    return n;
#endif
}

/* True if any of the eight bytes is 0xFF: a zero byte in the complement. */
inline bool hasFFByte(uint64_t v)
{
    const uint64_t n = ~v;
    return ((n - 0x0101010101010101ull) & ~n & 0x8080808080808080ull) != 0;
}

/*
 * Bits go into a 64-bit accumulator most significant first and leave it eight bytes at a
 * time; only when one of them is 0xFF are they written one by one to stuff the 0x00 of
 * F.1.2.3 behind it.
 */
struct BitWriter {
    uint64_t acc = 0;
    int freeBits = 64;
    uint8_t* out = nullptr;

    inline void emitWord(uint64_t v)
    {
        if (!hasFFByte(v)) {
            for (int shift = 56; shift >= 0; shift -= 8)
                *out++ = uint8_t(v >> shift);
            return;
        }
        for (int shift = 56; shift >= 0; shift -= 8) {
            const uint8_t b = uint8_t(v >> shift);
            *out++ = b;
            if (b == 0xFF)
                *out++ = 0;
        }
    }

    /* length 1..32, code right-aligned with nothing above its length */
    inline void put(uint32_t code, int length)
    {
        if (length < freeBits) {
            acc = (acc << length) | code;
            freeBits -= length;
            return;
        }
        const int rest = length - freeBits;
        acc = (acc << freeBits) | (uint64_t(code) >> rest);
        emitWord(acc);
        /* the bits already sent stay above and are shifted out before the next word */
        acc = code;
        freeBits = 64 - rest;
    }

    /* The last partial byte is filled with 1-bits (F.1.2.3), then every whole byte goes out. */
    void finish()
    {
        int used = 64 - freeBits;
        const int pad = (8 - used % 8) % 8;
        acc = (acc << pad) | ((1u << pad) - 1u);
        used += pad;
        for (int shift = used - 8; shift >= 0; shift -= 8) {
            const uint8_t b = uint8_t(acc >> shift);
            *out++ = b;
            if (b == 0xFF)
                *out++ = 0;
        }
        acc = 0;
        freeBits = 64;
    }
};

/*
 * One block, coefficients in zigzag order with a bit set in nonzero for every non-zero one.
 * The DC difference as in F.1.2.1; the AC coefficients as in F.1.2.2 (Figure F.2), a ZRL
 * for every 16 zeros before a coefficient and an EOB after the last one.
 */
inline void encodeBlock(BitWriter& bw, const int16_t* zz, uint64_t nonzero, int dcDiff, const HuffCodes& dc,
                        const HuffCodes& ac, const uint32_t* magnitude)
{
    uint32_t m = magnitude[dcDiff + 2048];
    int ssss = int(m >> 16);
    bw.put(dc.code[ssss] << ssss | (m & 0xFFFFu), dc.size[ssss] + ssss);

    uint64_t rest = nonzero & ~uint64_t(1);
    int last = 0;
    while (rest != 0) {
        const int k = lowestBit(rest);
        int run = k - last - 1;
        while (run >= 16) {
            bw.put(ac.code[0xF0], ac.size[0xF0]);
            run -= 16;
        }
        m = magnitude[zz[k] + 2048];
        ssss = int(m >> 16);
        const int rs = run << 4 | ssss;
        bw.put(ac.code[rs] << ssss | (m & 0xFFFFu), ac.size[rs] + ssss);
        last = k;
        rest &= rest - 1;
    }
    if (last != 63)
        bw.put(ac.code[0x00], ac.size[0x00]);
}

/* Zigzag reordering of a block in the DCT's transposed layout, and the mask of its
 * non-zero coefficients (bit k for zigzag position k). */
struct ZigzagOrder {
    uint8_t from[64];
    ZigzagOrder()
    {
        for (int k = 0; k < 64; ++k)
            from[k] = uint8_t((kZigzag[k] % 8) * 8 + kZigzag[k] / 8);
    }
};

inline uint64_t toZigzag(const int16_t* coef, int16_t* zz, const ZigzagOrder& order)
{
    for (int k = 0; k < 64; ++k)
        zz[k] = coef[order.from[k]];
#if defined(__SSE2__)
    uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(zz + 16 * i));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(zz + 16 * i + 8));
        const int zeros = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_packs_epi16(a, b), zero));
        mask |= uint64_t(~zeros & 0xFFFF) << (16 * i);
    }
    return mask;
#else
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k)
        if (zz[k] != 0)
            mask |= uint64_t(1) << k;
    return mask;
#endif
}

bool validParams(const JpegParams& p)
{
    return p.pixels != nullptr && p.width > 0 && p.height > 0 && p.width <= kMaxJpegSide && p.height <= kMaxJpegSide;
}

} // namespace

struct JpegEncoder::State {
    JpegParams params;
    QString fileName;
    std::unique_ptr<SafeOutput> target; // a failed encode leaves the old file as it was
    FILE* outfile = nullptr;
    bool ok = true; /* every fwrite so far succeeded */

    const CodingTables& coding = codingTables();
    ZigzagOrder zigzag;
    QuantTable quant[2]; /* luminance, chrominance */

    alignas(16) uint8_t buffer[kBufferSize];
    int bytesInBuffer = 0;
    BitWriter bits;
    int16_t lastDc[3] = {0, 0, 0};
    Band band;

    bool flush()
    {
        if (bytesInBuffer > 0 && ok)
            ok = std::fwrite(buffer, 1, size_t(bytesInBuffer), outfile) == size_t(bytesInBuffer);
        bytesInBuffer = 0;
        return ok;
    }

    /* flush() for the bytes the bit writer has put behind the buffer's fill level */
    void flushBits()
    {
        bytesInBuffer = int(bits.out - buffer);
        flush();
        bits.out = buffer;
    }

    void putBytes(const uint8_t* data, int count)
    {
        while (count > 0) {
            if (bytesInBuffer == kBufferSize)
                flush();
            const int n = std::min(count, kBufferSize - bytesInBuffer);
            std::memcpy(buffer + bytesInBuffer, data, size_t(n));
            bytesInBuffer += n;
            data += n;
            count -= n;
        }
    }

    void putByte(int b)
    {
        const uint8_t byte = uint8_t(b);
        putBytes(&byte, 1);
    }

    void put16(int v)
    {
        putByte(v >> 8);
        putByte(v & 0xFF);
    }

    void marker(int code)
    {
        putByte(0xFF);
        putByte(code);
    }

    void writeHeader();
    void encodeBand();
    void encodeMcu(int x0);
    bool run();
};

/* Table B.1 markers and the segments of B.2.2 to B.2.4, with the JFIF APP0 in front. */
void JpegEncoder::State::writeHeader()
{
    marker(0xD8); /* SOI */

    /* APP0, JFIF 1.01, density in dots per inch, no thumbnail */
    const int density = std::max(1, std::min(65535, int(params.density)));
    marker(0xE0);
    put16(16);
    putBytes(reinterpret_cast<const uint8_t*>("JFIF"), 5);
    putByte(1);
    putByte(1);
    putByte(1);
    put16(density);
    put16(density);
    putByte(0);
    putByte(0);

    /* B.2.4.1: one DQT per table, 8-bit precision, values in zigzag order */
    for (int id = 0; id < 2; ++id) {
        marker(0xDB);
        put16(67);
        putByte(id);
        for (int k = 0; k < 64; ++k)
            putByte(quant[id].step[kZigzag[k]]);
    }

    /* B.2.2: SOF0 baseline, Y sampled 2 x 2 with table 0, Cb and Cr 1 x 1 with table 1 */
    marker(0xC0);
    put16(17);
    putByte(8);
    put16(params.height);
    put16(params.width);
    putByte(3);
    const uint8_t components[9] = {1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    putBytes(components, 9);

    /* B.2.4.6: APP12 carries the comment text */
    const int commentLength = std::min(int(params.comment.size()), kMaxJpegComment);
    if (commentLength > 0) {
        marker(0xEC);
        put16(commentLength + 2);
        putBytes(reinterpret_cast<const uint8_t*>(params.comment.constData()), commentLength);
    }

    /* B.2.4.2: one DHT per table, Annex K.3 */
    for (const HuffDefinition& def : kHuffDefinitions) {
        marker(0xC4);
        put16(19 + def.count);
        putByte(def.classAndId);
        putBytes(def.bits, 16);
        putBytes(def.values, def.count);
    }

    /* B.2.3: SOS with all three components, Ss 0, Se 63, Ah Al 0 */
    marker(0xDA);
    put16(12);
    putByte(3);
    const uint8_t selectors[6] = {1, 0x00, 2, 0x11, 3, 0x11};
    putBytes(selectors, 6);
    putByte(0);
    putByte(63);
    putByte(0);
}

void JpegEncoder::State::encodeMcu(int x0)
{
    alignas(16) int16_t samples[6][64];
    alignas(16) int16_t coef[64];
    alignas(16) int16_t zz[64];
    convertMcu(band, x0, samples);

    bits.out = buffer + bytesInBuffer;
    for (int i = 0; i < 6; ++i) {
        const int component = i < 4 ? 0 : i - 3;
        const int table = component == 0 ? 0 : 1;
        forwardDctQuantise(samples[i], quant[table], coef);
        const uint64_t nonzero = toZigzag(coef, zz, zigzag);
        /* the DC stays within -1024..1024, so the difference always has a category */
        const int diff = std::max(-2047, std::min(2047, zz[0] - lastDc[component]));
        lastDc[component] = zz[0];
        if (bits.out - buffer > kBufferSize - kMaxBlockBytes)
            flushBits();
        encodeBlock(bits, zz, nonzero, diff, coding.huff[2 * table], coding.huff[2 * table + 1], coding.magnitude);
        if (bits.out - buffer >= kFlushLevel)
            flushBits();
    }
    bytesInBuffer = int(bits.out - buffer);
}

void JpegEncoder::State::encodeBand()
{
    for (int x0 = 0; x0 < band.stride && ok; x0 += 16)
        encodeMcu(x0);
}

bool JpegEncoder::State::run()
{
    const int width = params.width, height = params.height;
    band.stride = (width + 15) / 16 * 16;
    band.planes.assign(size_t(band.stride) * 16 * 3, uint8_t(128));
    writeHeader();

    const size_t rowBytes = size_t(width) * 3;
    for (int y = 0; y < height && ok; ++y) {
        splitRow(params.pixels + size_t(y) * rowBytes, width, band, y & 15);
        padRight(band, width, y & 15);
        if ((y & 15) == 15)
            encodeBand();
    }
    /* A partial last band: the last row repeated below it, as at the right edge. */
    if ((height & 15) != 0 && ok) {
        padBelow(band, (height - 1) & 15);
        encodeBand();
    }

    bits.out = buffer + bytesInBuffer;
    bits.finish();
    bytesInBuffer = int(bits.out - buffer);
    marker(0xD9); /* EOI */
    flush();
    band.planes = std::vector<uint8_t>();
    return ok;
}

JpegEncoder::JpegEncoder(const JpegParams& params, const QString& fileName) : stat_(new State)
{
    State& s = *stat_;
    s.params = params;
    s.fileName = fileName;
    if (!validParams(params))
        return;
    buildQuantTable(s.quant[0], kLumaQuant, params.quality);
    buildQuantTable(s.quant[1], kChromaQuant, params.quality);
    s.target = std::make_unique<SafeOutput>(fileName);
    if (s.target->ok())
        s.outfile = std::fopen(QFile::encodeName(s.target->path()).constData(), "wb");
}

JpegEncoder::~JpegEncoder()
{
    if (stat_->outfile != nullptr)
        std::fclose(stat_->outfile);
}

bool JpegEncoder::isOpen() const
{
    return stat_->outfile != nullptr;
}

bool JpegEncoder::encode()
{
    State& s = *stat_;
    if (s.outfile == nullptr)
        return false;
    bool ok = false;
    try {
        ok = s.run();
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    ok = std::fclose(s.outfile) == 0 && ok;
    s.outfile = nullptr;
    s.params = JpegParams();
    return ok && s.target->commit();
}

bool writeJpeg(const BigImage& image, const QString& fileName, int quality, const QByteArray& comment,
               int densityDpi)
{
    JpegParams params;
    params.width = image.width();
    params.height = image.height();
    params.quality = quality;
    params.comment = comment;
    params.density = densityDpi;
    params.pixels = reinterpret_cast<const uint8_t*>(image.data());
    JpegEncoder encoder(params, fileName);
    return encoder.encode();
}
