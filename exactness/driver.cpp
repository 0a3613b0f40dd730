// Poses of the chains read from standard input, computed by the module's
// own pose arithmetic, written to standard output.  Built with each
// compiler, flag set and target of the exactness check, it shows whether
// the arithmetic gives the same bits everywhere.
//
// Input, native-endian doubles: per chain its joint count, then per joint
// a record of 31 values: kind (1 prismatic, 0 revolute), the axis (3),
// cos and sin of the joint value (computed by the caller, so that no
// platform's libm enters the check), the joint value itself, and rows 0-2
// of T_left and T_right (12 each, row-major).  Output: rows 0-2 of each
// pose, 12 doubles per chain.
#include <cstdio>

#include "pose_accumulator.hpp"

namespace {

constexpr int record_size = 31;

void read_block(const double *values, kovi::AffineBlock &block)
{
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            block.e[j][k] = values[4 * j + k];
        }
    }
}

}  // namespace

int main()
{
    double count;
    while (std::fread(&count, sizeof count, 1, stdin) == 1) {
        kovi::AffineBlock pose, l, t;
        kovi::set_identity(pose);
        for (long i = 0; i < long(count); i++) {
            double r[record_size];
            if (std::fread(r, sizeof r[0], record_size, stdin) != record_size) {
                std::fputs("exactness driver: truncated joint record\n", stderr);
                return 1;
            }
            read_block(r + 7, l);
            read_block(r + 19, t);
            if (r[0] != 0.0) {
                kovi::apply_prismatic_joint(pose, r[1], r[2], r[3], r[6], l, t);
            }
            else {
                kovi::apply_revolute_joint(pose, r[1], r[2], r[3], r[4], r[5], l, t);
            }
        }
        if (std::fwrite(pose.e, sizeof pose.e, 1, stdout) != 1) {
            return 1;
        }
    }
    return 0;
}
