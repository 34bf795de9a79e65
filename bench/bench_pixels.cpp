// SPDX-License-Identifier: GPL-2.0 OR MIT
// Per-frame cost of the module's pixel passes beside what the memory allows.
//
// Every figure is measured at 640x480, 1920x1080 and 3840x2160, in cache (one
// frame, used over and over) and out of cache (a pool of frames larger than
// the last-level cache, one frame after the other). Beside the module's
// passes the same run measures the baselines the ratios are taken against:
// streaming reads of the frame (64-bit words; 32- and 64-byte vectors), an
// in-place 64-bit read-modify-write pass, memcpy, and the plain pair loops of
// the statistics and of the table correction.
//
// Names: <what>.<variant>/<width>x<height>/<in|out>. scripts/bench.sh runs this
// and prints the ratios. Built twice, with the same variants: quorvin-bench
// (the user-space library as built) and quorvin-bench-kernel (the core
// compiled as the kernel compiles it, general registers only but for its
// vector variants). Frame.ImageBalance.vector is the automatic
// choice, Frame.ImageBalance.word the word variants alone (what the kernel
// runs where it cannot lend vector registers).
#include <AWB/AWB.h>
#include <AWB/pixel/PixelTestHooks.h>
#include <benchmark/benchmark.h>
#include <tests/support/quorvin_camera.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using quorvin_pixel::MapPath;
using quorvin_pixel::SumPath;

struct Size {
    DWORD w, h;
};
const Size kSizes[] = {{640, 480}, {1920, 1080}, {3840, 2160}};

// Bytes of frames the out-of-cache pool holds at least; far above the
// last-level cache of the machines this runs on. QUORVIN_BENCH_POOL_MB
// overrides it.
size_t PoolBytes() {
    const char* env = std::getenv("QUORVIN_BENCH_POOL_MB");
    const size_t mb = env != nullptr ? std::strtoul(env, nullptr, 10) : 512;
    return (mb == 0 ? 512 : mb) << 20;
}

// Frames of one size, 64-byte aligned, filled with a Bayer-like pattern and
// touched once, so that no page fault falls in the timed loop.
class Frames {
public:
    Frames(Size size, bool outOfCache) : m_bytes(size_t{size.w} * size.h) {
        size_t count = 1;
        if (outOfCache)
            count = std::max<size_t>(2, (PoolBytes() + m_bytes - 1) / m_bytes);
        const size_t stride = (m_bytes + 63) & ~size_t{63};
        m_storage = static_cast<BYTE*>(std::aligned_alloc(64, stride * count));
        for (size_t i = 0; i < count; ++i) {
            BYTE* f = m_storage + i * stride;
            for (size_t k = 0; k < m_bytes; ++k)
                f[k] = static_cast<BYTE>((k * 2654435761u >> 13) ^ (k % size.w));
            m_frames.push_back(f);
        }
    }
    ~Frames() { std::free(m_storage); }
    Frames(const Frames&) = delete;
    Frames& operator=(const Frames&) = delete;
    BYTE* Next() {
        BYTE* f = m_frames[m_next];
        m_next = m_next + 1 == m_frames.size() ? 0 : m_next + 1;
        return f;
    }
    size_t Bytes() const { return m_bytes; }

private:
    size_t m_bytes;
    BYTE* m_storage = nullptr;
    std::vector<BYTE*> m_frames;
    size_t m_next = 0;
};

// One pool of frames per size, place and slot (slot 1: the destinations of
// the copying passes), built once and shared by every figure and repetition,
// so that repeated, interleaved runs do not rebuild hundreds of megabytes.
Frames& SharedFrames(Size size, bool outOfCache, int slot = 0) {
    static std::map<std::tuple<DWORD, DWORD, bool, int>, std::unique_ptr<Frames>> pools;
    std::unique_ptr<Frames>& pool = pools[std::make_tuple(size.w, size.h, outOfCache, slot)];
    if (!pool)
        pool = std::make_unique<Frames>(size, outOfCache);
    return *pool;
}

// ---- Baselines -----------------------------------------------------------
// Scalar loops are compiled without auto-vectorisation (bench/CMakeLists.txt),
// so that "64-bit" and "plain" mean what the kernel would run.

uint64_t ReadWords(const BYTE* p, size_t n) {
    uint64_t a = 0, b = 0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t w0, w1;
        std::memcpy(&w0, p + i, 8);
        std::memcpy(&w1, p + i + 8, 8);
        a += w0;
        b += w1;
    }
    return a + b;
}

#if defined(__x86_64__) || defined(__i386__)
typedef uint64_t V4u64 __attribute__((vector_size(32)));
typedef uint64_t V8u64 __attribute__((vector_size(64)));

// The vector read: two accumulators of vector type V, two vectors a step. It
// is inlined into the wrappers below, which compile it for their instruction
// set.
template <class V>
__attribute__((always_inline)) inline uint64_t ReadVectors(const BYTE* p, size_t n) {
    constexpr size_t kBytes = sizeof(V);
    V a = {}, b = {};
    for (size_t i = 0; i + 2 * kBytes <= n; i += 2 * kBytes) {
        V v0, v1;
        std::memcpy(&v0, p + i, kBytes);
        std::memcpy(&v1, p + i + kBytes, kBytes);
        a += v0;
        b += v1;
    }
    a += b;
    uint64_t s = 0;
    for (size_t k = 0; k < kBytes / 8; ++k)
        s += a[k];
    return s;
}

__attribute__((target("avx2"))) uint64_t ReadAvx2(const BYTE* p, size_t n) {
    return ReadVectors<V4u64>(p, n);
}

__attribute__((target("avx512f"))) uint64_t ReadAvx512(const BYTE* p, size_t n) {
    return ReadVectors<V8u64>(p, n);
}
#endif

void RmwWords(BYTE* p, size_t n) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= 0x0101010101010101ull;
        std::memcpy(p + i, &w, 8);
    }
}

// The statistics' plain pair loop over a whole frame, as the module first
// had it: per row and area column, pairs into two sums.
void PlainPairLoop(const CAveragePixelValue& geometry, const BYTE* raw, DWORD width,
                   DWORD sums[16][4]) {
    const BYTE* row = raw;
    DWORD y = 0;
    for (DWORD r = 0; r < 4; ++r) {
        for (; y < geometry.m_pdwImagePosY[r]; ++y) {
            const DWORD yColor = 2 * (y & 1);
            DWORD x0 = 0;
            for (DWORD i = 0; i < 4; ++i) {
                const DWORD x1 = geometry.m_pdwImagePosX[i];
                const BYTE* p = row + x0;
                DWORD s0 = 0, s1 = 0;
                for (DWORD k = 0; k < (x1 - x0) / 2; ++k) {
                    s0 += p[0];
                    s1 += p[1];
                    p += 2;
                }
                if ((x1 - x0) & 1)
                    s0 += p[0];
                sums[4 * r + i][yColor + (x0 & 1)] += s0;
                sums[4 * r + i][yColor + ((x0 + 1) & 1)] += s1;
                x0 = x1;
            }
            row += width;
        }
    }
}

// The correction's plain table walk, byte by byte; green: red and blue only.
void PlainWalk(const CWhiteBalanceCtrl& wb, DWORD w, DWORD h, BYTE* raw, bool green) {
    const BYTE(*t)[256] = wb.m_ppbyteTable;
    for (DWORD y = 0; y + 1 < h; y += 2) {
        BYTE* even = raw + size_t{y} * w;
        BYTE* odd = even + w;
        if (green) {
            for (DWORD k = 0; k < w / 2; ++k) {
                even[2 * k] = t[0][even[2 * k]];
                odd[2 * k + 1] = t[3][odd[2 * k + 1]];
            }
        } else {
            for (DWORD k = 0; k < w / 2; ++k) {
                even[2 * k] = t[0][even[2 * k]];
                even[2 * k + 1] = t[1][even[2 * k + 1]];
            }
            for (DWORD k = 0; k < w / 2; ++k) {
                odd[2 * k] = t[2][odd[2 * k]];
                odd[2 * k + 1] = t[3][odd[2 * k + 1]];
            }
        }
    }
}

void PlainCopyWalk(const CWhiteBalanceCtrl& wb, DWORD w, DWORD h, const BYTE* src, BYTE* dst) {
    const BYTE(*t)[256] = wb.m_ppbyteTable;
    for (DWORD y = 0; y + 1 < h; ++y) {
        const DWORD c = 2 * (y & 1);
        const BYTE* s = src + size_t{y} * w;
        BYTE* d = dst + size_t{y} * w;
        for (DWORD k = 0; k < w / 2; ++k) {
            d[2 * k] = t[c][s[2 * k]];
            d[2 * k + 1] = t[c + 1][s[2 * k + 1]];
        }
    }
}

// ---- Module state --------------------------------------------------------

// Gains of a typical white balance: red and blue away from unity; greens at
// unity (green shortcut) or not.
CWhiteBalanceCtrl Controller(bool greenAtUnity) {
    WORD gains[4] = {230, 140, 150, 310};
    if (greenAtUnity)
        gains[1] = gains[2] = 128;
    CWhiteBalanceCtrl wb;
    CWhiteBalanceCtrl_init(&wb, gains, 2);
    return wb;
}

CAveragePixelValue NewStats() {
    CAveragePixelValue stats;
    CAveragePixelValue_init(&stats);
    return stats;
}

// A bound balance object with its camera variables: 1250 lines of 2000
// clocks, shutter 400 lines, gain register 64 (also the reference gain), red
// and blue white balance gains away from unity.
struct Camera {
    Camera(Size size, BYTE* frame) : memory(static_cast<size_t>(Quorvin_GetAWBObjectSize())) {
        quorvin_camera_init(&vars, size.w, size.h, 1250, 2000, 400);
        vars.gain = 64;
        const __u16 initGains[4] = {200, 128, 128, 260};
        std::copy(std::begin(initGains), std::end(initGains), vars.init_gains);
        quorvin_camera_bind(&vars, memory.data(), frame, 64, 0, 0);
    }
    AWBObject& obj() { return *reinterpret_cast<AWBObject*>(memory.data()); }
    std::vector<unsigned char> memory;
    QuorvinCameraVars vars = {};
};

// A frame to bind a camera to before each call points it at its own frame.
BYTE* BoundFrame() {
    static BYTE byteFrame;
    return &byteFrame;
}

// ---- Registration --------------------------------------------------------

std::string Name(const std::string& what, Size size, bool out) {
    return what + "/" + std::to_string(size.w) + "x" + std::to_string(size.h) +
           (out ? "/out" : "/in");
}

template <class Fn>
benchmark::internal::Benchmark* Add(const std::string& what, Size size, bool out, Fn fn) {
    return benchmark::RegisterBenchmark(Name(what, size, out).c_str(),
                                        [=](benchmark::State& state) {
                                            Frames& frames = SharedFrames(size, out);
                                            fn(state, frames);
                                            state.SetBytesProcessed(
                                                static_cast<int64_t>(state.iterations()) *
                                                static_cast<int64_t>(frames.Bytes()));
                                        })
        ->Unit(benchmark::kMicrosecond);
}

// ---- Paired figures --------------------------------------------------------
// Out of cache, this shared machine's memory speed drifts by up to half from
// one second to the next, and so does the ratio of two figures measured apart.
// A paired figure alternates a pass with its baselines frame by frame within
// one run: every iteration times the pass on the next frame of the pool, then
// each baseline on the frames after it. The figure's own time is the pass's;
// its counters are the ratios of summed times (baseline / pass, so above 1 is
// faster than the baseline): vs_read64, vs_readSIMD (the faster of the vector
// reads the processor has) or vs_rmw64.
enum class Baseline { kReads, kRmw };

template <class Pass> double Timed(Pass&& pass) {
    const auto t0 = std::chrono::steady_clock::now();
    pass();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class Pass>
void AddPaired(const std::string& what, Size size, Baseline baseline, Pass pass) {
    Add("Paired." + what, size, true, [=](benchmark::State& state, Frames& frames) {
        Pass run = pass; // its own state, changed by every call
        double tPass = 0, tWord = 0, tAvx2 = 0, tAvx512 = 0;
#if defined(__x86_64__) || defined(__i386__)
        const bool avx2 = __builtin_cpu_supports("avx2");
        const bool avx512 = __builtin_cpu_supports("avx512f");
#else
            const bool avx2 = false, avx512 = false;
#endif
        const size_t n = frames.Bytes();
        for (auto _ : state) {
            const double t = Timed([&] { run(frames.Next()); });
            state.SetIterationTime(t);
            tPass += t;
            if (baseline == Baseline::kRmw) {
                tWord += Timed([&] {
                    RmwWords(frames.Next(), n);
                    benchmark::ClobberMemory();
                });
                continue;
            }
            tWord += Timed([&] { benchmark::DoNotOptimize(ReadWords(frames.Next(), n)); });
#if defined(__x86_64__) || defined(__i386__)
            if (avx2)
                tAvx2 += Timed([&] { benchmark::DoNotOptimize(ReadAvx2(frames.Next(), n)); });
            if (avx512)
                tAvx512 += Timed([&] { benchmark::DoNotOptimize(ReadAvx512(frames.Next(), n)); });
#endif
        }
        if (baseline == Baseline::kRmw) {
            state.counters["vs_rmw64"] = tWord / tPass;
            return;
        }
        state.counters["vs_read64"] = tWord / tPass;
        const double tSimd = avx2 && avx512 ? std::min(tAvx2, tAvx512) : avx2 ? tAvx2 : tAvx512;
        if (avx2 || avx512)
            state.counters["vs_readSIMD"] = tSimd / tPass;
    })->UseManualTime();
}

// The variants measured, in the order they are registered, with the names
// their figures carry.
template <class Path> struct Variant {
    Path path;
    const char* name;
};
const Variant<SumPath> kSumVariants[] = {
    {SumPath::kWord, "word"}, {SumPath::kAvx2, "avx2"}, {SumPath::kNeon, "neon"}};
const Variant<MapPath> kMapVariants[] = {{MapPath::kTableWalk, "walk"},
                                         {MapPath::kAvx2Rule, "avx2"},
                                         {MapPath::kAvx512Rule, "avx512"},
                                         {MapPath::kNeonRule, "neon"}};

void RegisterBaselines(Size size, bool out) {
    Add("read.word64", size, out, [](benchmark::State& state, Frames& frames) {
        for (auto _ : state)
            benchmark::DoNotOptimize(ReadWords(frames.Next(), frames.Bytes()));
    });
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        Add("read.avx2", size, out, [](benchmark::State& state, Frames& frames) {
            for (auto _ : state)
                benchmark::DoNotOptimize(ReadAvx2(frames.Next(), frames.Bytes()));
        });
    if (__builtin_cpu_supports("avx512f"))
        Add("read.avx512", size, out, [](benchmark::State& state, Frames& frames) {
            for (auto _ : state)
                benchmark::DoNotOptimize(ReadAvx512(frames.Next(), frames.Bytes()));
        });
#endif
    Add("rmw.word64", size, out, [](benchmark::State& state, Frames& frames) {
        for (auto _ : state) {
            BYTE* f = frames.Next();
            RmwWords(f, frames.Bytes());
            benchmark::ClobberMemory();
        }
    });
    Add("memcpy", size, out, [size, out](benchmark::State& state, Frames& frames) {
        Frames& dst = SharedFrames(size, out, 1);
        for (auto _ : state) {
            std::memcpy(dst.Next(), frames.Next(), frames.Bytes());
            benchmark::ClobberMemory();
        }
    });
    Add("plain.pairs", size, out, [size](benchmark::State& state, Frames& frames) {
        CAveragePixelValue geometry;
        CAveragePixelValue_init(&geometry);
        mbUpdateImagePosAndPixelCount(&geometry, size.w, size.h, 2);
        for (auto _ : state) {
            DWORD sums[16][4] = {};
            PlainPairLoop(geometry, frames.Next(), size.w, sums);
            benchmark::DoNotOptimize(sums);
        }
    });
    for (bool green : {false, true})
        Add(green ? "plain.walk.green" : "plain.walk", size, out,
            [size, green](benchmark::State& state, Frames& frames) {
                const CWhiteBalanceCtrl wb = Controller(green);
                for (auto _ : state) {
                    PlainWalk(wb, size.w, size.h, frames.Next(), green);
                    benchmark::ClobberMemory();
                }
            });
    Add("plain.copywalk", size, out, [size, out](benchmark::State& state, Frames& frames) {
        const CWhiteBalanceCtrl wb = Controller(false);
        Frames& dst = SharedFrames(size, out, 1);
        for (auto _ : state) {
            PlainCopyWalk(wb, size.w, size.h, frames.Next(), dst.Next());
            benchmark::ClobberMemory();
        }
    });
}

void RegisterModule(Size size, bool out) {
    for (const Variant<SumPath>& variant : kSumVariants) {
        const SumPath p = variant.path;
        if (!quorvin_pixel::SumPathAvailable(p))
            continue;
        Add(std::string("UpdateAverage.") + variant.name, size, out,
            [size, p](benchmark::State& state, Frames& frames) {
                quorvin_pixel::SelectSumPath(p);
                CAveragePixelValue stats;
                CAveragePixelValue_init(&stats);
                for (auto _ : state)
                    UpdateAverage(&stats, size.w, size.h, 2, frames.Next());
                benchmark::DoNotOptimize(stats);
                quorvin_pixel::SelectSumPath(SumPath::kAuto);
            });
        if (out)
            AddPaired(std::string("UpdateAverage.") + variant.name, size, Baseline::kReads,
                      [size, p, stats = NewStats()](BYTE* frame) mutable {
                          quorvin_pixel::SelectSumPath(p);
                          UpdateAverage(&stats, size.w, size.h, 2, frame);
                          benchmark::DoNotOptimize(stats);
                      });
    }
    for (const Variant<MapPath>& variant : kMapVariants) {
        const MapPath p = variant.path;
        if (!quorvin_pixel::MapPathAvailable(p))
            continue;
        for (bool green : {false, true})
            Add(std::string(green ? "ImageProcessing.green." : "ImageProcessing.") + variant.name,
                size, out, [size, p, green](benchmark::State& state, Frames& frames) {
                    quorvin_pixel::SelectMapPath(p);
                    CWhiteBalanceCtrl wb = Controller(green);
                    for (auto _ : state) {
                        ImageProcessing(&wb, size.w, size.h, 2, frames.Next());
                        benchmark::ClobberMemory();
                    }
                    quorvin_pixel::SelectMapPath(MapPath::kAuto);
                });
        if (out)
            AddPaired(std::string("ImageProcessing.") + variant.name, size, Baseline::kRmw,
                      [size, p, wb = Controller(false)](BYTE* frame) mutable {
                          quorvin_pixel::SelectMapPath(p);
                          ImageProcessing(&wb, size.w, size.h, 2, frame);
                          benchmark::ClobberMemory();
                      });
        Add(std::string("ImageCopyProcessing.") + variant.name, size, out,
            [size, out, p](benchmark::State& state, Frames& frames) {
                quorvin_pixel::SelectMapPath(p);
                CWhiteBalanceCtrl wb = Controller(false);
                Frames& dst = SharedFrames(size, out, 1);
                for (auto _ : state) {
                    ImageCopyProcessing(&wb, size.w, size.h, 2, frames.Next(), dst.Next());
                    benchmark::ClobberMemory();
                }
                quorvin_pixel::SelectMapPath(MapPath::kAuto);
            });
    }
    // Whole per-frame calls on which both controllers run: their skip
    // countdowns are cleared before every call. .vector: the automatic
    // choice; .word: what runs where no vector registers can be had, the
    // word statistics and the table walk.
    for (bool word : {false, true})
        for (bool correct : {false, true}) {
            const std::string what =
                std::string(correct ? "Frame.ImageBalance" : "Frame.ALCWBalance") +
                (word ? ".word" : ".vector");
            const auto select = [word] {
                quorvin_pixel::SelectSumPath(word ? SumPath::kWord : SumPath::kAuto);
                quorvin_pixel::SelectMapPath(word ? MapPath::kTableWalk : MapPath::kAuto);
            };
            Add(what, size, out, [size, correct, select](benchmark::State& state, Frames& frames) {
                select();
                Camera cam(size, frames.Next());
                AWBObject& obj = cam.obj();
                for (auto _ : state) {
                    obj.raw_data = frames.Next();
                    obj.m_objWhiteBalanceCtrl.m_byteAWBRestSkipCount = 0;
                    obj.m_objLuminanceCtrl.m_byteRestSkipCount = 0;
                    if (correct)
                        Quorvin_ImageBalance(&obj);
                    else
                        Quorvin_ALCWBalance(&obj);
                }
                quorvin_pixel::SelectSumPath(SumPath::kAuto);
                quorvin_pixel::SelectMapPath(MapPath::kAuto);
            });
            if (out && correct)
                AddPaired(
                    what, size, Baseline::kRmw,
                    [select, cam = std::make_shared<Camera>(size, BoundFrame())](BYTE* frame) {
                        select();
                        AWBObject& obj = cam->obj();
                        obj.raw_data = frame;
                        obj.m_objWhiteBalanceCtrl.m_byteAWBRestSkipCount = 0;
                        obj.m_objLuminanceCtrl.m_byteRestSkipCount = 0;
                        Quorvin_ImageBalance(&obj);
                        benchmark::ClobberMemory();
                    });
            // The same frame with the highlight guard alone (.guard) and with
            // the robust white balance too (.picture), on a frame where they
            // count (a luminance evaluation and a white balance sample).
            for (bool robust : {false, true})
                if (out && correct)
                    AddPaired(what + (robust ? ".picture" : ".guard"), size, Baseline::kRmw,
                              [select, robust, cam = std::make_shared<Camera>(size, BoundFrame())](
                                  BYTE* frame) mutable {
                                  select();
                                  AWBObject& obj = cam->obj();
                                  if (obj.m_objPictureCtrl.m_byteClipBudget == 0) {
                                      Quorvin_SetHighlightGuard(&obj, QUORVIN_GUARD_DEFAULT_BUDGET,
                                                                QUORVIN_GUARD_DEFAULT_FLOOR);
                                      Quorvin_SetRobustAWB(&obj, robust ? QUORVIN_AWB_ROBUST
                                                                        : QUORVIN_AWB_GREY_WORLD);
                                  }
                                  obj.raw_data = frame;
                                  obj.m_objWhiteBalanceCtrl.m_byteAWBRestSkipCount = 0;
                                  obj.m_objLuminanceCtrl.m_byteRestSkipCount = 0;
                                  obj.m_objLuminanceCtrl.m_byteAlreadySampleingCount =
                                      static_cast<BYTE>(
                                          obj.m_objLuminanceCtrl.m_byteAverageFrameCount - 1);
                                  Quorvin_ImageBalance(&obj);
                                  benchmark::ClobberMemory();
                              });
        }
}

// A frame on which no controller is due: white balance fixed, luminance off.
void SkippedFrame(benchmark::State& state, bool correct) {
    std::vector<BYTE> frame(1920 * 1080);
    Camera cam(Size{1920, 1080}, frame.data());
    AWBObject& obj = cam.obj();
    obj.m_objWhiteBalanceCtrl.m_byteMode = QUORVIN_WB_FIXED;
    obj.m_objLuminanceCtrl.m_byteMode = QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL, QUORVIN_LUM_MANUAL);
    for (auto _ : state)
        benchmark::DoNotOptimize(correct ? Quorvin_ImageBalance(&obj) : Quorvin_ALCWBalance(&obj));
}

void RegisterSkipped() {
    benchmark::RegisterBenchmark("Skipped.ALCWBalance", SkippedFrame, false)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("Skipped.ImageBalance", SkippedFrame, true)
        ->Unit(benchmark::kNanosecond);
}

} // namespace

int main(int argc, char** argv) {
    for (bool out : {false, true})
        for (Size size : kSizes) {
            RegisterBaselines(size, out);
            RegisterModule(size, out);
        }
    RegisterSkipped();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
