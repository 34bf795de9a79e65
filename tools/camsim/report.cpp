// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace camsim {

std::string format_number(double v, int decimals, const char* missing) {
    if (!std::isfinite(v))
        return missing;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

namespace {

std::string number(double v, int decimals) {
    return format_number(v, decimals, "null");
}

std::string csv_number(double v, int decimals) {
    return format_number(v, decimals, "");
}

// The first frame from `from` after which pred holds to the end; -1 if none.
template <typename Pred> int settled_from(const RunResult& run, int from, Pred pred) {
    int first = -1;
    for (std::size_t i = static_cast<std::size_t>(from); i < run.frames.size(); ++i) {
        if (run.frames[i].uncorrected)
            continue;
        if (pred(run.frames[i])) {
            if (first < 0)
                first = static_cast<int>(i);
        } else {
            first = -1;
        }
    }
    return first < 0 ? -1 : first - from;
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

Summary summarise(const RunResult& run) {
    Summary s;
    s.scenario = run.scenario;
    s.frames = static_cast<int>(run.frames.size());
    s.settle_from = run.settle_from;
    s.target = run.target;
    s.tolerance = run.tolerance;
    s.threshold = run.threshold;
    if (run.frames.empty())
        return s;
    // Brightness is measured against the target the module works to on each
    // frame: the configured one, or the highlight guard's.
    s.frames_to_target = settled_from(run, run.settle_from, [&](const FrameRecord& f) {
        return std::abs(f.brightness - f.target_in_force) <= run.tolerance;
    });
    s.frames_to_dead_band = settled_from(run, run.settle_from, [&](const FrameRecord& f) {
        return std::abs(f.brightness - f.target_in_force) <= run.tolerance + run.threshold;
    });
    s.frames_to_neutral = settled_from(run, run.settle_from, [](const FrameRecord& f) {
        return std::isfinite(f.grey_error) && f.grey_error <= kNeutralError;
    });
    // Overshoot and swings, from the light's last change on.
    // Swings are counted around one target: when the highlight guard moves
    // the target in force, the brightness starts afresh on one side of it.
    int start_sign = 0, side = 0, swing_target = -1;
    for (std::size_t i = static_cast<std::size_t>(run.settle_from); i < run.frames.size(); ++i) {
        if (run.frames[i].uncorrected)
            continue;
        if (run.frames[i].target_in_force != swing_target) {
            swing_target = run.frames[i].target_in_force;
            side = 0;
        }
        const int e = run.frames[i].brightness - run.frames[i].target_in_force;
        if (start_sign == 0 && e != 0)
            start_sign = e > 0 ? 1 : -1;
        if (start_sign != 0 && e * start_sign < 0)
            s.overshoot = std::max(s.overshoot, std::abs(e));
        const int now = e > run.tolerance ? 1 : (e < -run.tolerance ? -1 : 0);
        if (now != 0) {
            if (side != 0 && now != side)
                ++s.oscillations;
            side = now;
        }
    }
    // Pumping: the guard's target falling again after it rose.
    int last_move = 0;
    for (std::size_t i = static_cast<std::size_t>(std::max(1, run.settle_from));
         i < run.frames.size(); ++i) {
        const int move = run.frames[i].target_in_force - run.frames[i - 1].target_in_force;
        if (move == 0)
            continue;
        if (move < 0 && last_move > 0)
            ++s.target_reversals;
        last_move = move;
    }
    {
        const int rest_from = s.frames_to_dead_band >= 0 ? run.settle_from + s.frames_to_dead_band
                                                         : std::max(0, s.frames - 30);
        double sum = 0;
        int count = 0;
        for (std::size_t i = static_cast<std::size_t>(rest_from); i < run.frames.size(); ++i) {
            sum += run.frames[i].clipped;
            ++count;
        }
        s.clipped_at_rest = count > 0 ? sum / count : 0.0;
    }
    for (const FrameRecord& f : run.frames) {
        s.has_greys = s.has_greys || std::isfinite(f.grey_error);
        s.publications += f.published;
        s.uncorrected += f.uncorrected;
    }
    const FrameRecord& last = run.frames.back();
    s.final_brightness = last.brightness;
    s.final_brightness_error = last.brightness - run.target;
    s.final_grey_error = last.grey_error;
    s.final_clipped = last.clipped;
    s.final_angular_error = last.angular_error;
    s.final_target_in_force = last.target_in_force;
    const int settled =
        run.settle_from + (s.frames_to_target >= 0 ? s.frames_to_target : s.frames - 1);
    for (std::size_t i = static_cast<std::size_t>(std::min(settled, s.frames - 1));
         i < run.frames.size(); ++i)
        s.max_clipped_settled = std::max(s.max_clipped_settled, run.frames[i].clipped);
    s.final_r = last.r;
    s.final_g = last.g;
    s.final_b = last.b;
    s.final_gain_reg = last.gain_reg;
    s.final_exposure_ms = last.exposure_ms;
    return s;
}

void print_summary(std::FILE* out, const Summary& s) {
    auto frames_text = [](int n) { return n < 0 ? std::string("never") : std::to_string(n); };
    std::fprintf(out, "scenario %s: %d frames, light constant from frame %d\n", s.scenario.c_str(),
                 s.frames, s.settle_from);
    std::fprintf(out, "  brightness within %d +- %d after   %s frames\n", s.target, s.tolerance,
                 frames_text(s.frames_to_target).c_str());
    std::fprintf(out, "  brightness within %d +- %d after  %s frames (the resting dead band)\n",
                 s.target, s.tolerance + s.threshold, frames_text(s.frames_to_dead_band).c_str());
    if (s.has_greys)
        std::fprintf(out, "  greys neutral within 2 %% after  %s frames\n",
                     frames_text(s.frames_to_neutral).c_str());
    else
        std::fprintf(out, "  greys: no grey patch in view, colour error not measured\n");
    std::fprintf(out, "  overshoot %d levels, %d oscillations, %d publications\n", s.overshoot,
                 s.oscillations, s.publications);
    if (s.uncorrected > 0)
        std::fprintf(out, "  %d frames returned uncorrected (no controller due; left out above)\n",
                     s.uncorrected);
    std::fprintf(out, "  final: brightness %d (error %+d), grey error %s %%, clipped %.2f %%\n",
                 s.final_brightness, s.final_brightness_error,
                 number(100.0 * s.final_grey_error, 2).c_str(), 100.0 * s.final_clipped);
    std::fprintf(out, "  final: exposure %.2f ms, gain register %d, R G B %d %d %d (1/16)\n",
                 s.final_exposure_ms, s.final_gain_reg, s.final_r, s.final_g, s.final_b);
    std::fprintf(out, "  final: illuminant angular error %s degrees, clipped at rest %.2f %%\n",
                 number(s.final_angular_error, 2).c_str(), 100.0 * s.clipped_at_rest);
    if (s.final_target_in_force != s.target || s.target_reversals != 0)
        std::fprintf(out, "  highlight guard: target in force %d, %d reversals\n",
                     s.final_target_in_force, s.target_reversals);
}

std::string summary_json(const Summary& s) {
    auto frames_value = [](int n) { return n < 0 ? std::string("null") : std::to_string(n); };
    std::ostringstream o;
    o << "{\n"
      << "  \"scenario\": \"" << s.scenario << "\",\n"
      << "  \"frames\": " << s.frames << ",\n"
      << "  \"settle_from\": " << s.settle_from << ",\n"
      << "  \"target\": " << s.target << ",\n"
      << "  \"tolerance\": " << s.tolerance << ",\n"
      << "  \"frames_to_target\": " << frames_value(s.frames_to_target) << ",\n"
      << "  \"threshold\": " << s.threshold << ",\n"
      << "  \"frames_to_dead_band\": " << frames_value(s.frames_to_dead_band) << ",\n"
      << "  \"frames_to_neutral\": " << frames_value(s.frames_to_neutral) << ",\n"
      << "  \"neutral_limit\": " << number(kNeutralError, 3) << ",\n"
      << "  \"overshoot\": " << s.overshoot << ",\n"
      << "  \"oscillations\": " << s.oscillations << ",\n"
      << "  \"publications\": " << s.publications << ",\n"
      << "  \"uncorrected_frames\": " << s.uncorrected << ",\n"
      << "  \"final_brightness\": " << s.final_brightness << ",\n"
      << "  \"final_brightness_error\": " << s.final_brightness_error << ",\n"
      << "  \"final_grey_error\": " << number(s.final_grey_error, 5) << ",\n"
      << "  \"final_clipped\": " << number(s.final_clipped, 5) << ",\n"
      << "  \"max_clipped_settled\": " << number(s.max_clipped_settled, 5) << ",\n"
      << "  \"final_exposure_ms\": " << number(s.final_exposure_ms, 3) << ",\n"
      << "  \"final_gain_register\": " << s.final_gain_reg << ",\n"
      << "  \"final_rgb\": [" << s.final_r << ", " << s.final_g << ", " << s.final_b << "],\n"
      << "  \"final_angular_error\": " << number(s.final_angular_error, 3) << ",\n"
      << "  \"clipped_at_rest\": " << number(s.clipped_at_rest, 5) << ",\n"
      << "  \"final_target_in_force\": " << s.final_target_in_force << ",\n"
      << "  \"target_reversals\": " << s.target_reversals << "\n"
      << "}\n";
    return o.str();
}

bool write_text(const std::string& path, const std::string& text, std::string* error) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.close();
    if (!f) {
        *error = path + ": cannot write";
        return false;
    }
    return true;
}

bool write_trace_csv(const std::string& path, const RunResult& run, std::string* error) {
    std::ostringstream o;
    o << "frame,lux,kelvin,pan,brightness,target,shutter_line,shutter_clock,exposure_ms,"
         "gain_register,gain,camera_r,camera_g,camera_b,R,G,B,published,grey_error,clipped,"
         "luminance_mode,awb_mode,uncorrected,target_in_force,angular_error\n";
    for (const FrameRecord& f : run.frames)
        o << f.frame << ',' << number(f.lux, 3) << ',' << number(f.kelvin, 0) << ',' << f.pan << ','
          << f.brightness << ',' << run.target << ',' << f.shutter_line << ',' << f.shutter_clock
          << ',' << number(f.exposure_ms, 4) << ',' << f.gain_reg << ',' << number(f.gain, 4) << ','
          << number(f.camera_rgb[0], 4) << ',' << number(f.camera_rgb[1], 4) << ','
          << number(f.camera_rgb[2], 4) << ',' << f.r << ',' << f.g << ',' << f.b << ','
          << (f.published ? 1 : 0) << ',' << csv_number(f.grey_error, 5) << ','
          << number(f.clipped, 5) << ',' << static_cast<int>(f.luminance_mode) << ','
          << static_cast<int>(f.awb_mode) << ',' << (f.uncorrected ? 1 : 0) << ','
          << f.target_in_force << ',' << csv_number(f.angular_error, 3) << '\n';
    return write_text(path, o.str(), error);
}

bool write_trace_jsonl(const std::string& path, const RunResult& run, std::string* error) {
    std::ostringstream o;
    for (const FrameRecord& f : run.frames)
        o << "{\"frame\": " << f.frame << ", \"lux\": " << number(f.lux, 3)
          << ", \"kelvin\": " << number(f.kelvin, 0) << ", \"pan\": " << f.pan
          << ", \"brightness\": " << f.brightness << ", \"target\": " << run.target
          << ", \"shutter_line\": " << f.shutter_line << ", \"shutter_clock\": " << f.shutter_clock
          << ", \"exposure_ms\": " << number(f.exposure_ms, 4)
          << ", \"gain_register\": " << f.gain_reg << ", \"gain\": " << number(f.gain, 4)
          << ", \"camera_rgb\": [" << number(f.camera_rgb[0], 4) << ", "
          << number(f.camera_rgb[1], 4) << ", " << number(f.camera_rgb[2], 4) << "]"
          << ", \"rgb\": [" << f.r << ", " << f.g << ", " << f.b << "]"
          << ", \"published\": " << (f.published ? "true" : "false")
          << ", \"grey_error\": " << number(f.grey_error, 5)
          << ", \"clipped\": " << number(f.clipped, 5)
          << ", \"luminance_mode\": " << static_cast<int>(f.luminance_mode)
          << ", \"awb_mode\": " << static_cast<int>(f.awb_mode)
          << ", \"uncorrected\": " << (f.uncorrected ? "true" : "false")
          << ", \"target_in_force\": " << f.target_in_force
          << ", \"angular_error\": " << number(f.angular_error, 3) << "}\n";
    return write_text(path, o.str(), error);
}

bool make_plots(const std::string& dir, const RunResult& run, std::string* error) {
    if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) {
        *error = "gnuplot not found (Debian package gnuplot-nox); plots skipped";
        return false;
    }
    const int upper = run.target + run.tolerance, lower = run.target - run.tolerance;
    int max_gain = 0;
    for (const FrameRecord& f : run.frames)
        max_gain = std::max<int>(max_gain, f.gain_reg);
    std::ostringstream g;
    g << "# Plots of a virtual camera run; data from trace.csv.\n"
      << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
      << "  set terminal pngcairo size 900,360 font 'sans,10'\n"
      << "} else {\n"
      << "  set terminal png size 900,360\n"
      << "}\n"
      << "set datafile separator ','\n"
      << "set key autotitle columnhead outside right top\n"
      << "set grid\n"
      << "set xlabel 'frame'\n"
      << "set xrange [0:" << std::max<std::size_t>(1, run.frames.size() - 1) << "]\n"
      << "set style line 1 lc rgb '#1f77b4' lw 2\n"
      << "set style line 2 lc rgb '#555555' lw 1 dt 2\n"
      << "set style line 3 lc rgb '#d62728' lw 2\n"
      << "set style line 4 lc rgb '#2ca02c' lw 2\n"
      << "set style line 5 lc rgb '#1f4fff' lw 2\n"
      << "set arrow from " << run.settle_from << ", graph 0 to " << run.settle_from
      << ", graph 1 nohead lc rgb '#aaaaaa' dt 3\n"
      << "\n"
      << "set output 'plot-brightness.png'\n"
      << "set title 'Brightness (module measure) against the target'\n"
      << "set ylabel 'level (0..255)'\n"
      << "set yrange [0:255]\n"
      << "plot " << lower << " with filledcurves y1=" << upper
      << " fc rgb '#dde8dd' title 'target +- tolerance', \\\n"
      << "     'trace.csv' using 1:6 with lines ls 2 title 'target', \\\n"
      << "     '' using 1:5 with lines ls 1 title 'brightness', \\\n"
      << "     '' using 1:($23 == 1 ? $5 : 1/0) with points pt 7 ps 0.6 lc rgb '#d62728' "
         "title 'returned uncorrected'\n"
      << "set autoscale y\n"
      << "\n"
      << "set output 'plot-shutter.png'\n"
      << "set title 'Exposure the sensor used'\n"
      << "set ylabel 'exposure (ms)'\n"
      << "set y2label 'shutter (lines)'\n"
      << "set ytics nomirror\n"
      << "set y2tics\n"
      << "plot 'trace.csv' using 1:9 with steps ls 1 title 'exposure (ms)', \\\n"
      << "     '' using 1:7 axes x1y2 with steps ls 2 title 'shutter lines'\n"
      << "unset y2tics\n"
      << "unset y2label\n"
      << "set ytics mirror\n"
      << "\n"
      << "set output 'plot-gain.png'\n"
      << "set title 'Analogue (CDS) gain the sensor used'\n"
      << "set ylabel 'gain register'\n"
      << "set yrange [0:" << max_gain + 16 << "]\n"
      << "plot 'trace.csv' using 1:10 with steps ls 3 title 'gain register'\n"
      << "set autoscale y\n"
      << "\n"
      << "set output 'plot-colour-gains.png'\n"
      << "set title 'Colour gains written to R, G, B (16 = x1.0)'\n"
      << "set ylabel 'value (1/16)'\n"
      << "set yrange [0:*]\n"
      << "plot 'trace.csv' using 1:15 with steps ls 3 title 'R', \\\n"
      << "     '' using 1:16 with steps ls 4 title 'G', \\\n"
      << "     '' using 1:17 with steps ls 5 title 'B'\n"
      << "set autoscale y\n";
    if (summarise(run).has_greys)
        g << "\n"
          << "set output 'plot-grey-error.png'\n"
          << "set title 'Colour error of the grey patches'\n"
          << "set ylabel 'error (%)'\n"
          << "set yrange [0:*]\n"
          << "plot 2 with lines ls 2 title '2 %', \\\n"
          << "     'trace.csv' using 1:($19*100) with lines ls 1 title 'grey error'\n";
    if (!write_text(dir + "/plots.gp", g.str(), error))
        return false;
    const std::string cmd = "cd " + shell_quote(dir) + " && gnuplot plots.gp";
    if (std::system(cmd.c_str()) != 0) {
        *error = "gnuplot failed on " + dir + "/plots.gp";
        return false;
    }
    return true;
}

} // namespace camsim
