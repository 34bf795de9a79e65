// SPDX-License-Identifier: GPL-2.0 OR MIT
#include "batch.h"

#include "image_io.h"
#include "report.h"
#include "scene.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

namespace camsim {
namespace {

std::string fixed(double v, int decimals) {
    return format_number(v, decimals, "-");
}

std::string settle_text(int frames) {
    return frames < 0 ? "never" : std::to_string(frames);
}

double clipped_fraction(const std::vector<std::uint8_t>& raw) {
    return raw.empty() ? 0.0
                       : static_cast<double>(std::count(raw.begin(), raw.end(), 255)) /
                             static_cast<double>(raw.size());
}

int oscillations(const Summary& s) {
    return s.oscillations + s.target_reversals;
}

double median(std::vector<double> v) {
    if (v.empty())
        return std::nan("");
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Thumbnails of the contact sheet: half size.
constexpr int kThumbFactor = 2;

} // namespace

std::vector<std::string> batch_photos(const std::string& dir) {
    std::vector<std::string> photos;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (entry.is_regular_file() && (ext == ".png" || ext == ".jpg" || ext == ".jpeg"))
            photos.push_back(entry.path().string());
    }
    std::sort(photos.begin(), photos.end());
    return photos;
}

bool run_batch(const SimConfig& base, const std::vector<std::string>& photos,
               const std::vector<std::string>& scenario_names, const std::string& out_dir,
               std::vector<BatchRow>* rows, std::string* error,
               const std::function<void(const std::string&)>& note) {
    if (photos.empty()) {
        *error = "no photograph (.png, .jpg) to run";
        return false;
    }
    for (const std::string& name : scenario_names)
        if (!find_scenario(name)) {
            *error = "unknown scenario \"" + name + "\"";
            return false;
        }
    std::vector<RgbImage> sheet;
    for (const std::string& photo : photos) {
        Scene scene;
        if (!load_png_scene(photo, base.width, base.height, &scene, error))
            return false;
        const std::string name = std::filesystem::path(photo).stem().string();
        for (std::size_t k = 0; k < scenario_names.size(); ++k) {
            for (bool modes : {false, true}) {
                SimConfig cfg = base;
                cfg.scenario = scenario_names[k];
                cfg.scene_png = photo;
                cfg.module.highlight_guard = modes;
                cfg.module.robust_awb = modes;
                RunResult run;
                if (!run_simulation(cfg, &run, error))
                    return false;
                BatchRow row;
                row.photo = name;
                row.scenario = cfg.scenario;
                row.picture_modes = modes;
                row.summary = summarise(run);
                const double kelvin = run.frames.back().kelvin;
                const std::vector<std::uint8_t> ideal = render_ideal(
                    scene, kelvin, cfg.sensor, cfg.width, cfg.height, row.summary.final_brightness);
                row.neutral_clipped = clipped_fraction(ideal);
                if (k == 0) {
                    sheet.push_back(shrink(
                        raw_to_view(run.last_frame.data(), run.width, run.height), kThumbFactor));
                    if (modes)
                        sheet.push_back(
                            shrink(raw_to_view(ideal.data(), cfg.width, cfg.height), kThumbFactor));
                }
                if (note)
                    note(name + " " + row.scenario + (modes ? " picture modes" : " default") +
                         ": angular error " + fixed(row.summary.final_angular_error, 1) +
                         " deg, clipped at rest " + fixed(100.0 * row.summary.clipped_at_rest, 1) +
                         " %");
                rows->push_back(std::move(row));
            }
        }
    }
    return write_text(out_dir + "/batch.md", batch_markdown(*rows), error) &&
           write_text(out_dir + "/batch.csv", batch_csv(*rows), error) &&
           write_png(out_dir + "/contact-sheet.png", contact_sheet(sheet, 3, 6), error);
}

std::string batch_csv(const std::vector<BatchRow>& rows) {
    std::ostringstream o;
    o << "photo,scenario,modes,frames_to_settle,final_brightness,target_in_force,"
         "clipped_at_rest_pct,neutral_clipped_pct,angular_error_deg,oscillations\n";
    for (const BatchRow& r : rows) {
        const Summary& s = r.summary;
        o << r.photo << ',' << r.scenario << ',' << (r.picture_modes ? "guard+robust" : "default")
          << ',' << s.frames_to_dead_band << ',' << s.final_brightness << ','
          << s.final_target_in_force << ',' << fixed(100.0 * s.clipped_at_rest, 2) << ','
          << fixed(100.0 * r.neutral_clipped, 2) << ',' << fixed(s.final_angular_error, 2) << ','
          << oscillations(s) << '\n';
    }
    return o.str();
}

std::string batch_markdown(const std::vector<BatchRow>& rows) {
    std::ostringstream o;
    o << "| photo | scenario | modes | frames to settle | final brightness | target in force | "
         "clipped at rest % | neutral clipped % | angular error deg | oscillations |\n"
      << "|---|---|---|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const BatchRow& r : rows) {
        const Summary& s = r.summary;
        o << "| " << r.photo << " | " << r.scenario << " | "
          << (r.picture_modes ? "guard+robust" : "default") << " | "
          << settle_text(s.frames_to_dead_band) << " | " << s.final_brightness << " | "
          << s.final_target_in_force << " | " << fixed(100.0 * s.clipped_at_rest, 1) << " | "
          << fixed(100.0 * r.neutral_clipped, 1) << " | " << fixed(s.final_angular_error, 1)
          << " | " << oscillations(s) << " |\n";
    }

    // The two mode sets side by side over the same runs.
    struct Totals {
        std::vector<double> angle, clipped;
        int oscillations = 0, unsettled = 0, slowest = 0;
    };
    std::map<bool, Totals> totals;
    // Per photograph: mean angular error of each mode set over its runs.
    std::map<std::string, std::map<bool, std::vector<double>>> per_photo;
    for (const BatchRow& r : rows) {
        Totals& t = totals[r.picture_modes];
        const Summary& s = r.summary;
        if (std::isfinite(s.final_angular_error))
            t.angle.push_back(s.final_angular_error);
        t.clipped.push_back(s.clipped_at_rest);
        t.oscillations += oscillations(s);
        if (s.frames_to_dead_band < 0)
            ++t.unsettled;
        else
            t.slowest = std::max(t.slowest, s.frames_to_dead_band);
        per_photo[r.photo][r.picture_modes].push_back(s.final_angular_error);
    }
    const auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return v.empty() ? std::nan("") : sum / static_cast<double>(v.size());
    };
    o << "\n| modes | runs | mean clipped at rest % | oscillations | runs never settled | "
         "slowest settle (frames) | mean angular error deg | median angular error deg |\n"
      << "|---|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const auto& [modes, t] : totals)
        o << "| " << (modes ? "guard+robust" : "default") << " | " << t.clipped.size() << " | "
          << fixed(100.0 * mean(t.clipped), 2) << " | " << t.oscillations << " | " << t.unsettled
          << " | " << t.slowest << " | " << fixed(mean(t.angle), 2) << " | "
          << fixed(median(t.angle), 2) << " |\n";
    o << "\n| photo | mean angular error, default | with robust white balance | change |\n"
      << "|---|---:|---:|---:|\n";
    for (const auto& [photo, by_modes] : per_photo) {
        const auto a = by_modes.find(false), b = by_modes.find(true);
        if (a == by_modes.end() || b == by_modes.end())
            continue;
        const double before = mean(a->second), after = mean(b->second);
        o << "| " << photo << " | " << fixed(before, 1) << " | " << fixed(after, 1) << " | "
          << (after - before >= 0 ? "+" : "") << fixed(after - before, 1) << " |\n";
    }
    return o.str();
}

} // namespace camsim
