// The one-joint search alone, for the instruction profile of
// bench/profile_ik_search.py: reads a 6R chain's lines and end pose and a
// list of targets (as that script writes them), classifies the chain and
// gives every target to the family's solver, unverified; prints the
// candidates found.
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
    // target's 3 x 4 rows.
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
    for (int t = 0; t < kinds; t++) {
        double v[12];
        if (std::fread(v, sizeof(double), 12, file) != 12) {
            return 2;
        }
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 4; c++) {
                targets[t].e[r][c] = v[4 * r + c];
            }
        }
    }
    std::fclose(file);

    double length = 0.0;
    for (int i = 1; i < 6; i++) {
        length += norm(p[i] - p[i - 1]);
    }
    const Solver solver = classify(h, p, length > 1.0 ? length : 1.0);
    if (solver.method != Method::search_two_parallel) {
        std::fprintf(stderr, "not a search family\n");
        return 2;
    }
    SixR six;
    prepare(solver, h, p, M, six);
    const int solves = std::atoi(argv[2]);
    long found = 0;
    Candidates candidates;
    for (int s = 0; s < solves; s++) {
        solve_six(six, solver, targets[s % kinds], candidates);
        found += candidates.count;
    }
    std::printf("%ld\n", found);
    return 0;
}
