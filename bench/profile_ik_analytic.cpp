// The closed-form solve alone, for the instruction profile of
// bench/profile_ik_analytic.py: reads a chain and configurations (as that
// script writes them), makes each configuration's pose the chain's way and
// solves `solves` of those poses with every row verified, as ik_all does
// without the Python call around it.  Prints the rows found.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analytic_plan.hpp"
#include "libm_trig.hpp"
#include "solution_set.hpp"

using namespace kovi;
using namespace kovi::solvers::analytic;

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s CHAIN_FILE SOLVES LOCKED_JOINT LOCKED_VALUE\n", argv[0]);
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        return 2;
    }
    // The joint count and the number of configurations; per joint 27
    // doubles (T_left rows 0-2, axis, T_right rows 0-2), lower and upper
    // limits; then the configurations, a row each.
    double header[2];
    if (std::fread(header, sizeof(double), 2, file) != 2) {
        return 2;
    }
    const std::size_t n = static_cast<std::size_t>(header[0]);
    const std::size_t kinds = static_cast<std::size_t>(header[1]);
    kovi::chain::Chain chain;
    for (std::size_t i = 0; i < n; i++) {
        double v[29];
        if (std::fread(v, sizeof(double), 29, file) != 29) {
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
        chain.joints.push_back(joint);
        chain.limits.push_back({v[27], v[28]});
    }
    std::vector<double> qs(kinds * n);
    if (std::fread(qs.data(), sizeof(double), qs.size(), file) != qs.size()) {
        return 2;
    }
    std::fclose(file);

    const int solves = std::atoi(argv[2]);
    const int locked = std::atoi(argv[3]);
    const double locked_value = std::atof(argv[4]);
    int free_joints[6];
    for (int i = 0, k = 0; i < static_cast<int>(n); i++) {
        if (i != locked && k < 6) {
            free_joints[k++] = i;
        }
    }
    Vec3 h[6], p[6];
    AffineBlock M;
    chain_lines(chain, free_joints, 6, locked, locked_value, h, p, M);
    double scale = 0.0;
    for (const kovi::chain::JointRecord &joint : chain.joints) {
        scale += norm(translation_of(joint.left)) + norm(translation_of(joint.right));
    }
    const Solver solver = classify(h, p, scale > 1.0 ? scale : 1.0);
    if (solver.method == Method::none) {
        std::fprintf(stderr, "no closed form\n");
        return 1;
    }
    SixR six;
    prepare(solver, h, p, M, six);
    Request request{&chain, &six, solver, free_joints, locked, locked_value, 0.0, 0.0, true, 1e-9};
    if (locked >= 0) {
        libm_cos_sin(locked_value, request.locked_cos, request.locked_sin);
    }
    std::vector<AffineBlock> targets(kinds);
    for (std::size_t t = 0; t < kinds; t++) {
        kovi::chain::end_pose(chain.joints.data(), n,
                              {reinterpret_cast<const char *>(&qs[t * n]), sizeof(double)}, targets[t]);
    }
    long rows_found = 0;
    double rows[max_candidates * 7];
    for (int s = 0; s < solves; s++) {
        rows_found += solve_all(request, targets[s % kinds], rows);
    }
    std::printf("%ld\n", rows_found);
    return 0;
}
