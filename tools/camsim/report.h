/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// What a run tells a driver author: the per-frame trace, the convergence
// summary and the plots.
#ifndef QUORVIN_CAMSIM_REPORT_H
#define QUORVIN_CAMSIM_REPORT_H

#include "simulator.h"
#include <AWB/AWB.h>

#include <cstdio>
#include <string>

namespace camsim {

// Greys count as neutral when their colour error is at most this.
constexpr double kNeutralError = 0.02;

struct Summary {
    std::string scenario;
    int frames = 0;
    int settle_from = 0; // the frame from which the light stays as it ends
    int target = QUORVIN_LUM_DEFAULT_TARGET, tolerance = QUORVIN_LUM_DEFAULT_TOLERANCE,
        threshold = QUORVIN_LUM_DEFAULT_THRESHOLD;
    // Frames after settle_from until the brightness stays within target +-
    // tolerance to the end of the run; -1 if it never does.
    int frames_to_target = -1;
    // The same for the band in which the module leaves a resting control
    // alone (target +- (tolerance + threshold)).
    int frames_to_dead_band = -1;
    // The same for the greys' colour error staying within 2 %; -1 if never.
    // has_greys is false when no frame showed a measurable grey patch.
    bool has_greys = false;
    int frames_to_neutral = -1;
    // Levels by which the brightness went past the target on the far side of
    // where it started (after settle_from), and how many times it swung from
    // beyond the tolerance on one side to beyond it on the other.
    int overshoot = 0;
    int oscillations = 0;
    int publications = 0; // shutter and gain publications over the whole run
    // Frames Quorvin_ImageBalance returned uncorrected (no controller due);
    // they are left out of the convergence measures above.
    int uncorrected = 0;
    int final_brightness = 0;
    int final_brightness_error = 0; // final brightness - target
    double final_grey_error = 0;    // fraction; NaN when no grey could be measured
    double final_clipped = 0;       // fraction of pixels at 255 in the last frame
    double max_clipped_settled = 0; // largest such fraction after settling
    // Degrees between the illuminant the final colour gains imply and the
    // true one; NaN for a replay.
    double final_angular_error = 0;
    // The target in force at the end (the highlight guard's, or the
    // configured one), and how often the guard's target turned down again
    // after rising, from the light's last change on (pumping).
    int final_target_in_force = 0;
    int target_reversals = 0;
    // Mean fraction of pixels at 255 once the brightness rests (from the
    // first frame within the resting band of the target in force to the end;
    // the last 30 frames if it never rests).
    double clipped_at_rest = 0;
    int final_r = 0, final_g = 0, final_b = 0;
    int final_gain_reg = 0;
    double final_exposure_ms = 0;
};

Summary summarise(const RunResult& run);
void print_summary(std::FILE* out, const Summary& s);
std::string summary_json(const Summary& s);

// v with the given decimals, or `missing` when v is not finite.
std::string format_number(double v, int decimals, const char* missing);

bool write_trace_csv(const std::string& path, const RunResult& run, std::string* error);
bool write_trace_jsonl(const std::string& path, const RunResult& run, std::string* error);
bool write_text(const std::string& path, const std::string& text, std::string* error);

// Writes a gnuplot script next to the CSV trace and runs it (gnuplot from
// Debian's gnuplot-nox), giving plot-brightness.png, plot-shutter.png,
// plot-gain.png and plot-colour-gains.png in dir. Returns false with a
// message when gnuplot is missing or fails.
bool make_plots(const std::string& dir, const RunResult& run, std::string* error);

} // namespace camsim

#endif
