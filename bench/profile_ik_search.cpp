// A search alone (the one-joint search or the general 6R's), for
// bench/profile_ik_search.py and bench/profile_ik_general.py: reads a 6R
// chain's lines and end pose, then targets each with the configuration q*
// that made it (as write_arm in profile_ik_search.py writes them);
// classifies the chain and gives every target to the family's solver,
// unverified, and prints the candidates found, the targets whose q* is
// among them (1e-6 rad in every joint) and the nanoseconds per solve.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "family_solvers.hpp"

using namespace kovi;
using namespace kovi::solvers::analytic;

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CHAIN_FILE SOLVES\n", argv[0]);
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        return 2;
    }
    // h (6 x 3), p (6 x 3), M (3 x 4), the count of targets, then each
    // target's 3 x 4 rows and its q*.
    double lines[36 + 12 + 1];
    if (std::fread(lines, sizeof(double), 49, file) != 49) {
        return 2;
    }
    Vec3 h[6], p[6];
    for (int i = 0; i < 6; i++) {
        h[i] = {lines[3 * i], lines[3 * i + 1], lines[3 * i + 2]};
        p[i] = {lines[18 + 3 * i], lines[19 + 3 * i], lines[20 + 3 * i]};
    }
    AffineBlock M{};
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 4; c++) {
            M.e[r][c] = lines[36 + 4 * r + c];
        }
    }
    const int kinds = static_cast<int>(lines[48]);
    std::vector<AffineBlock> targets(kinds);
    std::vector<double> made(6 * static_cast<size_t>(kinds));
    for (int t = 0; t < kinds; t++) {
        double v[18];
        if (std::fread(v, sizeof(double), 18, file) != 18) {
            return 2;
        }
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 4; c++) {
                targets[t].e[r][c] = v[4 * r + c];
            }
        }
        for (int i = 0; i < 6; i++) {
            made[6 * t + i] = v[12 + i];
        }
    }
    std::fclose(file);

    double length = 0.0;
    for (int i = 1; i < 6; i++) {
        length += norm(p[i] - p[i - 1]);
    }
    const Solver solver = classify(h, p, length > 1.0 ? length : 1.0);
    if (solver.method != Method::search_two_parallel && solver.method != Method::search_general) {
        std::fprintf(stderr, "not a searched family\n");
        return 2;
    }
    SixR six;
    prepare(solver, h, p, M, six);
    const int solves = std::atoi(argv[2]);
    long found = 0, hits = 0;
    Candidates candidates;
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < solves; s++) {
        const int t = s % kinds;
        solve_six(six, solver, targets[t], candidates);
        found += candidates.count;
        bool hit = false;
        for (int k = 0; k < candidates.count && !hit; k++) {
            hit = true;
            for (int i = 0; i < 6; i++) {
                const double d = std::remainder(candidates.q[k][i] - made[6 * t + i], 2.0 * M_PI);
                hit = hit && std::fabs(d) < 1e-6;
            }
        }
        hits += hit;
    }
    const auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld %ld %.1f\n", found, hits, ns / (solves > 0 ? solves : 1));
    return 0;
}
