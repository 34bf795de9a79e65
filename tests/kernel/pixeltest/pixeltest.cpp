// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The pixel self-test run inside the kernel: frames of several sizes and
 * alignments, every Bayer code, two sets of gains (one with the green
 * shortcut), corrected and measured by the fused pass, by the two passes and
 * by the copying correction, on the word variants (word statistics and table
 * walk) and on the vector variants (the AVX2 statistics with the table walk,
 * the AVX2 and, where the processor has it, the AVX-512 correction, and the
 * word statistics with the AVX2 correction; on arm64 the same with the NEON
 * statistics and correction), and the picture modes' count of bright bytes
 * on the measured frame; every result must equal the
 * word variants' two passes, byte for byte. Then once more on
 * the vector variants with the vector registers refused, which must fall
 * back to the word variants. Logs:
 *   QV pixels features F 0 0      the instruction sets the module may use
 *   QV pixels differ W H CODE     a case whose results differ (none expected)
 *   QV pixels cases N DIFFER 0    cases run, how many differed
 *   QV pixels chunks V W 0        vector sections run and refused (normal run)
 *   QV pixels fallback V W 0      the same for the run with the registers refused
 */
#include "pixeltest.h"
#include "AWB/AveragePixelValue.h"
#include "AWB/PictureCtrl.h"
#include "AWB/WhiteBalanceCtrl.h"
#include "AWB/pixel/PixelKernels.h"
#include "AWB/pixel/PixelTestHooks.h"
#include "AWB/platform.h"

namespace {

using quorvin_pixel::MapPath;
using quorvin_pixel::SumPath;

/* FNV-1a over bytes, to compare results without keeping copies. */
DWORD Hash(DWORD h, const BYTE* p, __SIZE_TYPE__ n) {
    for (__SIZE_TYPE__ i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

void Fill(BYTE* p, __SIZE_TYPE__ n, DWORD seed) {
    DWORD x = seed | 1;
    for (__SIZE_TYPE__ i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = static_cast<BYTE>(x >> 24);
    }
}

struct Case {
    DWORD w, h, offset;
    bool bLarge; /* one code and one set of gains only, and not with the
                  * registers refused: the emulated machine is slow, and the
                  * refused run holds off preemption throughout */
};

constexpr Case kCases[] = {{1920, 1080, 0, true}, {641, 479, 1, true}, {4097, 9, 3, false},
                           {100, 50, 0, false},   {130, 41, 2, false}, {3, 3, 0, false}};

/* The records, kept off the kernel stack (a white balance record is over a
 * kilobyte). */
struct Records {
    CWhiteBalanceCtrl wb;
    CAveragePixelValue stats;
};

struct Run {
    BYTE* pbyteBuf;  /* 4 + the largest frame */
    BYTE* pbyteCopy; /* the copy's destination */
    Records* pRecords;
    bool bSmallOnly;
    DWORD dwCases;
    DWORD dwDiffer;
};

/* The picture modes' count of the frame as the controllers take it: by the
 * selected statistics variant where it has a count, else in general
 * registers; a hash of its fields. */
DWORD HashClipCount(DWORD h, const CAveragePixelValue& stats, const Case& c, const BYTE* frame) {
    QuorvinClipCount count;
    if (!quorvin_pixel::CountClippedVector(&stats, c.w, c.h, frame, &count))
        CountClippedPixels(&stats, c.w, c.h, frame, &count);
    const DWORD fields[5] = {count.dwSampled, count.dwClipped, count.dwHigh, count.dwBright,
                             count.wClippedAreas};
    return Hash(h, reinterpret_cast<const BYTE*>(fields), sizeof fields);
}

/* The three ways on the selected variants: a hash of every result. */
DWORD ThreeWays(const Case& c, WORD code, const WORD gains[4], DWORD seed, Run& run) {
    const __SIZE_TYPE__ n = static_cast<__SIZE_TYPE__>(c.w) * c.h;
    BYTE* frame = run.pbyteBuf + c.offset;
    WORD g[4] = {gains[0], gains[1], gains[2], gains[3]};
    CWhiteBalanceCtrl& wb = run.pRecords->wb;
    CWhiteBalanceCtrl_init(&wb, g, QUORVIN_COLOR_ARRAY_RGGB);
    CAveragePixelValue& stats = run.pRecords->stats;
    CAveragePixelValue_init(&stats);
    DWORD h = 2166136261u;

    Fill(frame, n, seed);
    if (!quorvin_pixel::CorrectAndMeasure(&wb, &stats, c.w, c.h, code, frame))
        UpdateAverage(&stats, c.w, c.h, code, frame);
    h = Hash(Hash(h, frame, n), &stats.m_pbyteAverage[0][0], sizeof stats.m_pbyteAverage);
    h = HashClipCount(h, stats, c, frame);

    Fill(frame, n, seed);
    CAveragePixelValue_init(&stats);
    ImageProcessing(&wb, c.w, c.h, code, frame);
    UpdateAverage(&stats, c.w, c.h, code, frame);
    h = Hash(Hash(h, frame, n), &stats.m_pbyteAverage[0][0], sizeof stats.m_pbyteAverage);

    Fill(frame, n, seed);
    Fill(run.pbyteCopy, n, seed + 1);
    ImageCopyProcessing(&wb, c.w, c.h, code, frame, run.pbyteCopy);
    return Hash(h, run.pbyteCopy, n);
}

struct Paths {
    SumPath sum;
    MapPath map;
};

/* Every case on the word variants, then on each other pair: equal hashes. */
void RunAll(void* arg) {
    Run& run = *static_cast<Run*>(arg);
    const WORD gains[2][4] = {{230, 140, 150, 310}, {200, 128, 128, 260}};
    const Paths others[] = {
        {SumPath::kWord, MapPath::kAvx2Rule},   {SumPath::kAvx2, MapPath::kAvx2Rule},
        {SumPath::kAvx2, MapPath::kAvx512Rule}, {SumPath::kAvx2, MapPath::kTableWalk},
        {SumPath::kWord, MapPath::kNeonRule},   {SumPath::kNeon, MapPath::kNeonRule},
        {SumPath::kNeon, MapPath::kTableWalk}};
    DWORD seed = 1;
    for (const Case& c : kCases)
        for (WORD code = 2; code <= 5; ++code)
            for (const auto& g : gains) {
                ++seed;
                if (c.bLarge && (run.bSmallOnly || code != 2 || &g != gains))
                    continue;
                quorvin_pixel::SelectSumPath(SumPath::kWord);
                quorvin_pixel::SelectMapPath(MapPath::kTableWalk);
                const DWORD want = ThreeWays(c, code, g, seed, run);
                for (const Paths& p : others) {
                    if (!quorvin_pixel::SelectSumPath(p.sum) ||
                        !quorvin_pixel::SelectMapPath(p.map))
                        continue;
                    ++run.dwCases;
                    if (ThreeWays(c, code, g, seed, run) != want) {
                        ++run.dwDiffer;
                        qv_line("differ", c.w, c.h, code);
                    }
                }
            }
    quorvin_pixel::SelectSumPath(SumPath::kAuto);
    quorvin_pixel::SelectMapPath(MapPath::kAuto);
}

} // namespace

extern "C" void qv_pixeltest_run(void) {
    qv_line("features", quorvin_vector_features(), 0, 0);
    Run run{};
    const __SIZE_TYPE__ most = 1920u * 1080u + 8;
    run.pbyteBuf = static_cast<BYTE*>(qv_alloc(most));
    run.pbyteCopy = static_cast<BYTE*>(qv_alloc(most));
    run.pRecords = static_cast<Records*>(qv_alloc(sizeof(Records)));
    if (run.pbyteBuf == nullptr || run.pbyteCopy == nullptr || run.pRecords == nullptr) {
        qv_line("nomemory", 0, 0, 0);
    } else {
        const quorvin_pixel::VectorUse before = quorvin_pixel::VectorUseCounts();
        RunAll(&run);
        const quorvin_pixel::VectorUse mid = quorvin_pixel::VectorUseCounts();
        qv_line("chunks", mid.dwVectorChunks - before.dwVectorChunks,
                mid.dwWordChunks - before.dwWordChunks, 0);
        run.bSmallOnly = true;
        qv_without_vectors(RunAll, &run);
        const quorvin_pixel::VectorUse after = quorvin_pixel::VectorUseCounts();
        qv_line("fallback", after.dwVectorChunks - mid.dwVectorChunks,
                after.dwWordChunks - mid.dwWordChunks, 0);
        qv_line("cases", run.dwCases, run.dwDiffer, 0);
    }
    qv_free(run.pbyteBuf);
    qv_free(run.pbyteCopy);
    qv_free(run.pRecords);
}
