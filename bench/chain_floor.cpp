// The floor of the compiled chain's batch: the same pose arithmetic in a
// plain C++ loop, with nothing of Python around it.  bench_chain.py compiles
// this file itself (g++ -O2 -ffp-contract=off, cos and sin kept as two C
// library calls, as the chain makes them) and runs it once per round.
//
// Input file: int64 joint count n, int64 row count N, n bytes of kinds
// ('R' or 'P'), then per joint 27 doubles (T_left rows 0-2, axis, T_right
// rows 0-2), then N x n doubles of joint values, row-major.  Prints the
// nanoseconds per pose of one pass over the rows; with an output path,
// also writes the N 4x4 poses there, so the bench can check they are the
// chain's to the bit.
#include <math.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "pose_accumulator.hpp"

using kovi::AffineBlock;

struct Joint {
    AffineBlock left, right;
    double axis[3];
    bool prismatic;
};

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s INPUT [POSES]\n", argv[0]);
        return 2;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    std::int64_t n = 0, rows = 0;
    if (in == nullptr || std::fread(&n, 8, 1, in) != 1 || std::fread(&rows, 8, 1, in) != 1) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<char> kinds(n);
    std::vector<Joint> joints(n);
    std::vector<double> q(n * rows);
    std::vector<double> numbers(27 * n);
    bool ok = std::fread(kinds.data(), 1, n, in) == static_cast<std::size_t>(n) &&
              std::fread(numbers.data(), 8, numbers.size(), in) == numbers.size() &&
              std::fread(q.data(), 8, q.size(), in) == q.size();
    std::fclose(in);
    if (!ok) {
        std::fprintf(stderr, "short input %s\n", argv[1]);
        return 1;
    }
    for (std::int64_t i = 0; i < n; i++) {
        const double *v = &numbers[27 * i];
        for (int k = 0; k < 12; k++) {
            joints[i].left.e[k / 4][k % 4] = v[k];
            joints[i].right.e[k / 4][k % 4] = v[15 + k];
        }
        for (int k = 0; k < 3; k++) {
            joints[i].axis[k] = v[12 + k];
        }
        joints[i].prismatic = kinds[i] == 'P';
    }

    std::vector<double> poses(16 * rows);
    auto start = std::chrono::steady_clock::now();
    for (std::int64_t r = 0; r < rows; r++) {
        const double *qr = &q[n * r];
        AffineBlock a;
        kovi::set_identity(a);
        for (std::int64_t i = 0; i < n; i++) {
            const Joint &j = joints[i];
            if (j.prismatic) {
                kovi::apply_prismatic_joint(a, j.axis[0], j.axis[1], j.axis[2], qr[i], j.left,
                                            j.right);
            }
            else {
                double c = cos(qr[i]);
                double s = sin(qr[i]);
                kovi::apply_revolute_joint(a, j.axis[0], j.axis[1], j.axis[2], c, s, j.left,
                                           j.right);
            }
        }
        double *out = &poses[16 * r];
        for (int k = 0; k < 12; k++) {
            out[k] = a.e[k / 4][k % 4];
        }
        out[12] = out[13] = out[14] = 0.0;
        out[15] = 1.0;
    }
    auto stop = std::chrono::steady_clock::now();
    double ns = std::chrono::duration<double, std::nano>(stop - start).count();
    std::printf("%.3f\n", ns / static_cast<double>(rows));

    if (argc > 2) {
        std::FILE *out = std::fopen(argv[2], "wb");
        if (out == nullptr || std::fwrite(poses.data(), 8, poses.size(), out) != poses.size()) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 1;
        }
        std::fclose(out);
    }
    return 0;
}
