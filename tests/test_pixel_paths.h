/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// The pixel loop variants as the pixel tests choose them: those of a list
// that this build and this machine can run, and a guard that puts the
// automatic choices back whatever a test selected.
#ifndef QUORVIN_TESTS_TEST_PIXEL_PATHS_H
#define QUORVIN_TESTS_TEST_PIXEL_PATHS_H

#include <AWB/pixel/PixelTestHooks.h>
#include <tests/support/module_user.h>

#include <initializer_list>
#include <vector>

namespace pixeltest {

using quorvin_pixel::MapPath;
using quorvin_pixel::SumPath;

inline bool PathAvailable(SumPath path) {
    return quorvin_pixel::SumPathAvailable(path);
}
inline bool PathAvailable(MapPath path) {
    return quorvin_pixel::MapPathAvailable(path);
}

// The variants of `wanted` that can run here, in the order given.
template <typename Path> std::vector<Path> AvailablePaths(std::initializer_list<Path> wanted) {
    std::vector<Path> paths;
    for (Path p : wanted)
        if (PathAvailable(p))
            paths.push_back(p);
    return paths;
}

// Every variant that can run here.
inline std::vector<SumPath> EverySumPath() {
    return AvailablePaths({SumPath::kWord, SumPath::kAvx2, SumPath::kNeon});
}

inline std::vector<MapPath> EveryMapPath() {
    return AvailablePaths(
        {MapPath::kTableWalk, MapPath::kAvx2Rule, MapPath::kAvx512Rule, MapPath::kNeonRule});
}

// Puts the automatic choices and the vector registers back.
struct RestorePaths {
    ~RestorePaths() {
        quorvin_pixel::SelectSumPath(SumPath::kAuto);
        quorvin_pixel::SelectMapPath(MapPath::kAuto);
        quorvin_user_vector_grants = -1;
    }
};

} // namespace pixeltest

#endif // QUORVIN_TESTS_TEST_PIXEL_PATHS_H
