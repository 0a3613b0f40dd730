// The numerical solver alone, for the instruction profile of
// bench/profile_ik_numeric.py: reads a chain (as that script writes it),
// solves `solves` near-seed targets and prints the iterations taken.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lm_solver.hpp"

using namespace kovi;
using namespace kovi::solvers::numeric;

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
    // Per joint: 27 doubles (T_left rows 0-2, axis, T_right rows 0-2), the
    // kind (1.0 prismatic), lower and upper limits; then the configuration
    // the targets are made from.
    kovi::chain::Chain chain;
    double n_value;
    if (std::fread(&n_value, sizeof n_value, 1, file) != 1) {
        return 2;
    }
    const std::size_t n = static_cast<std::size_t>(n_value);
    std::vector<double> q_true(n);
    for (std::size_t i = 0; i < n; i++) {
        double v[30];
        if (std::fread(v, sizeof(double), 30, file) != 30) {
            return 2;
        }
        kovi::chain::JointRecord joint{};
        for (int j = 0; j < 3; j++) {
            for (int k = 0; k < 4; k++) {
                joint.left.e[j][k] = v[4 * j + k];
                joint.right.e[j][k] = v[15 + 4 * j + k];
            }
            joint.axis[j] = v[12 + j];
        }
        joint.prismatic = v[27] != 0.0;
        chain.joints.push_back(joint);
        chain.limits.push_back({v[28], v[29]});
    }
    if (std::fread(q_true.data(), sizeof(double), n, file) != n) {
        return 2;
    }
    std::fclose(file);

    const int solves = std::atoi(argv[2]);
    SolveOptions options{1e-9, 100, 50, true, TargetMask{}};
    std::vector<double> table(table_size(n)), scratch(scratch_size(n)), q(n);
    prepare(chain, table.data());
    long iterations = 0, successes = 0;
    // A fixed set of targets around q_true, made the same in every run so
    // that the difference of two runs holds the solves alone; seeds 0.05
    // rad off them.
    constexpr int kinds = 100;
    std::vector<AffineBlock> targets(kinds);
    std::vector<double> target_qs(kinds * n);
    for (int t = 0; t < kinds; t++) {
        for (std::size_t i = 0; i < n; i++) {
            target_qs[t * n + i] = q_true[i] + 0.01 * ((t * 7 + static_cast<int>(i) * 3) % 11 - 5);
        }
        kovi::chain::end_pose(chain.joints.data(), n,
                              {reinterpret_cast<const char *>(&target_qs[t * n]), sizeof(double)},
                              targets[t]);
    }
    for (int s = 0; s < solves; s++) {
        for (std::size_t i = 0; i < n; i++) {
            q[i] = target_qs[(s % kinds) * n + i] + 0.05;
        }
        project(chain, true, q.data());
        RandomStream random(static_cast<std::uint64_t>(s));
        SolveOutcome outcome = solve(chain, table.data(), targets[s % kinds], options, random,
                                     q.data(), scratch.data());
        iterations += outcome.iterations;
        successes += outcome.success;
    }
    std::printf("%ld %ld\n", iterations, successes);
    return 0;
}
