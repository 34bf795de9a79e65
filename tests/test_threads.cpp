// SPDX-License-Identifier: GPL-2.0 OR MIT
// Threads on balance objects. Run under ThreadSanitizer (the tsan preset) a
// missing or misplaced lock shows as a race; a watchdog turns a deadlock into
// a failure; afterwards every object must be consistent (tables follow gains,
// flags 0 or 1, counters in their ranges) and its lock free.
//  - every kind of locked operation in turn from several threads on one
//    shared object, while other threads each run a driver loop on an object
//    of their own;
//  - random operations, many threads, on one shared object and each on a
//    private one.
#include "fuzz/model.h"
#include "test_awb_camera.h"

#include <AWB/AWB.h>
#include <AWB/WhiteBalanceCtrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using awbtest::Camera;

// Aborts the process if the test body does not finish within the limit; what
// it prints says how far the threads got.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::function<int()> finished)
        : m_thread([this, limit, finished] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, limit, [this] { return m_done; })) {
                  std::fprintf(stderr, "watchdog: %d threads finished, probable deadlock\n",
                               finished());
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

// The state every object must be in between operations.
void check_consistent(Camera& cam) {
    const AWBObject& o = cam.awb();
    ASSERT_EQ(static_cast<unsigned>(o.magic), QUORVIN_AWB_MAGIC);
    const CWhiteBalanceCtrl& wb = o.m_objWhiteBalanceCtrl;
    for (int k = 0; k < 4; ++k) {
        // Whichever rule built it last, table k is the table of gain k.
        const bool auto_rule =
            qmodel::table_matches(wb.m_ppbyteTable[k], wb.m_pwGain[k], qmodel::TableRule::Auto);
        const bool manual_rule =
            qmodel::table_matches(wb.m_ppbyteTable[k], wb.m_pwGain[k], qmodel::TableRule::Manual);
        EXPECT_TRUE(auto_rule || manual_rule) << "table " << k << " gain " << wb.m_pwGain[k];
    }
    EXPECT_EQ(wb.m_pwGain[1], wb.m_pwGain[2]);
    EXPECT_LT(wb.m_byteAWBAlredySamplingCount, wb.m_byteAWBSamplingCount);
    EXPECT_LE(wb.m_byteAWBRestSkipCount, wb.m_byteAWBSkipCount);
    EXPECT_TRUE(cam.flag == 0 || cam.flag == 1) << cam.flag;
    EXPECT_EQ(o.wColorArray, 2);
    const CLuminanceCtrl& lum = o.m_objLuminanceCtrl;
    EXPECT_TRUE(lum.m_bAutoRunning == FALSE || lum.m_bAutoRunning == TRUE);
    EXPECT_EQ(lum.fops, &luminance_fops);
}

// The per-frame operations: the two per-frame calls, the correction in place
// and the corrected copy from a source frame. On a bound object each succeeds.
enum class FrameOp { kAlc, kImage, kColour, kCopy };

void expect_frame_op(void* o, FrameOp op, BYTE* source) {
    switch (op) {
    case FrameOp::kAlc:
        EXPECT_EQ(Quorvin_ALCWBalance(o), 0);
        break;
    case FrameOp::kImage:
        EXPECT_EQ(Quorvin_ImageBalance(o), 0);
        break;
    case FrameOp::kColour:
        EXPECT_EQ(Quorvin_ColorProcessing(o), TRUE);
        break;
    case FrameOp::kCopy:
        EXPECT_EQ(Quorvin_ImageProcessing(o, source), TRUE);
        break;
    }
}

// ---------------------------------------------------------------------------
// Every locked operation in turn

constexpr int kSharedThreads = 4;
constexpr int kPrivateThreads = 3;
constexpr int kOpsPerThread = 1500;

// One operation on the shared object, chosen by n. The driver variables of the
// shared camera are only touched by the module (under its lock).
void shared_op(Camera& cam, const std::vector<uint8_t>& source, BYTE* target, unsigned n) {
    void* o = cam.obj();
    const BYTE b = static_cast<BYTE>(n);
    // The per-frame calls most often.
    static constexpr FrameOp kFrameOps[] = {FrameOp::kAlc,    FrameOp::kAlc,   FrameOp::kAlc,
                                            FrameOp::kImage,  FrameOp::kImage, FrameOp::kImage,
                                            FrameOp::kColour, FrameOp::kCopy};
    if (n % 16 < 8) {
        expect_frame_op(o, kFrameOps[n % 16], const_cast<uint8_t*>(source.data()));
        return;
    }
    switch (n % 16) {
    case 8:
        EXPECT_EQ(Quorvin_SetAutoAWB(o, static_cast<BYTE>(1 + n % 3)), 0);
        break;
    case 9:
        EXPECT_EQ(Quorvin_SetAutoGain(o, static_cast<BYTE>(n % 3)), 0);
        break;
    case 10:
        EXPECT_EQ(Quorvin_SetAutoExposure(o, static_cast<BYTE>((n % 3) << 4)), 0);
        break;
    case 11:
        target[0] = static_cast<BYTE>(100 + n % 60);
        EXPECT_EQ(Quorvin_CLuminance_SetTarget(o, target), TRUE);
        break;
    case 12:
        EXPECT_EQ(Quorvin_CLuminance_SetCtrlSpeed(o, b & 3, b & 3, 1 + (b & 1), 1 + (b & 3)), TRUE);
        break;
    case 13:
        Quorvin_Set_Gain(o);
        break;
    case 14:
        Quorvin_Set_Auto_Max_Gain(o, static_cast<WORD>(200 + n % 56));
        Quorvin_Set_Auto_Min_Gain(o, static_cast<WORD>(n % 20));
        break;
    default:
        Quorvin_Set_Auto_Max_Shutter(o, static_cast<WORD>(n % 500));
        Quorvin_Set_Auto_Min_Shutter(o, 1);
        Quorvin_Set_Auto_Max_ShutterC(o, static_cast<WORD>(n % 800));
        Quorvin_Set_Auto_Min_ShutterC(o, 0);
        break;
    }
}

// A driver loop on a private object: fresh frame, per-frame call, flag cleared.
void private_driver(Camera& cam, int seed) {
    cam.bind();
    for (int f = 0; f < kOpsPerThread; ++f) {
        const BYTE level = static_cast<BYTE>(30 + (seed * 37 + f) % 200);
        cam.fill(level, static_cast<BYTE>(level / 2 + 20), static_cast<BYTE>(255 - level));
        if (f % 2 == 0) {
            Quorvin_ALCWBalance(cam.obj());
        } else {
            Quorvin_ImageBalance(cam.obj());
        }
        if (cam.flag != 0) {
            EXPECT_EQ(cam.flag, 1);
            cam.flag = 0;
        }
        if (f % 97 == 0) {
            cam.r = static_cast<uint16_t>(8 + f % 24);
            Quorvin_Set_Gain(cam.obj());
        }
    }
}

TEST(AwbThreads, SharedAndPrivateObjectsUnderLoad) {
    Camera shared(32, 32);
    shared.bind();
    shared.fill(120, 90, 60);
    std::vector<uint8_t> source(shared.frame);
    std::vector<std::unique_ptr<Camera>> own;
    for (int i = 0; i < kPrivateThreads; ++i) {
        own.push_back(std::make_unique<Camera>(24, 16));
    }
    std::atomic<int> finished{0};
    {
        Watchdog watchdog(std::chrono::seconds(180), [&] { return finished.load(); });
        std::vector<std::thread> threads;
        for (int t = 0; t < kSharedThreads; ++t) {
            threads.emplace_back([&, t] {
                BYTE target[3] = {128, 5, 5};
                for (int i = 0; i < kOpsPerThread; ++i) {
                    shared_op(shared, source, target, static_cast<unsigned>(i * 7 + t * 5));
                }
                finished.fetch_add(1);
            });
        }
        for (int t = 0; t < kPrivateThreads; ++t) {
            threads.emplace_back([&, t] {
                private_driver(*own[static_cast<size_t>(t)], t);
                finished.fetch_add(1);
            });
        }
        for (std::thread& th : threads) {
            th.join();
        }
    }
    EXPECT_EQ(finished.load(), kSharedThreads + kPrivateThreads);

    // Consistent afterwards, and every lock is free: each object accepts one
    // more locked operation (under a watchdog again).
    Watchdog watchdog(std::chrono::seconds(180), [] { return 0; });
    std::vector<Camera*> all{&shared};
    for (auto& cam : own) {
        all.push_back(cam.get());
    }
    for (Camera* cam : all) {
        EXPECT_EQ(static_cast<unsigned>(cam->awb().magic), 0xFAAFEBBEu);
        check_consistent(*cam);
        EXPECT_EQ(Quorvin_SetAutoAWB(cam->obj(), 2), 0);
        EXPECT_EQ(Quorvin_ALCWBalance(cam->obj()), 0);
    }
    BYTE mode = shared.lum().m_byteMode;
    EXPECT_TRUE((mode & 0x0F) <= 2 && (mode >> 4) <= 2) << int{mode};
}

// ---------------------------------------------------------------------------
// Random operations

constexpr int kRandomThreads = 8;
constexpr int kRandomOps = 5000;

// A camera for the random storm: 300 lines of 400 clocks, shutter 50 lines,
// a patterned frame, bound with reference gain 32. The shared object's
// variables are written only by the module while threads run (the frame
// size, timing and the driver's gains stay fixed), as a driver would arrange.
std::unique_ptr<Camera> storm_camera(uint32_t w, uint32_t h, int trigger) {
    auto cam = std::make_unique<Camera>(w, h);
    cam->vlines = 300;
    cam->hclock = 400;
    cam->shutter_line = 50;
    cam->gain = 0;
    for (size_t i = 0; i < cam->frame.size(); ++i)
        cam->frame[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
    cam->bind(32, trigger);
    return cam;
}

// The limit setters, and the range of the random value each is given.
const struct {
    void (*set)(void*, WORD);
    unsigned range;
} kRandomLimits[] = {{&Quorvin_Set_Auto_Max_Gain, 2048},     {&Quorvin_Set_Auto_Min_Gain, 64},
                     {&Quorvin_Set_Auto_Max_Shutter, 2048},  {&Quorvin_Set_Auto_Min_Shutter, 4},
                     {&Quorvin_Set_Auto_Max_ShutterC, 2048}, {&Quorvin_Set_Auto_Min_ShutterC, 4}};

// One random operation; may_drive allows the driver-side writes that only a
// private object's owner may make.
void random_op(Camera& cam, std::mt19937& rng, bool may_drive, std::vector<uint8_t>& src) {
    void* o = cam.obj();
    const unsigned pick = static_cast<unsigned>(rng() % 20);
    const auto byte = [&] { return static_cast<BYTE>(rng()); };
    static constexpr FrameOp kFrameOps[] = {FrameOp::kAlc,   FrameOp::kAlc,   FrameOp::kAlc,
                                            FrameOp::kImage, FrameOp::kImage, FrameOp::kColour,
                                            FrameOp::kCopy};
    if (pick < 7) {
        expect_frame_op(o, kFrameOps[pick], src.data());
        return;
    }
    switch (pick) {
    case 7:
        EXPECT_EQ(Quorvin_SetAutoAWB(o, static_cast<BYTE>(rng() % 5)), 0);
        break;
    case 8:
        EXPECT_EQ(Quorvin_SetAutoGain(o, byte()), 0);
        break;
    case 9:
        EXPECT_EQ(Quorvin_SetAutoExposure(o, static_cast<BYTE>((rng() % 3) << 4)), 0);
        break;
    case 10: {
        BYTE t[3] = {byte(), static_cast<BYTE>(rng() % 10), static_cast<BYTE>(rng() % 10)};
        EXPECT_EQ(Quorvin_CLuminance_SetTarget(o, t), TRUE);
        break;
    }
    case 11:
        EXPECT_EQ(Quorvin_CLuminance_SetCtrlSpeed(o, byte(), byte(), static_cast<BYTE>(rng() % 4),
                                                  static_cast<BYTE>(rng() % 5)),
                  TRUE);
        break;
    case 12:
        if (may_drive) {
            cam.r = static_cast<uint16_t>(rng());
            cam.g = static_cast<uint16_t>(rng() % 64);
            cam.b = static_cast<uint16_t>(rng() % 64);
        }
        Quorvin_Set_Gain(o);
        break;
    case 13:
    case 14:
    case 15:
    case 16:
    case 17: { // one limit; 17 sets both clock limits
        const unsigned first = pick - 13, last = pick == 17 ? 5 : first;
        for (unsigned k = first; k <= last; ++k)
            kRandomLimits[k].set(o, static_cast<WORD>(rng() % kRandomLimits[k].range));
        break;
    }
    case 18:
        if (may_drive) { // the driver sends the values and clears the flag
            cam.flag = 0;
            cam.vlines = static_cast<uint16_t>(rng() % 1000);
            cam.hclock = static_cast<uint16_t>(rng() % 1000);
        }
        break;
    default:
        if (may_drive) { // a new frame size, within the buffer
            cam.width = static_cast<uint32_t>(rng() % 48);
            cam.height = static_cast<uint32_t>(rng() % 48);
        }
        break;
    }
}

TEST(StressThreads, RandomOperationsOnSharedAndPrivateObjects) {
    std::unique_ptr<Camera> shared = storm_camera(40, 30, 1);
    std::atomic<int> finished{0};
    {
        Watchdog watchdog(std::chrono::seconds(240), [&] { return finished.load(); });
        std::vector<std::thread> workers;
        for (int t = 0; t < kRandomThreads; ++t) {
            workers.emplace_back([&, t] {
                std::mt19937 rng(static_cast<unsigned>(1234 + t));
                std::unique_ptr<Camera> own = storm_camera(48, 48, t & 1);
                std::vector<uint8_t> src(48 * 48);
                for (size_t i = 0; i < src.size(); ++i)
                    src[i] = static_cast<uint8_t>(rng());
                for (int i = 0; i < kRandomOps; ++i) {
                    if (rng() % 3 == 0)
                        random_op(*own, rng, true, src);
                    else
                        random_op(*shared, rng, false, src);
                }
                check_consistent(*own);
                ++finished;
            });
        }
        for (std::thread& w : workers)
            w.join();
    }
    EXPECT_EQ(finished.load(), kRandomThreads);
    check_consistent(*shared);
    // The shared object still works after the storm.
    EXPECT_EQ(Quorvin_ALCWBalance(shared->obj()), 0);
    check_consistent(*shared);
}

} // namespace
