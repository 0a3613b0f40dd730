// The floor of poe_forward_kinematics: the same arithmetic (the module's
// own pose accumulator) over doubles already in memory, in a C++ loop, with
// no Python object read or made.  bench_poe_fk.py compiles and runs it.
//
// Reads from standard input the joint count, then per joint:
//   prismatic(0/1) ax ay az q l00 .. l23 t00 .. t23
// and prints two lines, nanoseconds per pose with cos and sin computed
// each time, and with them computed once beforehand:
//   with_trig <ns>
//   arithmetic <ns>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "pose_accumulator.hpp"

namespace {

struct JointData {
    int prismatic;
    double ax, ay, az, q, c, s;
    kovi::AffineBlock l, t;
};

bool read_block(kovi::AffineBlock &b)
{
    for (auto &row : b.e) {
        for (double &x : row) {
            if (std::scanf("%lf", &x) != 1) {
                return false;
            }
        }
    }
    return true;
}

double pose_time_ns(std::vector<JointData> &joints, bool trig)
{
    using clock = std::chrono::steady_clock;
    double sink = 0.0;
    long reps = 0;
    auto start = clock::now();
    auto stop = start + std::chrono::milliseconds(300);
    auto now = start;
    while (now < stop) {
        for (int k = 0; k < 1000; k++) {
            // The data may have changed: nothing is hoisted out of the loop.
            asm volatile("" : : "r"(joints.data()) : "memory");
            kovi::AffineBlock a;
            kovi::set_identity(a);
            for (const JointData &j : joints) {
                if (j.prismatic) {
                    kovi::apply_prismatic_joint(a, j.ax, j.ay, j.az, j.q, j.l, j.t);
                }
                else if (trig) {
                    kovi::apply_revolute_joint(a, j.ax, j.ay, j.az, std::cos(j.q), std::sin(j.q), j.l, j.t);
                }
                else {
                    kovi::apply_revolute_joint(a, j.ax, j.ay, j.az, j.c, j.s, j.l, j.t);
                }
            }
            sink += a.e[0][3];
        }
        reps += 1000;
        now = clock::now();
    }
    asm volatile("" : : "r"(sink));
    return std::chrono::duration<double, std::nano>(now - start).count() / reps;
}

}  // namespace

int main()
{
    int n;
    if (std::scanf("%d", &n) != 1 || n < 0) {
        return 1;
    }
    std::vector<JointData> joints(n);
    for (JointData &j : joints) {
        if (std::scanf("%d %lf %lf %lf %lf", &j.prismatic, &j.ax, &j.ay, &j.az, &j.q) != 5 ||
            !read_block(j.l) || !read_block(j.t)) {
            return 1;
        }
        j.c = std::cos(j.q);
        j.s = std::sin(j.q);
    }
    double with_trig = 1e300, arithmetic = 1e300;
    for (int round = 0; round < 3; round++) {
        with_trig = std::fmin(with_trig, pose_time_ns(joints, true));
        arithmetic = std::fmin(arithmetic, pose_time_ns(joints, false));
    }
    std::printf("with_trig %.3f\narithmetic %.3f\n", with_trig, arithmetic);
    return 0;
}
