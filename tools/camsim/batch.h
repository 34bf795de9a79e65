/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// The batch mode of the virtual camera: every photograph of a folder as the
// scene of every scenario of a list, once with the module's default modes and
// once with its opt-in picture modes (highlight guard and robust white
// balance), summed up in one table and one contact sheet.
#ifndef QUORVIN_CAMSIM_BATCH_H
#define QUORVIN_CAMSIM_BATCH_H

#include "report.h"
#include "simulator.h"

#include <functional>
#include <string>
#include <vector>

namespace camsim {

struct BatchRow {
    std::string photo, scenario;
    bool picture_modes = false; // highlight guard and robust white balance on
    Summary summary;
    // Fraction of pixels at 255 of the photograph as a perfectly balanced
    // camera captures it at the same brightness.
    double neutral_clipped = 0;
};

// The photographs of dir (.png, .jpg, .jpeg), sorted by name.
std::vector<std::string> batch_photos(const std::string& dir);

// Runs the batch and writes OUT/batch.md, OUT/batch.csv and
// OUT/contact-sheet.png (one row per photograph: the default modes' last
// frame of the first scenario, the picture modes' one, and the ideal
// capture). note(text) reports progress. Returns false with a message.
bool run_batch(const SimConfig& base, const std::vector<std::string>& photos,
               const std::vector<std::string>& scenario_names, const std::string& out_dir,
               std::vector<BatchRow>* rows, std::string* error,
               const std::function<void(const std::string&)>& note = {});

// The table in Markdown (with the comparison of the two mode sets below it)
// and in CSV.
std::string batch_markdown(const std::vector<BatchRow>& rows);
std::string batch_csv(const std::vector<BatchRow>& rows);

} // namespace camsim

#endif
