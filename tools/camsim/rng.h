/* SPDX-License-Identifier: GPL-2.0 OR MIT */
// Seeded pseudo-random numbers for the sensor noise. Written out here rather
// than taken from <random> so that a seed gives the same frames with every
// standard library: xoshiro256** seeded through splitmix64, normal deviates by
// the Box-Muller transform.
#ifndef QUORVIN_CAMSIM_RNG_H
#define QUORVIN_CAMSIM_RNG_H

#include <cmath>
#include <cstdint>

namespace camsim {

class Rng {
public:
    explicit Rng(std::uint64_t seed) {
        for (auto& word : s_) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in (0, 1]: never 0, so its logarithm is finite.
    double uniform() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

    // Standard normal deviate.
    double normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = 6.283185307179586 * uniform();
        spare_ = radius * std::sin(angle);
        has_spare_ = true;
        return radius * std::cos(angle);
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t s_[4] = {};
    double spare_ = 0.0;
    bool has_spare_ = false;
};

} // namespace camsim

#endif
