// Recognising a 6R chain's closed-form family from its joints' lines.
#include "analytic_plan.hpp"

#include <cmath>

#include "libm_trig.hpp"

namespace kovi::solvers::analytic {

namespace {

bool parallel(Vec3 a, Vec3 b) noexcept { return norm(cross(a, b)) <= angle_tolerance; }

// Lines (p_a + t h_a) and (p_b + s h_b) meet: not parallel and no farther
// apart than the tolerance.
bool meet(Vec3 ha, Vec3 pa, Vec3 hb, Vec3 pb, double length_scale) noexcept
{
    const Vec3 n = cross(ha, hb);
    const double sine = norm(n);
    if (sine <= angle_tolerance) {
        return false;
    }
    return std::fabs(dot(pb - pa, n)) / sine <= length_tolerance * length_scale;
}

// The point halfway between the closest points of two lines that are not
// parallel.
Vec3 closest_point(Vec3 ha, Vec3 pa, Vec3 hb, Vec3 pb) noexcept
{
    const Vec3 w = pa - pb;
    const double b = dot(ha, hb), d = dot(ha, w), e = dot(hb, w);
    const double den = 1.0 - b * b;
    const double t = (b * e - d) / den, s = (e - b * d) / den;
    return 0.5 * ((pa + t * ha) + (pb + s * hb));
}

double distance_to_line(Vec3 x, Vec3 h, Vec3 p) noexcept { return norm(reject(x - p, h)); }

// A point on line (h, p): subproblem 3 about that line cannot tell angles
// apart by the point's distance from it.
bool on_line(Vec3 x, Vec3 h, Vec3 p, double scale) noexcept
{
    return distance_to_line(x, h, p) <= length_tolerance * scale;
}

// Axes 4, 5 and 6 (indices 3-5) pass through one point, with 4 and 6 each
// across 5 so that the wrist's rotation reads off by subproblems 2 and 1.
bool spherical_wrist(const Vec3 *h, const Vec3 *p, double scale) noexcept
{
    if (parallel(h[3], h[4]) || parallel(h[4], h[5])) {
        return false;
    }
    const Vec3 c = closest_point(h[3], p[3], h[4], p[4]);
    return on_line(c, h[3], p[3], scale) && on_line(c, h[4], p[4], scale) &&
           on_line(c, h[5], p[5], scale);
}

Solver classify_one_way(const Vec3 *h, const Vec3 *p, double scale, bool reversed) noexcept
{
    if (spherical_wrist(h, p, scale)) {
        const Vec3 c = closest_point(h[3], p[3], h[4], p[4]);
        if (meet(h[0], p[0], h[1], p[1], scale)) {
            // Axis 3 must move the wrist centre's distance from the
            // shoulder: through either point it would not (an arm with a
            // spherical shoulder too, whose elbow turns freely).
            const Vec3 s = closest_point(h[0], p[0], h[1], p[1]);
            if (!on_line(s, h[2], p[2], scale) && !on_line(c, h[2], p[2], scale)) {
                return {Method::wrist_shoulder_meets, reversed};
            }
        }
        if (parallel(h[1], h[2])) {
            if (!parallel(h[0], h[1]) && !on_line(c, h[2], p[2], scale) &&
                !on_line(p[1], h[2], p[2], scale)) {
                return {Method::wrist_elbow_parallel, reversed};
            }
        }
        else if (!parallel(h[0], h[1]) && !on_line(c, h[2], p[2], scale)) {
            return {Method::wrist_general, reversed};
        }
    }
    if (parallel(h[1], h[2]) && parallel(h[2], h[3]) && !parallel(h[0], h[1]) &&
        !parallel(h[4], h[1]) && !on_line(p[3], h[2], p[2], scale) &&
        !on_line(p[1], h[2], p[2], scale)) {
        return {meet(h[4], p[4], h[5], p[5], scale) ? Method::three_parallel
                                                    : Method::three_parallel_general,
                reversed};
    }
    return {};
}

Solver classify_search(const Vec3 *h, const Vec3 *p, double scale, bool reversed) noexcept
{
    if (parallel(h[1], h[2]) && !parallel(h[0], h[1]) && meet(h[4], p[4], h[5], p[5], scale) &&
        !on_line(p[1], h[2], p[2], scale)) {
        return {Method::search_two_parallel, reversed};
    }
    return {};
}

// The general search places a point of axis 4 by subproblem 5 about axes
// 1-3, which needs axis 2 across axes 1 and 3: the chain is read the way
// that has it, forwards if neither does.
Solver classify_general(const Vec3 *h, const Vec3 *hr) noexcept
{
    const bool forward = !parallel(h[0], h[1]) && !parallel(h[1], h[2]);
    const bool backward = !parallel(hr[0], hr[1]) && !parallel(hr[1], hr[2]);
    return {Method::search_general, !forward && backward};
}

// The point of line (h, p) about `distance` from line (k, o), or the
// nearest to it where none is that far; any point of a parallel line.
// Subproblem 5 places a point of axis 4 by turning axes 1-3: one near
// axis 3 barely moves as q3 turns, so that q3, and the search's
// residual, change wildly with the searched joints, and the subproblem's
// roots exist on slivers of them.
Vec3 away(Vec3 h, Vec3 p, Vec3 k, Vec3 o, double distance) noexcept
{
    const Vec3 n = cross(k, h);
    const double sine = norm(n);
    if (sine <= 1e-6) {
        return p;
    }
    const Vec3 w = p - o;
    const double b = dot(k, h), d = dot(k, w), e = dot(h, w);
    const Vec3 nearest = p + ((b * d - e) / (sine * sine)) * h;
    const double apart = std::fabs(dot(w, n)) / sine;
    return nearest + (std::sqrt(std::fmax(distance * distance - apart * apart, 0.0)) / sine) * h;
}

// One and a half times the longest step between successive joints'
// points (the size of the arm's links): farther from axis 3 the search's
// residual is smoother, and dearer to search (more of subproblem 5's
// roots exist).
double reach(const Vec3 *p) noexcept
{
    double longest = 0.0;
    for (int i = 0; i < 5; i++) {
        longest = std::fmax(longest, norm(p[i + 1] - p[i]));
    }
    return 1.5 * longest;
}

// A unit vector square to the unit vector h.
Vec3 across(Vec3 h) noexcept
{
    const double ax = std::fabs(h.x), ay = std::fabs(h.y), az = std::fabs(h.z);
    const Vec3 e = ax <= ay && ax <= az ? Vec3{1.0, 0.0, 0.0}
                   : ay <= az           ? Vec3{0.0, 1.0, 0.0}
                                        : Vec3{0.0, 0.0, 1.0};
    return normalized(reject(e, h));
}

}  // namespace

const char *family_name(Solver solver) noexcept
{
    switch (solver.method) {
    case Method::wrist_shoulder_meets:
    case Method::wrist_elbow_parallel:
    case Method::wrist_general:
        return solver.reversed ? "spherical wrist at the base" : "spherical wrist";
    case Method::three_parallel:
    case Method::three_parallel_general:
        return "three parallel";
    case Method::search_two_parallel:
        return solver.reversed ? "two parallel at the base, search" : "two parallel, search";
    case Method::search_general:
    case Method::none:
        break;
    }
    return "general 6R";
}

void chain_lines(const kovi::chain::Chain &chain, const int *joints, int count, int locked_joint,
                 double locked_value, Vec3 *h, Vec3 *p, AffineBlock &M) noexcept
{
    AffineBlock a;
    set_identity(a);
    int next = 0;
    for (int i = 0; i < static_cast<int>(chain.joints.size()); i++) {
        const kovi::chain::JointRecord &joint = chain.joints[i];
        if (next < count && joints[next] == i) {
            // The joint's frame is A L; its axis and origin in the base.
            const Mat3 R = rotation_of(a);
            const Vec3 axis{joint.axis[0], joint.axis[1], joint.axis[2]};
            h[next] = normalized(R * (rotation_of(joint.left) * axis));
            p[next] = R * translation_of(joint.left) + translation_of(a);
            next++;
        }
        const double value = i == locked_joint ? locked_value : 0.0;
        double c, s;
        libm_cos_sin(value, c, s);
        apply_revolute_joint(a, joint.axis[0], joint.axis[1], joint.axis[2], c, s, joint.left,
                             joint.right);
    }
    M = a;
}

Solver classify(const Vec3 *h, const Vec3 *p, double length_scale) noexcept
{
    Solver forward = classify_one_way(h, p, length_scale, false);
    if (forward.method != Method::none) {
        return forward;
    }
    Vec3 hr[6], pr[6];
    for (int i = 0; i < 6; i++) {
        hr[i] = h[5 - i];
        pr[i] = p[5 - i];
    }
    const Solver backward = classify_one_way(hr, pr, length_scale, true);
    if (backward.method != Method::none) {
        return backward;
    }
    Solver search = classify_search(h, p, length_scale, false);
    if (search.method == Method::none) {
        search = classify_search(hr, pr, length_scale, true);
    }
    return search.method != Method::none ? search : classify_general(h, hr);
}

void prepare(Solver solver, const Vec3 *h, const Vec3 *p, const AffineBlock &M, SixR &six) noexcept
{
    // Read backwards, joint i is joint 5 - i turned the other way, or the
    // same way about the negated axis.
    for (int i = 0; i < 6; i++) {
        six.h[i] = solver.reversed ? -h[5 - i] : h[i];
        six.p[i] = solver.reversed ? p[5 - i] : p[i];
    }
    six.M = M;
    const Vec3 *sh = six.h, *sp = six.p;
    six.centre = solver.method == Method::search_general           ? away(sh[3], sp[3], sh[2], sp[2], reach(sp))
                 : solver.method == Method::three_parallel_general ? sp[5]
                 : solver.method == Method::three_parallel ||
                         solver.method == Method::search_two_parallel
                     ? closest_point(sh[4], sp[4], sh[5], sp[5])
                     : closest_point(sh[3], sp[3], sh[4], sp[4]);
    six.shoulder = solver.method == Method::wrist_shoulder_meets
                       ? closest_point(sh[0], sp[0], sh[1], sp[1])
                       : Vec3{};
    six.across4 = across(sh[3]);
    six.across6 = across(sh[5]);
    if (solver.method == Method::search_general) {
        six.back_centre = away(sh[2], sp[2], sh[3], sp[3], reach(sp));
        six.across3 = across(sh[2]);
    }
    const Vec3 c = six.centre;
    // The point that axis 3 turns (the wrist centre, or p4 for the
    // three-parallel family), about the point it keeps its distance to.
    const bool wrist = solver.method == Method::wrist_shoulder_meets ||
                       solver.method == Method::wrist_elbow_parallel;
    const Vec3 moved = wrist ? c : sp[3];
    const Vec3 kept = solver.method == Method::wrist_shoulder_meets ? six.shoulder : sp[1];
    // Only for the methods that use them: a locked 7R chain is prepared
    // at every call.
    const bool three = solver.method == Method::three_parallel ||
                       solver.method == Method::three_parallel_general;
    if (wrist || three) {
        six.elbow = sp::sp3_fixed(moved - sp[2], kept - sp[2], sh[2]);
    }
    if (solver.method == Method::three_parallel) {
        six.wrist_tilt = sp::sp4_fixed(sh[1], sh[5], sh[4]);
    }
}

}  // namespace kovi::solvers::analytic
