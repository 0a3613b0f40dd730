// The closed-form solvers' methods on kovi.Chain: kinematic_family,
// locked_families, ik_all, ik_sweep and ik_all_batch, and the plan that a
// chain works out once when it is built.
#include "numpy_api.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "analytic_plan.hpp"
#include "batch_runner.hpp"
#include "joint_wrap.hpp"
#include "lane_poses.hpp"
#include "libm_trig.hpp"
#include "owned_ref.hpp"
#include "solution_set.hpp"
#include "solver_bindings.hpp"
#include "solver_hooks.hpp"
#include "targets.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kovi::solvers {

using kovi::chain::Chain;
using namespace analytic;

namespace {

// The joint values a 7R chain's family is checked at when one joint is
// locked: a relation between axes on both sides of the locked joint that
// held at one value only (lines meeting at q = 0, say) is no family.
constexpr double lock_probes[] = {0.0, 0.7, -2.1};

double length_scale_of(const Chain &chain) noexcept
{
    double sum = 0.0;
    for (const kovi::chain::JointRecord &joint : chain.joints) {
        sum += norm(translation_of(joint.left)) + norm(translation_of(joint.right));
    }
    return std::fmax(1.0, sum);
}

void plan_seven(const Chain &chain, AnalyticPlan &plan)
{
    for (int locked = 0; locked < 7; locked++) {
        LockPlan lock;
        lock.joint = locked;
        for (int i = 0, k = 0; i < 7; i++) {
            if (i != locked) {
                lock.others[k++] = i;
            }
        }
        bool same = true;
        for (double value : lock_probes) {
            Vec3 h[6], p[6];
            AffineBlock M;
            chain_lines(chain, lock.others, 6, locked, value, h, p, M);
            const Solver solver = classify(h, p, plan.length_scale);
            if (value == lock_probes[0]) {
                lock.solver = solver;
            }
            same = same && solver.method == lock.solver.method && solver.reversed == lock.solver.reversed;
        }
        // The general search at every locked value would make any joint
        // lockable at a search's price: a lock is offered where it leaves
        // a family.
        if (same && lock.solver.method != Method::none && lock.solver.method != Method::search_general) {
            plan.locks.push_back(lock);
        }
    }
}

}  // namespace

bool plan_chain(Chain &chain) noexcept
{
    chain.analytic.reset();
    try {
        auto plan = std::make_shared<AnalyticPlan>();
        plan->dof = static_cast<int>(chain.dof());
        plan->revolute = true;
        for (const kovi::chain::JointRecord &joint : chain.joints) {
            plan->revolute = plan->revolute && !joint.prismatic;
        }
        plan->length_scale = length_scale_of(chain);
        if (plan->revolute && plan->dof == 6) {
            static constexpr int all[6] = {0, 1, 2, 3, 4, 5};
            Vec3 h[6], p[6];
            AffineBlock M;
            chain_lines(chain, all, 6, -1, 0.0, h, p, M);
            plan->solver = classify(h, p, plan->length_scale);
            if (plan->solver.method != Method::none) {
                prepare(plan->solver, h, p, M, plan->six);
            }
        }
        else if (plan->revolute && plan->dof == 7) {
            plan_seven(chain, *plan);
        }
        chain.analytic = std::move(plan);
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

namespace {

constexpr int identity_joints[6] = {0, 1, 2, 3, 4, 5};

const char *family_of(const Chain &chain) noexcept
{
    const AnalyticPlan *plan = chain.analytic.get();
    if (plan == nullptr || !plan->revolute || (plan->dof != 6 && plan->dof != 7)) {
        return "not 6R or 7R revolute";
    }
    return plan->dof == 7 ? "7R" : family_name(plan->solver);
}

// "6 (panda_joint7)", or "2 (a), 6 (b)" for several.
PyObject *lockable_list(const Chain &chain) noexcept
{
    OwnedRef text(PyUnicode_FromString(""));
    for (const LockPlan &lock : chain.analytic->locks) {
        if (!text) {
            return nullptr;
        }
        text.reset(PyUnicode_FromFormat("%U%s%d (%s)", text.get(), PyUnicode_GET_LENGTH(text.get()) ? ", " : "",
                                        lock.joint, chain.joint_names[lock.joint].c_str()));
    }
    return text.release();
}

// A solve's setting: the 6R to solve and how, for one locked value.
struct Setup {
    SixR six;
    Request request;
};

// Raises the error for a chain that ik_all cannot solve (every revolute
// 6R chain can); false.
bool refuse_chain(const Chain &chain) noexcept
{
    PyErr_Format(PyExc_ValueError, "kovi.Chain '%s' has no closed-form inverse kinematics: it is %s",
                 chain.name.c_str(), family_of(chain));
    return false;
}

// The index of the joint `key` names (an int index or a joint name).
bool read_joint(const Chain &chain, PyObject *key, const char *what, int &joint) noexcept
{
    if (PyUnicode_Check(key)) {
        for (int i = 0; i < static_cast<int>(chain.dof()); i++) {
            if (PyUnicode_CompareWithASCIIString(key, chain.joint_names[i].c_str()) == 0) {
                joint = i;
                return true;
            }
        }
        PyErr_Format(PyExc_ValueError, "%s names no joint of kovi.Chain '%s': %R", what,
                     chain.name.c_str(), key);
        return false;
    }
    // An int or anything that is one (numpy's integers), but no bool.
    if (PyBool_Check(key) || !PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s must be a joint index (int) or name (str), got %.200s",
                     what, Py_TYPE(key)->tp_name);
        return false;
    }
    OwnedRef number(PyNumber_Index(key));
    if (!number) {
        return false;
    }
    int overflow = 0;
    long long index = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (index == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || index < 0 || index >= chain.dof()) {
        PyErr_Format(PyExc_ValueError, "%s: joint index %R is out of range for %zd joints", what,
                     key, chain.dof());
        return false;
    }
    joint = static_cast<int>(index);
    return true;
}

bool read_finite(PyObject *value, const char *what, double &out) noexcept
{
    if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value) || PyIndex_Check(value) ||
                                 PyObject_HasAttrString(value, "__float__"))) {
        PyErr_Format(PyExc_TypeError, "%s must be a real number, got %.200s", what,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (!std::isfinite(out)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite, got %R", what, value);
        return false;
    }
    return true;
}

bool read_tol(PyObject *value, double &tol) noexcept
{
    if (value == nullptr) {
        return true;
    }
    if (!read_finite(value, "tol", tol)) {
        return false;
    }
    if (!(tol > 0.0)) {
        PyErr_Format(PyExc_ValueError, "tol must be positive (metres and radians), got %R", value);
        return false;
    }
    return true;
}

bool read_flag(PyObject *value, bool &flag) noexcept
{
    if (value == nullptr) {
        return true;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return false;
    }
    flag = truth != 0;
    return true;
}

// The lock plan for `joint`, or null with ValueError naming the joints
// that can be locked.
const LockPlan *lock_plan(const Chain &chain, int joint) noexcept
{
    for (const LockPlan &lock : chain.analytic->locks) {
        if (lock.joint == joint) {
            return &lock;
        }
    }
    OwnedRef names(lockable_list(chain));
    if (names) {
        PyErr_Format(PyExc_ValueError,
                     "locking joint %d (%s) of kovi.Chain '%s' leaves no closed form; lock one of: %U",
                     joint, chain.joint_names[joint].c_str(), chain.name.c_str(), names.get());
    }
    return nullptr;
}

// The request for a 6R chain (limits and tol unset).
Request six_request(const Chain &chain) noexcept
{
    Request r{};
    r.chain = &chain;
    r.six = &chain.analytic->six;
    r.solver = chain.analytic->solver;
    r.free_joints = identity_joints;
    r.locked_joint = -1;
    return r;
}

// Fills the request's chain, family and free joints for the joint locked
// at `value` (lock null for a 6R chain).
void set_up(const Chain &chain, const LockPlan *lock, double value, Setup &setup) noexcept
{
    Request &r = setup.request;
    if (lock == nullptr) {
        r = six_request(chain);
        return;
    }
    r.chain = &chain;
    r.six = &setup.six;
    Vec3 h[6], p[6];
    AffineBlock M;
    // The locked value as a solution row will hold it.
    value = place_revolute(value, chain.limits[lock->joint]);
    chain_lines(chain, lock->others, 6, lock->joint, value, h, p, M);
    prepare(lock->solver, h, p, M, setup.six);
    r.solver = lock->solver;
    r.free_joints = lock->others;
    r.locked_joint = lock->joint;
    r.locked_value = value;
    libm_cos_sin(value, r.locked_cos, r.locked_sin);
}

// The last locked setting this thread solved with ik_all: working out a
// 7R chain's 6R at the locked value takes a good share of a solve, and
// callers mostly keep one value over many targets.  The entry holds the
// chain's plan, so that no other plan can take its address while the
// entry names it.
struct LockedSetup {
    std::shared_ptr<const AnalyticPlan> plan;
    int joint = -1;
    std::uint64_t value_bits = 0;
    Setup setup;
};

// The request for `chain` with `lock` at `value`, its 6R held by this
// thread until the next call with another lock (limits and tol unset).
Request locked_request(const Chain &chain, const LockPlan *lock, double value) noexcept
{
    thread_local LockedSetup last;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    if (last.plan != chain.analytic || last.joint != lock->joint || last.value_bits != bits) {
        set_up(chain, lock, value, last.setup);
        last.plan = chain.analytic;
        last.joint = lock->joint;
        last.value_bits = bits;
    }
    Request request = last.setup.request;
    request.chain = &chain;
    return request;
}

// Reads `locked` (None or {joint: value}) for the chain; for a 7R chain
// sets *lock and value.
bool read_locked(const Chain &chain, PyObject *locked, const LockPlan *&lock, double &value) noexcept
{
    lock = nullptr;
    const bool none = locked == nullptr || locked == Py_None;
    if (chain.dof() == 6) {
        if (!none) {
            PyErr_Format(PyExc_ValueError,
                         "locked is for 7R chains: kovi.Chain '%s' has 6 joints, all solved",
                         chain.name.c_str());
            return false;
        }
        return true;
    }
    if (none) {
        OwnedRef names(lockable_list(chain));
        if (names) {
            PyErr_Format(PyExc_ValueError,
                         "kovi.Chain '%s' has 7 joints: lock one with locked={joint: value}, "
                         "joint one of: %U",
                         chain.name.c_str(), names.get());
        }
        return false;
    }
    if (!PyDict_Check(locked)) {
        PyErr_Format(PyExc_TypeError, "locked must be a dict {joint: value}, got %.200s",
                     Py_TYPE(locked)->tp_name);
        return false;
    }
    if (PyDict_GET_SIZE(locked) != 1) {
        PyErr_Format(PyExc_ValueError, "locked must lock exactly one joint, got %zd",
                     PyDict_GET_SIZE(locked));
        return false;
    }
    Py_ssize_t position = 0;
    PyObject *key, *item;
    PyDict_Next(locked, &position, &key, &item);
    int joint = 0;
    if (!read_joint(chain, key, "locked", joint) || !read_finite(item, "the locked joint's value", value)) {
        return false;
    }
    lock = lock_plan(chain, joint);
    return lock != nullptr;
}

// Checks that the chain has a closed form at all.
bool solvable(const Chain &chain) noexcept
{
    const AnalyticPlan *plan = chain.analytic.get();
    if (plan != nullptr && plan->revolute &&
        ((plan->dof == 6 && plan->solver.method != Method::none) ||
         (plan->dof == 7 && !plan->locks.empty()))) {
        return true;
    }
    return refuse_chain(chain);
}

PyArrayObject *rows_array(const double *rows, npy_intp count, npy_intp dof) noexcept
{
    const npy_intp dims[2] = {count, dof};
    auto *array =
        reinterpret_cast<PyArrayObject *>(PyArray_SimpleNew(2, const_cast<npy_intp *>(dims), NPY_DOUBLE));
    if (array != nullptr && count > 0) {
        std::memcpy(PyArray_DATA(array), rows, sizeof(double) * count * dof);
    }
    return array;
}

// ---------------------------------------------------------------------------
// ik_all, bound by hand: a UR5 solve takes about a microsecond, and a
// generic dispatcher would add a good share of that.

constexpr const char ik_all_doc[] =
    R"(ik_all($self, /, T, *, locked=None, limits=True, tol=1e-09)
--

Every joint configuration that puts the end frame at the 4x4 pose ``T``.

Returns a float64 array (k, dof), one solution a row, (0, dof) when there
is none.  Each row was checked by the chain's own pose arithmetic:
``forward_kinematics(kb, row)`` is exactly the pose that was found within
``tol`` of ``T`` (metres for the origin, radians for the geodesic angle of
the rotation).  Revolute values are wrapped into (-pi, pi], or shifted by
whole turns into the joint's limits where that fits; with ``limits=True``
rows outside the limits are left out.  Rows are in ascending lexicographic
order, with solutions closer than 1e-9 rad in every joint merged.

A 7R chain is solved with one joint locked: ``locked={joint: value}``,
joint an index or a name among those of ``locked_families``.  A searched
family (see ``kinematic_family``) finds the zeros of one residual over a
grid of 128 values of joint 4, with each branch's ends found in closed
form and walked out to the grid and close pairs of zeros chased down
between samples.  A 'general 6R' arm is searched over 16 x 16 grids of
joints 5 and 6 and of joints 1 and 2, each promising cell finished by
Newton steps on the whole pose (about a millisecond): it may miss a
solution that neither grid leads to, most likely one of two near twins at
a target close to a singular pose.  At a singular target (a wrist singularity, where a continuum of solutions
reaches it) the rows are representatives: the singular subproblem's free
angle set to 0 (for the Universal Robots family, joint 6 set so that joint
4 sits halfway across the elbow's reach).)";

PyObject *ik_all_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept
{
    PyObject *T = nargs >= 1 ? args[0] : nullptr;
    PyObject *locked = nullptr, *limits = nullptr, *tol = nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "ik_all() takes 1 positional argument but %zd were given", nargs);
        return nullptr;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject **slot = PyUnicode_CompareWithASCIIString(key, "T") == 0        ? &T
                          : PyUnicode_CompareWithASCIIString(key, "locked") == 0 ? &locked
                          : PyUnicode_CompareWithASCIIString(key, "limits") == 0 ? &limits
                          : PyUnicode_CompareWithASCIIString(key, "tol") == 0    ? &tol
                                                                                 : nullptr;
        if (slot == nullptr || *slot != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         slot == nullptr ? "ik_all() got an unexpected keyword argument '%U'"
                                         : "ik_all() got multiple values for argument '%U'",
                         key);
            return nullptr;
        }
        *slot = args[nargs + k];
    }
    if (T == nullptr) {
        PyErr_SetString(PyExc_TypeError, "ik_all() missing 1 required positional argument: 'T'");
        return nullptr;
    }
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "ik_all() called on an uninitialised kovi.Chain");
        return nullptr;
    }
    const Chain &chain = *nb::inst_ptr<Chain>(self);
    const LockPlan *lock = nullptr;
    double value = 0.0, tolerance = 1e-9;
    bool within_limits = true;
    AffineBlock target;
    if (!solvable(chain) || !read_locked(chain, locked, lock, value) || !read_flag(limits, within_limits) ||
        !read_tol(tol, tolerance) || !read_target(T, "T", target)) {
        return nullptr;
    }
    Request request = lock == nullptr ? six_request(chain) : locked_request(chain, lock, value);
    request.limits = within_limits;
    request.tol = tolerance;
    double rows[max_candidates * 7];
    const int count = solve_all(request, target, rows);
    return reinterpret_cast<PyObject *>(rows_array(rows, count, chain.dof()));
}

PyMethodDef ik_all_method = {
    "ik_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ik_all_entry)),
    METH_FASTCALL | METH_KEYWORDS, ik_all_doc};

// ---------------------------------------------------------------------------
// ik_sweep

PyObject *ik_sweep(const Chain &chain, PyObject *T, PyObject *joint_key, PyObject *sample_count,
                   PyObject *limits, PyObject *tol) noexcept
{
    int joint = 0;
    double tolerance = 1e-9;
    bool within_limits = true;
    AffineBlock target;
    if (!solvable(chain)) {
        return nullptr;
    }
    if (chain.dof() != 7) {
        PyErr_Format(PyExc_ValueError, "ik_sweep is for 7R chains: kovi.Chain '%s' has %zd joints",
                     chain.name.c_str(), chain.dof());
        return nullptr;
    }
    if (!read_joint(chain, joint_key, "joint", joint) || !read_flag(limits, within_limits) ||
        !read_tol(tol, tolerance)) {
        return nullptr;
    }
    const LockPlan *lock = lock_plan(chain, joint);
    if (lock == nullptr) {
        return nullptr;
    }
    if (!PyLong_Check(sample_count) || PyBool_Check(sample_count)) {
        PyErr_Format(PyExc_TypeError, "samples must be a positive int, got %.200s",
                     Py_TYPE(sample_count)->tp_name);
        return nullptr;
    }
    const long samples = PyLong_AsLong(sample_count);
    if (samples == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (samples < 1 || samples > 1000000) {
        PyErr_Format(PyExc_ValueError, "samples must be between 1 and 1000000, got %R", sample_count);
        return nullptr;
    }
    if (!read_target(T, "T", target)) {
        return nullptr;
    }
    // The grid spans the joint's limits, ends included; a joint without
    // limits is sampled over [-pi, pi), each turn once.
    const kovi::chain::JointLimit range = chain.limits[joint];
    const bool bounded = std::isfinite(range.lower) && std::isfinite(range.upper);
    const double lower = bounded ? range.lower : -pi;
    const double step = samples == 1 ? 0.0
                        : bounded    ? (range.upper - range.lower) / static_cast<double>(samples - 1)
                                     : two_pi / static_cast<double>(samples);
    std::vector<double> all;
    try {
        all.reserve(static_cast<std::size_t>(samples) * 7 * 2);
        for (long k = 0; k < samples; k++) {
            Setup setup;
            const double value = samples == 1 && bounded ? 0.5 * (range.lower + range.upper)
                                                         : lower + step * static_cast<double>(k);
            set_up(chain, lock, value, setup);
            setup.request.limits = within_limits;
            setup.request.tol = tolerance;
            double rows[max_candidates * 7];
            const int count = solve_all(setup.request, target, rows);
            all.insert(all.end(), rows, rows + count * 7);
            if ((k & 63) == 63 && PyErr_CheckSignals() < 0) {
                return nullptr;
            }
        }
    }
    catch (...) {
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(rows_array(all.data(), all.size() / 7, 7));
}

// ---------------------------------------------------------------------------
// ik_all_batch

struct BatchContext {
    const Request *request;
    const TargetBatch *targets;
    double *solutions;  // (N, room, dof), NaN-filled beforehand
    long long *counts;  // (N,)
    Py_ssize_t room;    // the family's most solutions
};

void solve_rows(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept
{
    const auto &batch = *static_cast<const BatchContext *>(context);
    const Py_ssize_t dof = batch.request->chain->dof();
    for (Py_ssize_t i = begin; i < end; i++) {
        // solve_all needs room for every candidate; the family's most
        // solutions fit in the row's share.
        double rows[max_candidates * 7];
        const int count = solve_all(*batch.request, (*batch.targets)[i], rows);
        std::copy(rows, rows + count * dof, batch.solutions + i * batch.room * dof);
        batch.counts[i] = count;
    }
}

PyObject *ik_all_batch(const Chain &chain, PyObject *Ts, PyObject *thread_count, PyObject *locked,
                       PyObject *limits, PyObject *tol) noexcept
{
    const LockPlan *lock = nullptr;
    double value = 0.0, tolerance = 1e-9;
    bool within_limits = true;
    int threads = 1;
    if (!solvable(chain) || !kovi::chain::read_threads(thread_count, threads) ||
        !read_locked(chain, locked, lock, value) || !read_flag(limits, within_limits) ||
        !read_tol(tol, tolerance)) {
        return nullptr;
    }
    TargetBatch targets;
    if (!targets.read(Ts, "Ts")) {
        return nullptr;
    }
    Setup setup;
    set_up(chain, lock, value, setup);
    setup.request.limits = within_limits;
    setup.request.tol = tolerance;
    const npy_intp n = targets.size(), dof = chain.dof(), room = candidates_of(setup.request.solver);
    const npy_intp solution_dims[3] = {n, room, dof};
    const npy_intp count_dims[1] = {n};
    OwnedRef solutions(PyArray_SimpleNew(3, const_cast<npy_intp *>(solution_dims), NPY_DOUBLE));
    OwnedRef counts(PyArray_SimpleNew(1, const_cast<npy_intp *>(count_dims), NPY_INT64));
    if (!solutions || !counts) {
        return nullptr;
    }
    auto *data = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(solutions.get())));
    std::fill(data, data + n * room * dof, std::nan(""));
    BatchContext batch{&setup.request, &targets, data,
                       static_cast<long long *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(counts.get()))),
                       room};
    if (kovi::chain::run_rows(n, threads, 64, solve_rows, &batch) < 0) {
        return nullptr;
    }
    return PyTuple_Pack(2, solutions.get(), counts.get());
}

// ---------------------------------------------------------------------------
// The lane-wise poses, for the tests that hold them to the chain's poses.

PyObject *lane_poses(const Chain &chain, PyObject *Q) noexcept
{
    OwnedRef array(PyArray_FROMANY(Q, NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO));
    if (!array) {
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    for (const kovi::chain::JointRecord &joint : chain.joints) {
        if (joint.prismatic) {
            PyErr_SetString(PyExc_ValueError, "lane poses are for revolute chains");
            return nullptr;
        }
    }
    if (PyArray_DIM(a, 1) != chain.dof()) {
        PyErr_Format(PyExc_ValueError, "expected (N, %zd) joint values", chain.dof());
        return nullptr;
    }
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp dims[3] = {n, 4, 4};
    OwnedRef out(PyArray_SimpleNew(3, const_cast<npy_intp *>(dims), NPY_DOUBLE));
    if (!out) {
        return nullptr;
    }
    const auto *q = static_cast<const double *>(PyArray_DATA(a));
    auto *poses = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
    for (npy_intp first = 0; first < n; first += lanes) {
        const int group = static_cast<int>(std::min<npy_intp>(lanes, n - first));
        AffineBlock blocks[lanes];
        lane_end_poses(chain.joints.data(), chain.joints.size(), q + first * chain.dof(), chain.dof(),
                       group, nullptr, nullptr, blocks);
        for (int l = 0; l < group; l++) {
            kovi::chain::store_pose(blocks[l], {reinterpret_cast<char *>(poses + 16 * (first + l)),
                                                4 * sizeof(double), sizeof(double)});
        }
    }
    return out.release();
}

nb::object result(PyObject *value)
{
    if (value == nullptr) {
        nb::detail::raise_python_error();
    }
    return nb::steal(value);
}

}  // namespace

void bind_analytic(nb::module_ &module, ChainClass &chain_class)
{
    chain_class
        .def_prop_ro(
            "kinematic_family", [](const Chain &chain) { return family_of(chain); },
            nb::sig("def kinematic_family(self) -> str"),
            "The closed-form family of a 6R chain: 'spherical wrist' (axes 4-6 meet in a\n"
            "point), 'spherical wrist at the base' (axes 1-3 do), 'three parallel' (axes\n"
            "2-4 or 3-5 parallel, the Universal Robots family), 'two parallel, search' (axes\n"
            "2 and 3 parallel and 5 and 6 meeting, or 'two parallel at the base, search' for\n"
            "the same from the end: solved by a search over one joint), or 'general 6R'\n"
            "(none of these: solved by a search over two joints); '7R' for a 7R chain\n"
            "(see locked_families); 'not 6R or 7R revolute' otherwise.  Found from the\n"
            "joints' lines at q = 0, to 1e-9 (radians, and metres per metre of the chain's\n"
            "length).")
        .def_prop_ro(
            "locked_families",
            [](const Chain &chain) {
                nb::dict families;
                if (chain.analytic) {
                    for (const LockPlan &lock : chain.analytic->locks) {
                        families[nb::int_(lock.joint)] = family_name(lock.solver);
                    }
                }
                return families;
            },
            nb::sig("def locked_families(self) -> dict[int, str]"),
            "For a 7R chain, {joint index: family} of every joint that, locked, leaves a\n"
            "6R chain with a closed form or a one-joint search (at any locked value);\n"
            "empty otherwise.")
        .def(
            "ik_sweep",
            [](const Chain &chain, nb::handle T, nb::handle joint, nb::handle samples,
               nb::handle limits, nb::handle tol) {
                return result(ik_sweep(chain, T.ptr(), joint.ptr(), samples.ptr(), limits.ptr(), tol.ptr()));
            },
            "T"_a.none(), "joint"_a.none(), nb::kw_only(), "samples"_a.none() = 64,
            "limits"_a.none() = true, "tol"_a.none() = 1e-9,
            nb::sig("def ik_sweep(self, T: numpy.typing.ArrayLike, joint: int | str, *, "
                    "samples: int = 64, limits: bool = True, tol: float = 1e-09) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "A 7R chain's solutions over a grid of one joint's values: that joint locked at\n"
            "`samples` evenly spaced values over its limits (ends included; [-pi, pi) without\n"
            "limits), each solved as ik_all(T, locked={joint: value}).  Rows of all values,\n"
            "in the grid's order, each verified like ik_all's.")
        .def(
            "ik_all_batch",
            [](const Chain &chain, nb::handle Ts, nb::handle threads, nb::handle locked,
               nb::handle limits, nb::handle tol) {
                return result(ik_all_batch(chain, Ts.ptr(), threads.ptr(), locked.ptr(), limits.ptr(), tol.ptr()));
            },
            "Ts"_a.none(), nb::kw_only(), "threads"_a.none() = 1, "locked"_a.none() = nb::none(),
            "limits"_a.none() = true, "tol"_a.none() = 1e-9,
            nb::sig("def ik_all_batch(self, Ts: numpy.typing.ArrayLike, *, threads: int = 1, "
                    "locked: dict[int | str, float] | None = None, limits: bool = True, "
                    "tol: float = 1e-09) -> tuple[numpy.typing.NDArray[numpy.float64], "
                    "numpy.typing.NDArray[numpy.int64]]"),
            "ik_all for each pose of Ts (N, 4, 4): (solutions, counts), solutions (N, m, dof)\n"
            "(m = 8, 16 for a searched family or a general 6R arm) with row i's counts[i]\n"
            "solutions first and NaN after, counts (N,) int64.  Runs\n"
            "with the interpreter lock released on `threads` threads; the result does not\n"
            "depend on how many.");
    OwnedRef method(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(chain_class.ptr()), &ik_all_method));
    if (!method || PyObject_SetAttrString(chain_class.ptr(), "ik_all", method.get()) < 0) {
        nb::detail::raise_python_error();
    }
    module.def(
        "_lane_poses",
        [](const Chain &chain, nb::handle Q) { return result(lane_poses(chain, Q.ptr())); },
        "chain"_a, "Q"_a.none(),
        nb::sig("def _lane_poses(chain: Chain, Q: numpy.typing.ArrayLike) -> "
                "numpy.typing.NDArray[numpy.float64]"),
        "End poses of the rows of Q computed several at a time (the arithmetic that\n"
        "verifies closed-form solutions), for tests.");
}

}  // namespace kovi::solvers
