// SPDX-License-Identifier: GPL-2.0 OR MIT
// Randomised threaded stress: many threads issue random operations on one
// shared balance object, each also on a private object of its own, for a
// bounded number of operations. Run under ThreadSanitizer (tsan preset) it
// must show no race; a watchdog aborts if the run deadlocks; afterwards every
// object must be consistent (tables follow gains, flags 0 or 1, modes and
// counters in their ranges).
#include "AWB/AWB.h"
#include "fuzz/model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kOpsPerThread = 5000;
constexpr auto kWatchdog = std::chrono::seconds(240);

// A camera driver's variables for one object. The shared object's variables
// are written only by the module while threads run (the frame size, timing
// and the driver's gains stay fixed), as a driver would arrange.
struct Camera {
    std::vector<uint8_t> object;
    std::vector<uint8_t> frame;
    uint16_t vlines = 300, hclock = 400;
    uint16_t line = 50, clock = 0, gain = 0;
    uint32_t width, height;
    int flag = 0;
    uint16_t r = 16, g = 16, b = 16;
    uint16_t init_gains[4] = {128, 128, 128, 128};

    Camera(uint32_t w, uint32_t h, int trigger)
        : object(static_cast<size_t>(Quorvin_GetAWBObjectSize())),
          frame(static_cast<size_t>(w) * h), width(w), height(h) {
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
        Quorvin_InitAWBObject(object.data(), frame.data(), &vlines, &hclock, &line, &clock, &gain,
                              &width, &height, &flag, &r, &g, &b, init_gains, 32, 0, trigger);
    }
    AWBObject* obj() { return reinterpret_cast<AWBObject*>(object.data()); }
};

// One random operation; may_drive allows the driver-side writes that only a
// private object's owner may make.
void random_op(Camera& cam, std::mt19937& rng, bool may_drive, std::vector<uint8_t>& src) {
    void* o = cam.obj();
    const auto pick = rng() % 20;
    const auto byte = [&] { return static_cast<BYTE>(rng()); };
    const auto word = [&] { return static_cast<WORD>(rng() % 2048); };
    switch (pick) {
    case 0:
    case 1:
    case 2:
        EXPECT_EQ(Quorvin_ALCWBalance(o), 0);
        break;
    case 3:
    case 4:
        EXPECT_EQ(Quorvin_ImageBalance(o), 0);
        break;
    case 5:
        EXPECT_EQ(Quorvin_ColorProcessing(o), TRUE);
        break;
    case 6:
        EXPECT_EQ(Quorvin_ImageProcessing(o, src.data()), TRUE);
        break;
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
        Quorvin_Set_Auto_Max_Gain(o, word());
        break;
    case 14:
        Quorvin_Set_Auto_Min_Gain(o, static_cast<WORD>(rng() % 64));
        break;
    case 15:
        Quorvin_Set_Auto_Max_Shutter(o, word());
        break;
    case 16:
        Quorvin_Set_Auto_Min_Shutter(o, static_cast<WORD>(rng() % 4));
        break;
    case 17:
        Quorvin_Set_Auto_Max_ShutterC(o, word());
        Quorvin_Set_Auto_Min_ShutterC(o, static_cast<WORD>(rng() % 4));
        break;
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

// The state every object must be in between operations.
void check_consistent(Camera& cam) {
    const AWBObject& o = *cam.obj();
    ASSERT_EQ(o.magic, QUORVIN_AWB_MAGIC);
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
    const CLuminanceCtrl& lum = o.m_objLuminanceCtrl;
    EXPECT_TRUE(lum.m_bAutoRunning == FALSE || lum.m_bAutoRunning == TRUE);
    EXPECT_EQ(lum.fops, &luminance_fops);
}

TEST(StressThreads, RandomOperationsOnSharedAndPrivateObjects) {
    Camera shared(40, 30, 1);
    std::atomic<int> finished{0};
    std::mutex m;
    std::condition_variable cv;
    bool done = false;

    // Watchdog: a run that takes far longer than it should is a deadlock.
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, kWatchdog, [&] { return done; })) {
            std::fprintf(stderr, "watchdog: %d of %d threads finished; deadlock\n", finished.load(),
                         kThreads);
            std::abort();
        }
    });

    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(1234 + t));
            Camera own(48, 48, t & 1);
            std::vector<uint8_t> src(48 * 48);
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = static_cast<uint8_t>(rng());
            for (int i = 0; i < kOpsPerThread; ++i) {
                if (rng() % 3 == 0)
                    random_op(own, rng, true, src);
                else
                    random_op(shared, rng, false, src);
            }
            check_consistent(own);
            ++finished;
        });
    }
    for (std::thread& w : workers)
        w.join();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    watchdog.join();

    EXPECT_EQ(finished.load(), kThreads);
    check_consistent(shared);
    // The shared object still works after the storm.
    EXPECT_EQ(Quorvin_ALCWBalance(shared.obj()), 0);
    check_consistent(shared);
}

} // namespace
