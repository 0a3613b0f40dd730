"""The geometric subproblems, judged by plugging their angles back into the
equations with numpy: instances built forwards from known angles, data no
angle fits (against a brute-force scan), and geometry with a free angle."""

import math

import numpy as np
import pytest

TURN = 2 * math.pi


def rot(k, q):
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + math.sin(q) * K + (1 - math.cos(q)) * (K @ K)


def unit(rng):
    v = rng.normal(size=3)
    return v / np.linalg.norm(v)


def turn(k, q, p):
    """R(k, q) p, for an array of angles q too (vectors along the last axis)."""
    c, s = np.cos(np.asarray(q, dtype=float))[..., None], np.sin(np.asarray(q, dtype=float))[..., None]
    return c * p + s * np.cross(k, p) + (1 - c) * (k @ p) * k


def dist(v):
    return np.linalg.norm(v, axis=-1)


# |error| of each subproblem's equation at the given angles (or arrays of them).
RESIDUALS = {
    "sp1": lambda p1, p2, k: lambda q: dist(turn(k, q, p1) - p2),
    "sp2": lambda p1, p2, k1, k2: lambda a, b: dist(turn(k1, a, p1) - turn(k2, b, p2)),
    "sp2e": lambda p0, p1, p2, k1, k2: lambda a, b: dist(p0 + turn(k1, a, p1) - turn(k2, b, p2)),
    "sp3": lambda p1, p2, k, d: lambda q: np.abs(dist(turn(k, q, p1) - p2) - d),
    "sp4": lambda h, p, k, d: lambda q: np.abs(turn(k, q, p) @ h - d),
    "sp5": lambda p0, p1, p2, p3, k1, k2, k3: lambda a, b, c: dist(
        p0 + turn(k1, a, p1) - turn(k2, b, p2 + turn(k3, c, p3))),
    "sp6": lambda h1, h2, h3, h4, k1, k2, k3, k4, p1, p2, p3, p4, d1, d2: lambda a, b: np.hypot(
        turn(k1, a, p1) @ h1 + turn(k2, b, p2) @ h2 - d1,
        turn(k3, a, p3) @ h3 + turn(k4, b, p4) @ h4 - d2),
}
ANGLES = {"sp1": 1, "sp2": 2, "sp2e": 2, "sp3": 1, "sp4": 1, "sp5": 3, "sp6": 2}


def forward(name, rng, q, spread=None):
    """Data that the angles q solve; with a `spread`, the axes that may be
    parallel are that far (in radians, about) from the first."""
    n = lambda: rng.normal(size=3)  # noqa: E731
    k = [unit(rng) for _ in range(4)]
    if spread is not None:
        k = [k[0]] + [(k[0] + spread * unit(rng)) for _ in range(3)]
        k = [v / np.linalg.norm(v) for v in k]
    if name == "sp1":
        p1 = n()
        return p1, rot(k[0], q[0]) @ p1, k[0]
    if name == "sp2":
        p2 = n()
        return rot(k[0], q[0]).T @ rot(k[1], q[1]) @ p2, p2, k[0], k[1]
    if name == "sp2e":
        p0, p1 = n(), n()
        return p0, p1, rot(k[1], q[1]).T @ (p0 + rot(k[0], q[0]) @ p1), k[0], k[1]
    if name == "sp3":
        p1, p2 = n(), n()
        return p1, p2, k[0], np.linalg.norm(rot(k[0], q[0]) @ p1 - p2)
    if name == "sp4":
        p = n()
        return k[1], p, k[0], k[1] @ rot(k[0], q[0]) @ p
    if name == "sp5":
        p0, p1, p3 = n(), n(), n()
        k1, k2, k3 = k[0], unit(rng), k[2]
        p2 = rot(k2, q[1]).T @ (p0 + rot(k1, q[0]) @ p1) - rot(k3, q[2]) @ p3
        return p0, p1, p2, p3, k1, k2, k3
    h, p = [unit(rng) for _ in range(4)], [n() for _ in range(4)]
    d1 = h[0] @ rot(k[0], q[0]) @ p[0] + h[1] @ rot(k[1], q[1]) @ p[1]
    d2 = h[2] @ rot(k[2], q[0]) @ p[2] + h[3] @ rot(k[3], q[1]) @ p[3]
    return (*h, *k, *p, d1, d2)


def solve(probe, name, args):
    """(list of angle tuples, kind or None) from the probe."""
    out = getattr(probe, name)(*[tuple(map(float, a)) if np.ndim(a) else float(a) for a in args])
    if name == "sp1":
        return [(out[0],)], out[1]
    if name in ("sp3", "sp4"):
        return [(q,) for q in out[0]], out[1]
    if name == "sp2":
        return list(zip(out[0], out[1])), out[2]
    return list(zip(*out)), None


def check_solutions(name, args, sols, tol):
    residual = RESIDUALS[name](*[np.asarray(a, dtype=float) for a in args])
    for sol in sols:
        assert all(-math.pi < q <= math.pi for q in sol), sol
        assert residual(*sol) <= tol, (sol, residual(*sol))


# (Nearly) parallel axes only where no angle is left free by them; a
# nearly parallel pair lets near-solutions within the documented 1e-8 in,
# and the angles it gives are good to less than their residual.
GEOMETRIES = {"random": None, "half_turn": None, "parallel": 0.0, "nearly_parallel": 1e-7}


@pytest.mark.parametrize("name, geometry", [(n, g) for n in sorted(ANGLES) for g in GEOMETRIES if (
    GEOMETRIES[g] is None or n in ("sp2e", "sp5", "sp6") or g == "nearly_parallel" and n == "sp2")])
def test_forward_instances_give_their_angles_and_only_solutions(probe, name, geometry):
    rng = np.random.default_rng(sorted(ANGLES).index(name))
    for _ in range(150):
        q = np.full(ANGLES[name], math.pi) if geometry == "half_turn" else \
            rng.uniform(-math.pi, math.pi, ANGLES[name])
        args = forward(name, rng, q, GEOMETRIES[geometry])
        sols, kind = solve(probe, name, args)
        assert kind in (None, "exact")
        check_solutions(name, args, sols, 1e-7 if geometry == "nearly_parallel" else 1e-9)
        near = 1e-5 if geometry == "nearly_parallel" else 1e-7  # ill-conditioned angles
        assert any(all(abs(math.remainder(a - b, TURN)) < near for a, b in zip(s, q)) for s in sols)
        if name in ("sp5", "sp6"):
            assert sols == sorted(sols)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("name", ["sp1", "sp2", "sp3", "sp4"])
def test_least_squares_answers_beat_a_scan_of_every_angle(probe, name, seed):
    rng = np.random.default_rng(100 + seed)
    p1, p2, k1, k2 = rng.normal(size=3), rng.normal(size=3), unit(rng), unit(rng)
    args = {"sp1": (p1, p2, k1), "sp2": (p1, p2, k1, k2),
            "sp3": (p1, p2, k1, np.linalg.norm(p1) + np.linalg.norm(p2) + 0.5 * seed + 0.1),
            "sp4": (k2, p1, k1, (-1) ** seed * (np.linalg.norm(p1) + 0.1 * seed + 0.05))}[name]
    sols, kind = solve(probe, name, args)
    residual = RESIDUALS[name](*args)
    grid = np.linspace(-math.pi, math.pi, 1441 if name == "sp2" else 100001)
    best = residual(grid[:, None], grid[None, :]).min() if name == "sp2" else residual(grid).min()
    assert kind == "least_squares"
    assert all(residual(*s) <= best + 1e-12 for s in sols)


O, X, Y, Z = (np.array(v, dtype=float) for v in ([0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]))
S = np.array([0.3, -0.4, 0.5])


# (name, data, kind, how many solutions, consistent: every answer solves it)
FREE_ANGLE_CASES = [
    ("sp1", (2 * Z, 2 * Z, Z), "continuum", 1, True),
    ("sp1", (O, X, Z), "continuum", 1, False),
    ("sp2", (X + Z, rot(Z, 0.7) @ (X + Z), Z, Z), "continuum", 1, True),
    ("sp2", (2 * X, rot(Y, 1.0) @ (2 * X), X, Y), "continuum", 1, True),
    ("sp2", (O, O, X, Y), "continuum", 1, True),
    ("sp3", (Z, S, Z, 0.2), "continuum", 1, False),
    ("sp4", (Z, S, Z, 0.5), "continuum", 1, True),
    ("sp4", (X, O, Z, 0.0), "continuum", 1, True),
    ("sp2e", (X, 2 * Z, rot(Y, 0.4) @ (X + 2 * Z), Z, Y), None, 1, True),
    ("sp2e", (X, Y, 5 * Z, Z, Y), None, 0, True),
    ("sp5", (O, O, O, O, X, Y, Z), None, 1, True),
    ("sp6", (X, Y, Z, X, Z, Z, Z, Z, O, O, O, O, 0.0, 0.0), None, 1, True),
    ("sp6", (X, Y, Z, X, Z, X, Y, Z, S, S, S, S, 9.0, 0.0), None, 0, True),
]


@pytest.mark.parametrize("name, args, kind, count, consistent", FREE_ANGLE_CASES)
def test_degenerate_data_give_the_documented_representative(probe, name, args, kind, count,
                                                             consistent):
    sols, got_kind = solve(probe, name, args)
    assert (got_kind, len(sols)) == (kind, count)
    assert np.isfinite(sols).all()
    check_solutions(name, args, sols, 1e-12 if consistent else math.inf)


def sp6_instance(rng, q, structure):
    """SP6 data solved by q: `decoupled` (h2 = k2, h3 = k3: each equation
    holds one angle, both coefficient matrices of rank one), `triangular`
    (h4 = k4: the second holds q1 only) or `tangent` (the two curves touch
    at q: h4 chosen so that the Jacobian there is singular)."""
    h1, h2, h3, h4, k1, k2, k3, k4 = (unit(rng) for _ in range(8))
    p = rng.normal(size=(4, 3))
    if structure == "decoupled":
        h2, h3 = k2, k3
    elif structure == "triangular":
        h4 = k4
    else:
        grad = lambda h, k, pp, a: h @ np.cross(k, rot(k, a) @ pp)  # noqa: E731
        w = np.cross(k4, rot(k4, q[1]) @ p[3])
        # d(eq2)/dq2 : d(eq2)/dq1 = d(eq1)/dq2 : d(eq1)/dq1.
        want = grad(h3, k3, p[2], q[0]) * grad(h2, k2, p[1], q[1]) / grad(h1, k1, p[0], q[0])
        n = np.cross(w, unit(rng))
        h4 = want * w / (w @ w) + math.sqrt(max(0.0, 1 - want**2 / (w @ w))) * n / np.linalg.norm(n)
    d1 = h1 @ rot(k1, q[0]) @ p[0] + h2 @ rot(k2, q[1]) @ p[1]
    d2 = h3 @ rot(k3, q[0]) @ p[2] + h4 @ rot(k4, q[1]) @ p[3]
    return (h1, h2, h3, h4, k1, k2, k3, k4, *p, d1, d2)


@pytest.mark.parametrize("structure", ["decoupled", "triangular", "tangent"])
def test_sp6_with_structured_equations(probe, structure):
    rng = np.random.default_rng(7)
    for _ in range(100):
        q = rng.uniform(-math.pi, math.pi, 2)
        args = sp6_instance(rng, q, structure)
        if structure == "tangent" and abs(args[3] @ args[3] - 1) > 1e-12:
            continue  # no unit h4 gives that slope
        sols, _ = solve(probe, "sp6", args)
        check_solutions("sp6", args, sols, 1e-9)
        near = 1e-6 if structure == "tangent" else 1e-7  # a double root: half the digits
        assert any(abs(math.remainder(a - q[0], TURN)) < near and
                   abs(math.remainder(b - q[1], TURN)) < near for a, b in sols)
        if structure == "decoupled":
            assert len(sols) == 4


@pytest.mark.parametrize("name", sorted(ANGLES))
def test_axis_aligned_zero_and_tiny_data_give_finite_wrapped_angles(probe, name):
    # Coordinate axes, exact zeros and tiny components make every kind of
    # rank drop; whatever comes back must be angles in (-pi, pi].
    rng = np.random.default_rng(11)
    values = np.array([0.0, 1.0, -1.0, 1e-13, 0.5, 1e3])
    axes = np.vstack([np.eye(3), -np.eye(3)])
    slots = RESIDUALS[name].__code__.co_varnames[:RESIDUALS[name].__code__.co_argcount]
    for _ in range(3000):
        args = [axes[rng.integers(6)] if slot[0] in "hk" else float(rng.choice(values))
                if slot[0] == "d" else rng.choice(values, 3) for slot in slots]
        sols, _ = solve(probe, name, args)
        assert all(math.isfinite(q) and -math.pi < q <= math.pi for s in sols for q in s), args


@pytest.mark.parametrize("free", [0, 2])
def test_sp5_angle_that_moves_nothing_is_reported_as_zero(probe, free):
    # p1 on k1 (q1 free) or p3 on k3 (q3 free), as rounding leaves them:
    # the other angles are found and the free one is 0.
    rng = np.random.default_rng(free)
    for _ in range(100):
        q = rng.uniform(-math.pi, math.pi, 3)
        q[free] = 0.0
        args = list(forward("sp5", rng, q))
        p = 1 if free == 0 else 3
        args[p] = 0.7 * args[4 + free]
        args[2] = rot(args[5], q[1]).T @ (args[0] + rot(args[4], q[0]) @ args[1]) - \
            rot(args[6], q[2]) @ args[3]
        sols, _ = solve(probe, "sp5", args)
        check_solutions("sp5", args, sols, 1e-9)
        assert any(s[free] == 0.0 and all(abs(math.remainder(a - b, TURN)) < 1e-7
                                           for a, b in zip(s, q)) for s in sols)


def near_axis(scale, share):
    """A point `share` of its size off the z axis, at magnitude `scale`."""
    return scale * np.array([share, 0.0, 1.0])


# sp1_turn answers sp1's angle to the bit and tells the free angle apart as
# sp1 does, with a cheaper test on squares first: points on either side of
# sp1's on-axis threshold (a 1e-12 share of the size), at scales whose
# squares underflow or come near overflow, and ordinary ones.
@pytest.mark.parametrize("p1, p2", [
    (near_axis(1.0, 1.0e-12 * (1 - 1e-6)), X),
    (near_axis(1.0, 1.0e-12 * (1 + 1e-6)), X),
    (near_axis(1.0, 2.0e-12), Y),
    (X, near_axis(3.0, 1.0e-12 * (1 - 1e-6))),
    (near_axis(1e-160, 0.5), near_axis(1e-160, -0.25)),
    (near_axis(1e150, 0.5), near_axis(1e150, 0.3)),
    (O, X), (O, O), (X, -X), (Z, Z),
])
def test_the_cheap_turn_answers_sp1s_angle_and_kind(probe, p1, p2):
    args = (tuple(map(float, p1)), tuple(map(float, p2)), (0.0, 0.0, 1.0))
    q, kind = probe.sp1(*args)
    q_turn, kind_turn = probe.sp1_turn(*args)
    assert (kind == "continuum") == (kind_turn == "continuum")
    assert kind_turn == "continuum" or q_turn.hex() == q.hex()


@pytest.mark.parametrize("seed", range(4))
def test_the_cheap_turn_answers_sp1s_angle_on_random_data(probe, seed):
    rng = np.random.default_rng(300 + seed)
    for _ in range(200):
        p1, p2, k = rng.normal(size=3) * 10.0 ** rng.integers(-5, 6), rng.normal(size=3), unit(rng)
        args = (tuple(map(float, p1)), tuple(map(float, p2)), tuple(map(float, k)))
        assert probe.sp1_turn(*args)[0].hex() == probe.sp1(*args)[0].hex()
