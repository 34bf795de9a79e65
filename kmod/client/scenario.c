// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The camera-driver scenario (see scenario.h). A simulated camera turns a
 * fixed scene into raw RGGB frames whose brightness follows the shutter and
 * CDS gain the module publishes and whose colour follows the R, G, B gains;
 * the driver part binds its variables to one balance object, feeds frames,
 * applies and clears each publication, and prints what it sees.
 *
 * Integer arithmetic only, 32-bit divisions only (32-bit kernels have no
 * 64-bit divide), declarations at the top of blocks (kernel C style).
 */
#include "scenario.h"

#include "AWB/AWB.h"

#define QSCN_WIDTH  160u
#define QSCN_HEIGHT 120u
#define QSCN_PIXELS (QSCN_WIDTH * QSCN_HEIGHT)
#define QSCN_LINES  500u /* lines per frame */
#define QSCN_CLOCKS 800u /* clocks per line */
#define QSCN_EINVAL (-QUORVIN_EINVAL)

/* Everything a camera driver keeps for one camera. */
struct qscn_camera {
    void* obj;
    __u8* raw;
    __u16 lines, clocks;
    __u16 shutter_line, shutter_clock, gain;
    __u32 width, height;
    int flag;
    __u16 r, g, b;
    __u16 init_gains[4];
    __u32 noise;
    int apply_colour_gains; /* the camera multiplies by R, G, B */
    unsigned int publications;
};

static int qscn_failures;

static void qscn_check(int ok, const char* what) {
    if (!ok) {
        ++qscn_failures;
        qscn_print("CHECK FAILED: %s", what);
    }
}

static void qscn_fill(void* p, unsigned long n, __u8 value) {
    __u8* b = (__u8*)p;
    unsigned long i;

    for (i = 0; i < n; ++i)
        b[i] = value;
}

static int qscn_all_equal(const void* p, unsigned long n, __u8 value) {
    const __u8* b = (const __u8*)p;
    unsigned long i;

    for (i = 0; i < n; ++i)
        if (b[i] != value)
            return 0;
    return 1;
}

/* FNV-1a over the frame: a compact fingerprint of every pixel. */
static __u32 qscn_hash(const __u8* p, __u32 n) {
    __u32 h = 2166136261u;
    __u32 i;

    for (i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

static __u32 qscn_mean(const __u8* p, __u32 n) {
    __u32 sum = 0;
    __u32 i;

    for (i = 0; i < n; ++i)
        sum += p[i];
    return sum / n;
}

/* Reflectance of the scene at (x, y) for Bayer position pos (R G / G B):
 * a bluish, unevenly lit scene. */
static __u32 qscn_scene(__u32 x, __u32 y, __u32 pos) {
    static const __u32 base[4] = {70, 120, 120, 180};
    __u32 light = 80u + ((x / 8u) * 7u + (y / 8u) * 13u) % 64u;

    return base[pos] * light / 128u;
}

/* Exposure time in clocks of the camera's current shutter; (0, 0) is a
 * whole frame. */
static __u32 qscn_exposure(const struct qscn_camera* c) {
    __u32 e = (__u32)c->shutter_line * c->clocks + c->shutter_clock;

    return e == 0 ? (__u32)c->lines * c->clocks : e;
}

/* Captures one frame of the scene with the camera's current settings. */
static void qscn_capture(struct qscn_camera* c) {
    /* Relative exposure in 1/256 of the reference (100 lines). */
    __u32 exposure = qscn_exposure(c) / 64u;
    __u32 reference = 100u * QSCN_CLOCKS / 64u;
    __u32 colour[4];
    __u32 x, y;

    colour[0] = c->apply_colour_gains ? c->r : 16u;
    colour[1] = c->apply_colour_gains ? c->g : 16u;
    colour[2] = colour[1];
    colour[3] = c->apply_colour_gains ? c->b : 16u;
    for (y = 0; y < c->height; ++y) {
        for (x = 0; x < c->width; ++x) {
            __u32 pos = 2u * (y & 1u) + (x & 1u);
            __u32 v = qscn_scene(x, y, pos) * exposure / reference;

            v = v * (16u + c->gain) / 32u;
            v = v * colour[pos] / 16u;
            c->noise = c->noise * 1664525u + 1013904223u;
            v += (c->noise >> 24) % 5u;
            c->raw[y * c->width + x] = (__u8)(v > 257u ? 255u : (v < 2u ? 0u : v - 2u));
        }
    }
}

static int qscn_camera_open(struct qscn_camera* c) {
    qscn_fill(c, sizeof(*c), 0);
    c->obj = qscn_alloc((unsigned long)Quorvin_GetAWBObjectSize());
    c->raw = (__u8*)qscn_alloc(QSCN_PIXELS);
    if (!c->obj || !c->raw) {
        qscn_free(c->obj);
        qscn_free(c->raw);
        return -1;
    }
    c->lines = QSCN_LINES;
    c->clocks = QSCN_CLOCKS;
    c->shutter_line = 20;
    c->shutter_clock = 0;
    c->gain = 16;
    c->width = QSCN_WIDTH;
    c->height = QSCN_HEIGHT;
    c->r = c->g = c->b = 16;
    c->init_gains[0] = c->init_gains[1] = c->init_gains[2] = c->init_gains[3] = 128;
    c->noise = 12345u;
    c->apply_colour_gains = 1;
    return 0;
}

static void qscn_camera_close(struct qscn_camera* c) {
    qscn_free(c->obj);
    qscn_free(c->raw);
}

static void qscn_bind(struct qscn_camera* c) {
    Quorvin_InitAWBObject(c->obj, c->raw, &c->lines, &c->clocks, &c->shutter_line,
                          &c->shutter_clock, &c->gain, &c->width, &c->height, &c->flag, &c->r,
                          &c->g, &c->b, c->init_gains, 16, 0, 0);
}

static AWBObject* qscn_object(struct qscn_camera* c) {
    return (AWBObject*)c->obj;
}

/* One frame: capture, one per-frame call, then what the driver does with a
 * publication. Returns the per-frame call's result. */
static int qscn_frame(struct qscn_camera* c, int correct_in_place, unsigned int index) {
    int ret;
    int published;

    qscn_capture(c);
    ret = correct_in_place ? Quorvin_ImageBalance(c->obj) : Quorvin_ALCWBalance(c->obj);
    published = c->flag;
    qscn_check(published == 0 || published == 1, "flag is 0 or 1");
    qscn_print("frame %u %s ret=%d pub=%d shutter=%u/%u gain=%u rgb=%u/%u/%u mean=%u hash=%08x",
               index, correct_in_place ? "IB" : "ALC", ret, published, c->shutter_line,
               c->shutter_clock, c->gain, c->r, c->g, c->b, qscn_mean(c->raw, QSCN_PIXELS),
               qscn_hash(c->raw, QSCN_PIXELS));
    if (published) {
        ++c->publications;
        c->flag = 0; /* the driver has sent the values to the camera */
    }
    return ret;
}

static void qscn_print_state(struct qscn_camera* c, const char* when) {
    AWBObject* o = qscn_object(c);
    CLuminanceCtrl* l = &o->m_objLuminanceCtrl;
    CWhiteBalanceCtrl* w = &o->m_objWhiteBalanceCtrl;

    qscn_print("state %s: lum mode=%02x target=%u/%u/%u speed=%u/%u/%u/%u "
               "gain=%u..%u shutter=%u..%u clock=%u..%u",
               when, l->m_byteMode, l->m_byteTarget, l->m_byteTolerance, l->m_byteThreshold,
               l->m_byteShutterCtrlSpeedLimit, l->m_byteGainCtrlSpeedLimit, l->m_byteSkipFrameCount,
               l->m_byteAverageFrameCount, l->m_wAutoMinCDSGain, l->m_wAutoMaxCDSGain,
               l->m_wAutoMinShutterLine, l->m_wAutoMaxShutterLine, l->m_wAutoMinShutterClock,
               l->m_wAutoMaxShutterClock);
    qscn_print("state %s: wb mode=%u gains=%u/%u/%u/%u table0[127]=%u table0[128]=%u "
               "table3[203]=%u table3[204]=%u",
               when, w->m_byteMode, w->m_pwGain[0], w->m_pwGain[1], w->m_pwGain[2], w->m_pwGain[3],
               w->m_ppbyteTable[0][127], w->m_ppbyteTable[0][128], w->m_ppbyteTable[3][203],
               w->m_ppbyteTable[3][204]);
}

/* Operations on memory that was never bound are refused without touching
 * it or taking a lock. */
static void qscn_unbound(struct qscn_camera* c) {
    unsigned long size = (unsigned long)Quorvin_GetAWBObjectSize();
    int alc, ib;
    BOOL target;
    __u8 t[3] = {100, 4, 6};

    qscn_fill(c->obj, size, 0x5a);
    Quorvin_FreeAWBObject(c->obj);
    alc = Quorvin_ALCWBalance(c->obj);
    ib = Quorvin_ImageBalance(c->obj);
    target = Quorvin_CLuminance_SetTarget(c->obj, t);
    Quorvin_Set_Auto_Max_Gain(c->obj, 99);
    Quorvin_Set_Gain(c->obj);
    qscn_print("unbound: alc=%d ib=%d set_target=%d untouched=%d", alc, ib, (int)target,
               qscn_all_equal(c->obj, size, 0x5a));
    qscn_check(alc == QSCN_EINVAL && ib == QSCN_EINVAL, "unbound object refused");
    qscn_check(qscn_all_equal(c->obj, size, 0x5a), "unbound object untouched");
}

static void qscn_correction(struct qscn_camera* c) {
    __u8* src = (__u8*)qscn_alloc(QSCN_PIXELS);
    __u32 src_hash;
    int ret;

    if (!src) {
        qscn_check(0, "memory for the source frame");
        return;
    }
    qscn_capture(c);
    ret = Quorvin_ColorProcessing(c->obj);
    qscn_print("color_processing ret=%d hash=%08x", ret, qscn_hash(c->raw, QSCN_PIXELS));

    /* Corrected copy of a separate source into the bound buffer. */
    qscn_capture(c);
    {
        __u32 i;

        for (i = 0; i < QSCN_PIXELS; ++i)
            src[i] = c->raw[i];
    }
    qscn_fill(c->raw, QSCN_PIXELS, 0);
    src_hash = qscn_hash(src, QSCN_PIXELS);
    ret = Quorvin_ImageProcessing(c->obj, src);
    qscn_print("image_processing ret=%d hash=%08x src_unchanged=%d", ret,
               qscn_hash(c->raw, QSCN_PIXELS), qscn_hash(src, QSCN_PIXELS) == src_hash);
    qscn_check(qscn_hash(src, QSCN_PIXELS) == src_hash, "source left unchanged");

    /* In place through the copying operation. */
    qscn_capture(c);
    ret = Quorvin_ImageProcessing(c->obj, c->raw);
    qscn_print("image_processing in place ret=%d hash=%08x", ret, qscn_hash(c->raw, QSCN_PIXELS));
    qscn_free(src);
}

int qscn_run_sequence(void) {
    struct qscn_camera cam;
    __u8 target[3] = {90, 4, 6};
    unsigned int frame = 0;
    unsigned int i;
    int ret;

    qscn_failures = 0;
    qscn_print("size %d", Quorvin_GetAWBObjectSize());
    if (qscn_camera_open(&cam) != 0) {
        qscn_print("CHECK FAILED: no memory");
        return 1;
    }
    qscn_unbound(&cam);

    qscn_bind(&cam);
    qscn_print("bound: shutter=%u/%u gain=%u flag=%d rgb=%u/%u/%u", cam.shutter_line,
               cam.shutter_clock, cam.gain, cam.flag, cam.r, cam.g, cam.b);
    /* The initial gains are copied: changing them now has no effect. */
    cam.init_gains[0] = 1;
    cam.init_gains[3] = 1;
    qscn_print_state(&cam, "initial");

    /* Automatic exposure, gain and white balance on captured frames. */
    for (i = 0; i < 42; ++i)
        qscn_check(qscn_frame(&cam, 0, frame++) == 0, "ALCWBalance returns 0");
    qscn_print_state(&cam, "after ALCWBalance");

    /* The module corrects the frames itself; the camera's gains stay neutral. */
    cam.apply_colour_gains = 0;
    for (i = 0; i < 21; ++i)
        qscn_check(qscn_frame(&cam, 1, frame++) == 0, "ImageBalance returns 0");
    qscn_print_state(&cam, "after ImageBalance");
    qscn_correction(&cam);

    /* Fixed white balance, manual gain, automatic exposure only. */
    ret = Quorvin_SetAutoAWB(cam.obj, 1);
    qscn_print("set_auto_awb(1) ret=%d", ret);
    ret = Quorvin_SetAutoGain(cam.obj, 0);
    qscn_print("set_auto_gain(0) ret=%d", ret);
    ret = Quorvin_SetAutoExposure(cam.obj, 0x10);
    qscn_print("set_auto_exposure(0x10) ret=%d", ret);
    qscn_print_state(&cam, "modes");
    cam.apply_colour_gains = 1;
    for (i = 0; i < 8; ++i)
        qscn_frame(&cam, 0, frame++);

    /* New target, speed and limits; exposure and gain automatic again. */
    ret = (int)Quorvin_CLuminance_SetTarget(cam.obj, target);
    qscn_print("set_target(90,4,6) ret=%d", ret);
    ret = (int)Quorvin_CLuminance_SetCtrlSpeed(cam.obj, 1, 1, 0, 2);
    qscn_print("set_ctrl_speed(1,1,0,2) ret=%d", ret);
    Quorvin_Set_Auto_Max_Gain(cam.obj, 40);
    Quorvin_Set_Auto_Min_Gain(cam.obj, 8);
    Quorvin_Set_Auto_Max_Shutter(cam.obj, 40);
    Quorvin_Set_Auto_Min_Shutter(cam.obj, 2);
    Quorvin_Set_Auto_Max_ShutterC(cam.obj, 0);
    Quorvin_Set_Auto_Min_ShutterC(cam.obj, 0);
    ret = Quorvin_SetAutoGain(cam.obj, 1);
    qscn_print("set_auto_gain(1) ret=%d", ret);
    qscn_print_state(&cam, "limits");
    /* The exposure may not pass 40 lines: the gain has to make up the rest. */
    for (i = 0; i < 30; ++i)
        qscn_frame(&cam, 0, frame++);
    qscn_print_state(&cam, "after limits");

    /* Manual colour gains from the driver's values (units of 1/16). */
    cam.r = 32;
    cam.g = 16;
    cam.b = 20;
    Quorvin_Set_Gain(cam.obj);
    qscn_print_state(&cam, "set_gain(32,16,20)");
    qscn_capture(&cam);
    ret = Quorvin_ColorProcessing(cam.obj);
    qscn_print("color_processing ret=%d hash=%08x", ret, qscn_hash(cam.raw, QSCN_PIXELS));

    /* Automatic white balance again, correcting in place. */
    ret = Quorvin_SetAutoAWB(cam.obj, 2);
    qscn_print("set_auto_awb(2) ret=%d", ret);
    cam.apply_colour_gains = 0;
    for (i = 0; i < 12; ++i)
        qscn_frame(&cam, 1, frame++);
    qscn_print_state(&cam, "final");

    Quorvin_FreeAWBObject(cam.obj);
    Quorvin_FreeAWBObject(cam.obj); /* a second release does nothing more */
    qscn_print("released: publications=%u frames=%u", cam.publications, frame);
    qscn_camera_close(&cam);
    qscn_print("sequence: %d failed checks", qscn_failures);
    return qscn_failures;
}

/* The threaded part: a frame thread and a control thread on one object. */

#define QSCN_THREAD_ROUNDS 150u

struct qscn_worker {
    struct qscn_camera* cam;
    __u8* src; /* control thread: source of the corrected copies */
    int control;
    unsigned int calls;
    unsigned int bad;
};

static void qscn_frame_thread(struct qscn_worker* w) {
    struct qscn_camera* c = w->cam;
    unsigned int i;
    int ret;

    for (i = 0; i < QSCN_THREAD_ROUNDS; ++i) {
        /* The frame buffer is rewritten only by the module (under its
         * lock): the control thread corrects it at the same time. */
        ret = (i & 1u) ? Quorvin_ImageBalance(c->obj) : Quorvin_ALCWBalance(c->obj);
        w->bad += ret != 0;
        if (c->flag != 0) {
            w->bad += c->flag != 1;
            ++c->publications;
            c->flag = 0;
        }
        ++w->calls;
        qscn_yield();
    }
}

static void qscn_control_thread(struct qscn_worker* w) {
    void* o = w->cam->obj;
    __u8 target[3] = {110, 4, 6};
    unsigned int i;

    for (i = 0; i < QSCN_THREAD_ROUNDS; ++i) {
        switch (i % 10u) {
        case 0:
            w->bad += Quorvin_SetAutoAWB(o, (BYTE)(2u + (i / 10u) % 2u)) != 0;
            break;
        case 1:
            w->bad += Quorvin_SetAutoGain(o, 1) != 0;
            break;
        case 2:
            w->bad += Quorvin_SetAutoExposure(o, 0x10) != 0;
            break;
        case 3:
            target[0] = (__u8)(100u + i % 40u);
            w->bad += Quorvin_CLuminance_SetTarget(o, target) != TRUE;
            break;
        case 4:
            w->bad += Quorvin_CLuminance_SetCtrlSpeed(o, 0, 0, (BYTE)(i % 3u), 2) != TRUE;
            break;
        case 5:
            Quorvin_Set_Auto_Max_Gain(o, (WORD)(200u + i));
            Quorvin_Set_Auto_Min_Gain(o, 0);
            Quorvin_Set_Auto_Max_Shutter(o, 0);
            break;
        case 6:
            Quorvin_Set_Auto_Min_Shutter(o, 1);
            Quorvin_Set_Auto_Max_ShutterC(o, 0);
            Quorvin_Set_Auto_Min_ShutterC(o, 0);
            break;
        case 7:
            /* Reloads the tables from the values the module published. */
            Quorvin_Set_Gain(o);
            break;
        case 8:
            w->bad += Quorvin_ColorProcessing(o) != TRUE;
            break;
        default:
            w->bad += Quorvin_ImageProcessing(o, w->src) != TRUE;
            break;
        }
        ++w->calls;
        qscn_yield();
    }
}

static void qscn_worker_main(void* arg) {
    struct qscn_worker* w = (struct qscn_worker*)arg;

    if (w->control)
        qscn_control_thread(w);
    else
        qscn_frame_thread(w);
}

int qscn_run_threads(void) {
    struct qscn_camera cam;
    struct qscn_worker frame_worker, control_worker;
    __u8* src;
    int started;
    int ret;

    qscn_failures = 0;
    src = (__u8*)qscn_alloc(QSCN_PIXELS);
    if (!src || qscn_camera_open(&cam) != 0) {
        qscn_free(src);
        qscn_print("CHECK FAILED: no memory");
        return 1;
    }
    qscn_bind(&cam);
    qscn_capture(&cam);
    {
        __u32 i;

        for (i = 0; i < QSCN_PIXELS; ++i)
            src[i] = cam.raw[i];
    }
    qscn_fill(&frame_worker, sizeof(frame_worker), 0);
    qscn_fill(&control_worker, sizeof(control_worker), 0);
    frame_worker.cam = &cam;
    control_worker.cam = &cam;
    control_worker.src = src;
    control_worker.control = 1;

    started = qscn_run_two(qscn_worker_main, &frame_worker, &control_worker);
    qscn_check(started == 0, "both threads started");

    /* The lock must be free again and the object intact. */
    ret = Quorvin_SetAutoAWB(cam.obj, 2);
    qscn_check(ret == 0, "lock free after both threads");
    qscn_check(qscn_object(&cam)->magic == QUORVIN_AWB_MAGIC, "object intact");
    qscn_check(frame_worker.bad == 0 && control_worker.bad == 0, "expected results in threads");
    qscn_print("threads: frame calls=%u control calls=%u unexpected results=%u/%u after=%d",
               frame_worker.calls, control_worker.calls, frame_worker.bad, control_worker.bad, ret);
    Quorvin_FreeAWBObject(cam.obj);
    qscn_camera_close(&cam);
    qscn_free(src);
    qscn_print("threads: %d failed checks", qscn_failures);
    return qscn_failures;
}
