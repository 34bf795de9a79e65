// SPDX-License-Identifier: GPL-2.0 OR MIT
// Several threads drive one shared object with every kind of locked operation
// while other threads each run a driver loop on an object of their own. Run
// under ThreadSanitizer (the tsan preset) a missing or misplaced lock shows as
// a race; a watchdog turns a deadlock into a failure; afterwards every object
// must be consistent and its lock free.
#include "test_awb_camera.h"

#include <AWB/AWB.h>
#include <AWB/WhiteBalanceCtrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using awbtest::Camera;

constexpr int kSharedThreads = 4;
constexpr int kPrivateThreads = 3;
constexpr int kOpsPerThread = 1500;
constexpr auto kWatchdogLimit = std::chrono::seconds(180);

// Aborts the process if the test body does not finish in time.
class Watchdog {
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, kWatchdogLimit, [this] { return m_done; })) {
                  std::fprintf(stderr, "watchdog: threads still running, probable deadlock\n");
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

// Every table belongs to its gain by one of the two table rules.
bool tables_follow_gains(CWhiteBalanceCtrl& wb) {
    for (int k = 0; k < 4; ++k) {
        BYTE controller_rule[256];
        mbUpdateTable(&wb, wb.m_pwGain[k], controller_rule);
        bool manual_ok = true;
        bool controller_ok = true;
        for (int i = 0; i < 256; ++i) {
            const int v = (wb.m_pwGain[k] * i) >> 7;
            manual_ok = manual_ok && wb.m_ppbyteTable[k][i] == (v > 255 ? 255 : v);
            controller_ok = controller_ok && wb.m_ppbyteTable[k][i] == controller_rule[i];
        }
        if (!manual_ok && !controller_ok) {
            return false;
        }
    }
    return true;
}

// One operation on the shared object, chosen by n. The driver variables of the
// shared camera are only touched by the module (under its lock).
void shared_op(Camera& cam, const std::vector<uint8_t>& source, BYTE* target, unsigned n) {
    void* o = cam.obj();
    const BYTE b = static_cast<BYTE>(n);
    switch (n % 16) {
    case 0:
    case 1:
    case 2:
        EXPECT_EQ(Quorvin_ALCWBalance(o), 0);
        break;
    case 3:
    case 4:
    case 5:
        EXPECT_EQ(Quorvin_ImageBalance(o), 0);
        break;
    case 6:
        EXPECT_EQ(Quorvin_ColorProcessing(o), TRUE);
        break;
    case 7:
        EXPECT_EQ(Quorvin_ImageProcessing(o, const_cast<uint8_t*>(source.data())), TRUE);
        break;
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
        Watchdog watchdog;
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
    Watchdog watchdog;
    std::vector<Camera*> all{&shared};
    for (auto& cam : own) {
        all.push_back(cam.get());
    }
    for (Camera* cam : all) {
        EXPECT_EQ(static_cast<unsigned>(cam->awb().magic), 0xFAAFEBBEu);
        EXPECT_TRUE(cam->flag == 0 || cam->flag == 1);
        EXPECT_TRUE(tables_follow_gains(cam->wb()));
        EXPECT_EQ(cam->awb().wColorArray, 2);
        EXPECT_EQ(cam->lum().fops, &luminance_fops);
        EXPECT_EQ(Quorvin_SetAutoAWB(cam->obj(), 2), 0);
        EXPECT_EQ(Quorvin_ALCWBalance(cam->obj()), 0);
    }
    BYTE mode = shared.lum().m_byteMode;
    EXPECT_TRUE((mode & 0x0F) <= 2 && (mode >> 4) <= 2) << int{mode};
}

} // namespace
