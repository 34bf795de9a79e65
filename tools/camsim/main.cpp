// SPDX-License-Identifier: GPL-2.0 OR MIT
// quorvin-camsim: a virtual USB camera and its driver around the balance
// object. Renders frames from a scene, runs them through the module frame by
// frame exactly as a driver does, and writes pictures, a trace, a summary and
// plots. With --raw it replays recorded Bayer frames through the module.
#include "batch.h"
#include "image_io.h"
#include "report.h"
#include "simulator.h"

#include <CLI/CLI.hpp>

#include <array>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using camsim::Entry;

// A progress bar on a terminal; nothing when stdout is a file or a pipe.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}
    void operator()(int done, int total) {
        if (!enabled_)
            return;
        const int width = 40;
        const int filled = total > 0 ? done * width / total : width;
        if (filled == last_ && done != total)
            return;
        last_ = filled;
        std::printf(
            "\r[%s%s] %d/%d frames", std::string(static_cast<std::size_t>(filled), '#').c_str(),
            std::string(static_cast<std::size_t>(width - filled), '.').c_str(), done, total);
        if (done == total)
            std::printf("\n");
        std::fflush(stdout);
    }

private:
    bool enabled_;
    int last_ = -1;
};

template <typename T> std::vector<std::string> Keys(const std::map<std::string, T>& m) {
    std::vector<std::string> k;
    for (const auto& [name, value] : m)
        k.push_back(name);
    return k;
}

// Everything the command line sets: the simulation and what to do with it.
struct Options {
    camsim::SimConfig cfg;
    bool list = false;
    bool no_plots = false;
    std::string out_dir = "camsim-out";
    std::string raw_in, raw_out, record;
    // Batch mode: a folder of photographs and the scenarios to run on each.
    std::string batch_dir;
    std::vector<std::string> batch_scenarios = {"chart", "dim-room", "lights-on", "sunset",
                                                "illuminant-change"};
};

// A named choice (--awb auto, --entry image ...) written straight into its
// field through the table of names.
template <typename T>
CLI::Option* AddChoice(CLI::App& app, const std::string& name,
                       const std::map<std::string, T>& table, T& field,
                       const std::string& defaultName, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name, [&field, table](const std::string& value) { field = table.at(value); }, help)
        ->check(CLI::IsMember(Keys(table)))
        ->default_str(defaultName);
}

// The register a setting is written to: the field's own type, or that of
// its elements, set or not.
template <typename T> struct RegisterOf { using type = T; };
template <typename T> struct RegisterOf<std::optional<T>> : RegisterOf<T> {};
template <typename T, std::size_t N> struct RegisterOf<std::array<T, N>> : RegisterOf<T> {};

// A register value (or values) in the module's units, checked against the
// register's range: 0..255 for a byte, 0..65535 for a word.
template <typename T>
CLI::Option* AddRegister(CLI::App& app, const std::string& name, T& field,
                         const std::string& help) {
    const int largest = std::numeric_limits<typename RegisterOf<T>::type>::max();
    return app.add_option(name, field, help)->check(CLI::Range(0, largest));
}

// Fills opt from the command line. Returns -1 to go on, or the exit status
// of a run that ends here (help, a bad option).
int ParseArgs(int argc, char** argv, Options& opt) {
    CLI::App app{
        "quorvin-camsim: a virtual USB camera and driver around the Quorvin AWB module.\n"
        "Renders a scene through a sensor model, runs the module on every frame as a\n"
        "camera driver does, and writes pictures, a per-frame trace, a summary and plots."};
    app.footer("Scenarios: chart (default), dim-room, lights-on, sunset, window-pan,\n"
               "illuminant-change (see --list-scenarios). Values are in the module's units:\n"
               "shutter in lines (and clocks), gain as the CDS gain register, colour gains\n"
               "in 1/128 (white balance) or 1/16 (the driver's R, G, B).");
    camsim::SimConfig& cfg = opt.cfg;
    camsim::ModuleSettings& m = cfg.module;
    camsim::SensorConfig& sensor = cfg.sensor;

    // Scene and run.
    app.add_flag("--list-scenarios", opt.list, "List the built-in scenarios and exit");
    app.add_option("-s,--scenario", cfg.scenario, "Built-in scenario")
        ->check(CLI::IsMember([] {
            std::vector<std::string> names;
            for (const auto& s : camsim::scenarios())
                names.push_back(s.name);
            return names;
        }()))
        ->capture_default_str();
    app.add_option("--scene", cfg.scene_png, "A PNG to use as the scene instead of the chart")
        ->check(CLI::ExistingFile);
    app.add_option("--raw", opt.raw_in,
                   "Replay recorded 8-bit RGGB frames (width x height bytes each, back to back) "
                   "through the module instead of rendering")
        ->check(CLI::ExistingFile);
    app.add_option("--raw-out", opt.raw_out,
                   "Where --raw writes the frames as the driver holds them after each call "
                   "(default OUT/corrected.raw)");
    app.add_option("--record", opt.record, "Also write the rendered raw frames to this file");
    app.add_option("--width", cfg.width, "Frame width in pixels")
        ->check(CLI::Range(2, 8192))
        ->capture_default_str();
    app.add_option("--height", cfg.height, "Frame height in lines")
        ->check(CLI::Range(2, 8192))
        ->capture_default_str();
    app.add_option("-n,--frames", cfg.frames, "Frames to run (default: the scenario's length)");
    app.add_option("--seed", cfg.seed, "Seed of the sensor noise")->capture_default_str();
    app.add_option("--latency", cfg.latency,
                   "Frames from a publication to the first frame exposed with it")
        ->check(CLI::Range(1, 30))
        ->capture_default_str();
    app.add_option("--lux-scale", cfg.lux_scale, "Multiply the scenario's light level")
        ->check(CLI::PositiveNumber);
    app.add_option("--kelvin", cfg.kelvin, "Fixed colour temperature of the light (K)")
        ->check(CLI::Range(1667.0, 25000.0));
    app.add_option("-o,--out", opt.out_dir, "Output directory")->capture_default_str();
    app.add_flag("--no-plots", opt.no_plots, "Do not run gnuplot");

    // Sensor.
    app.add_option("--lines", sensor.lines_per_frame, "Lines per frame (frame timing)")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option("--clocks", sensor.clocks_per_line, "Pixel clocks per line (frame timing)")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option_function<double>(
           "--pixel-clock", [&sensor](double mhz) { sensor.pixel_clock_hz = mhz * 1e6; },
           "Pixel clock in MHz")
        ->check(CLI::PositiveNumber)
        ->default_val(sensor.pixel_clock_hz / 1e6);
    AddChoice(app, "--shutter-unit", std::map<std::string, bool>{{"line", false}, {"clock", true}},
              sensor.clock_unit_shutter, "line",
              "Shutter control to the line, or to the clock (the trigger_version flag)");
    app.add_flag_callback(
        "--no-noise", [&sensor] { sensor.noise = false; }, "Render without shot and read noise");

    // Module.
    AddChoice(app, "--entry",
              std::map<std::string, Entry>{{"alc", Entry::Alc}, {"image", Entry::Image}}, m.entry,
              "image",
              "alc: Quorvin_ALCWBalance, the camera applies R, G, B; image: "
              "Quorvin_ImageBalance, the module corrects the frame");
    const std::map<std::string, std::uint8_t> awb_modes{{"off", QUORVIN_WB_OFF},
                                                        {"fixed", QUORVIN_WB_FIXED},
                                                        {"auto", QUORVIN_WB_AUTO},
                                                        {"oneshot", QUORVIN_WB_ONE_SHOT}};
    const std::map<std::string, std::uint8_t> lum_modes{{"off", QUORVIN_LUM_MANUAL},
                                                        {"auto", QUORVIN_LUM_CONTINUOUS},
                                                        {"oneshot", QUORVIN_LUM_ONE_SHOT}};
    AddChoice(app, "--awb", awb_modes, m.awb_mode, "auto",
              "White balance: auto, oneshot, fixed (current gains) or off");
    AddChoice(app, "--exposure", lum_modes, m.exposure_mode, "auto",
              "Automatic exposure: auto, oneshot or off");
    AddChoice(app, "--gain", lum_modes, m.gain_mode, "auto",
              "Automatic gain: auto, oneshot or off");
    AddRegister(app, "--target", m.target, "Brightness target (0..255; module default 128)");
    AddRegister(app, "--tolerance", m.tolerance,
                "Dead band while control runs (levels; default 5)");
    AddRegister(app, "--threshold", m.threshold,
                "Extra dead band while control rests (levels; default 5)");
    AddRegister(app, "--shutter-speed", m.shutter_speed,
                "Exposure speed limit S: a step changes it by at most 1/(S+1); 0 fastest");
    AddRegister(app, "--gain-speed", m.gain_speed, "Gain speed limit (0 fastest)");
    AddRegister(app, "--skip", m.skip_frames, "Frames skipped after each evaluation (default 3)");
    AddRegister(app, "--average", m.average_frames,
                "Frames averaged for each evaluation (default 4)");
    AddRegister(app, "--max-gain", m.max_gain, "Automatic gain maximum (register; default 255)");
    AddRegister(app, "--min-gain", m.min_gain, "Automatic gain minimum (register; default 0)");
    AddRegister(app, "--max-shutter", m.max_shutter_line,
                "Automatic exposure maximum, lines (0 with 0 clocks: one frame)");
    AddRegister(app, "--min-shutter", m.min_shutter_line, "Automatic exposure minimum, lines");
    AddRegister(app, "--max-shutter-clock", m.max_shutter_clock,
                "Automatic exposure maximum, clocks part");
    AddRegister(app, "--min-shutter-clock", m.min_shutter_clock,
                "Automatic exposure minimum, clocks part");
    AddRegister(app, "--shutter", m.initial_shutter_line,
                "Initial shutter, lines (default: the scenario's)");
    AddRegister(app, "--shutter-clock", m.initial_shutter_clock, "Initial shutter, clocks part");
    AddRegister(app, "--initial-gain", m.initial_gain,
                "Initial CDS gain register; also the module's reference gain")
        ->capture_default_str();
    AddRegister(app, "--wb-gains", m.initial_wb_gain,
                "Initial white balance gains R,Gr,Gb,B in 1/128 (128 = x1.0)")
        ->delimiter(',');
    AddRegister(app, "--manual-rgb", m.manual_rgb,
                "Colour gains R,G,B in the driver's 1/16, loaded with Quorvin_Set_Gain")
        ->delimiter(',');

    app.add_flag_callback(
        "--highlight-guard", [&m] { m.highlight_guard = true; },
        "Turn on the highlight guard (Quorvin_SetHighlightGuard)");
    AddRegister(app, "--guard-budget", m.guard_budget,
                "Highlight guard: pixels allowed at 255, per mille")
        ->capture_default_str();
    AddRegister(app, "--guard-floor", m.guard_floor, "Highlight guard: lowest target")
        ->capture_default_str();
    app.add_flag_callback(
        "--robust-awb", [&m] { m.robust_awb = true; },
        "Robust white balance statistic (Quorvin_SetRobustAWB)");
    app.add_option("--batch", opt.batch_dir,
                   "Run every photograph (.png, .jpg) of this folder through every scenario of "
                   "--batch-scenarios, with the default modes and with the highlight guard and "
                   "robust white balance; writes batch.md, batch.csv and contact-sheet.png")
        ->check(CLI::ExistingDirectory);
    app.add_option("--batch-scenarios", opt.batch_scenarios, "Scenarios of the batch mode")
        ->delimiter(',')
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return -1;
}

// Renders the scenario, or replays opt.raw_in into rawOut, with the
// rendered frames also written to opt.record. Returns 0, or the exit status
// after an error it has printed.
int Capture(const Options& opt, const std::string& rawOut, camsim::RunResult* run) {
    const camsim::SimConfig& cfg = opt.cfg;
    Progress progress(isatty(STDOUT_FILENO) != 0);
    std::string error;
    bool ok;
    if (!opt.raw_in.empty()) {
        ok = camsim::replay_raw(cfg, opt.raw_in, rawOut, run, &error, std::ref(progress));
    } else {
        const std::string& record = opt.record;
        std::FILE* rec = nullptr;
        if (!record.empty() && !(rec = std::fopen(record.c_str(), "wb"))) {
            std::fprintf(stderr, "error: %s: cannot create\n", record.c_str());
            return 1;
        }
        const std::size_t frameBytes =
            static_cast<std::size_t>(cfg.width) * static_cast<std::size_t>(cfg.height);
        bool recOk = true;
        ok = camsim::run_simulation(
            cfg, run, &error, std::ref(progress), [&](const std::uint8_t* frame) {
                if (rec && std::fwrite(frame, 1, frameBytes, rec) != frameBytes)
                    recOk = false;
            });
        if (rec && (std::fclose(rec) != 0 || !recOk)) {
            std::fprintf(stderr, "error: %s: write error\n", record.c_str());
            return 1;
        }
    }
    if (!ok) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// The trace, the summary and the pictures of the first and last frames.
bool WriteResults(const std::string& outDir, const camsim::RunResult& run,
                  const camsim::Summary& summary, std::string* error) {
    const auto view = [&run](const std::vector<std::uint8_t>& frame) {
        return camsim::raw_to_view(frame.data(), run.width, run.height);
    };
    return camsim::write_trace_csv(outDir + "/trace.csv", run, error) &&
           camsim::write_trace_jsonl(outDir + "/trace.jsonl", run, error) &&
           camsim::write_text(outDir + "/summary.json", camsim::summary_json(summary), error) &&
           camsim::write_png(outDir + "/first-last.png",
                             camsim::side_by_side(view(run.first_frame), view(run.last_frame), 8),
                             error) &&
           camsim::write_png(outDir + "/last.png", view(run.last_frame), error);
}

void PrintWritten(const std::string& outDir, bool plots, const std::string& rawOut) {
    std::printf("\nwritten to %s/:\n", outDir.c_str());
    std::printf("  first-last.png   first and last frame, demosaiced, side by side\n");
    std::printf("  last.png         the last frame alone\n");
    if (plots)
        std::printf("  plot-*.png       brightness, shutter, gain, colour gains, grey error\n");
    std::printf("  trace.csv        one line per frame (also trace.jsonl)\n");
    std::printf("  summary.json     the summary above\n");
    if (!rawOut.empty())
        std::printf("  %s  the frames after the module\n", rawOut.c_str());
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int status = ParseArgs(argc, argv, opt); status >= 0)
        return status;
    if (opt.list) {
        for (const auto& s : camsim::scenarios())
            std::printf("%-18s %4d frames  %s\n", s.name, s.frames, s.description);
        return 0;
    }
    const std::string& outDir = opt.out_dir;

    const std::uint8_t mode = opt.cfg.module.luminance_mode();
    if (mode == 0x21 || mode == 0x22)
        std::fprintf(stderr,
                     "note: luminance mode 0x%02X is not one the controller names; it moves the "
                     "gain only. For a one-shot of both use --exposure auto --gain oneshot "
                     "(0x12).\n",
                     mode);

    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) {
        std::fprintf(stderr, "error: %s: %s\n", outDir.c_str(), ec.message().c_str());
        return 1;
    }

    if (!opt.batch_dir.empty()) {
        std::vector<camsim::BatchRow> rows;
        std::string error;
        const bool ok =
            camsim::run_batch(opt.cfg, camsim::batch_photos(opt.batch_dir), opt.batch_scenarios,
                              outDir, &rows, &error, [](const std::string& line) {
                                  std::printf("%s\n", line.c_str());
                                  std::fflush(stdout);
                              });
        if (!ok) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            return 1;
        }
        std::printf("\nwritten to %s/: batch.md, batch.csv, contact-sheet.png\n", outDir.c_str());
        return 0;
    }

    // Where a replay writes its frames; nothing when rendering.
    std::string rawOut;
    if (!opt.raw_in.empty())
        rawOut = opt.raw_out.empty() ? outDir + "/corrected.raw" : opt.raw_out;
    camsim::RunResult run;
    if (const int status = Capture(opt, rawOut, &run); status != 0)
        return status;

    const camsim::Summary summary = camsim::summarise(run);
    camsim::print_summary(stdout, summary);
    std::string error;
    if (!WriteResults(outDir, run, summary, &error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    bool plots = false;
    if (!opt.no_plots) {
        plots = camsim::make_plots(outDir, run, &error);
        if (!plots)
            std::fprintf(stderr, "note: %s\n", error.c_str());
    }
    PrintWritten(outDir, plots, rawOut);
    return 0;
}
