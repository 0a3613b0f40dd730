// The numerical solver's methods on kovi.Chain: ik and ik_batch.
//
// Both are bound by hand as vectorcall method descriptors of the Chain type
// rather than through nanobind: a near-seed solve takes a few microseconds,
// and nanobind's keyword dispatch would be a sizeable share of that.
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "batch_runner.hpp"
#include "ik_arguments.hpp"
#include "interpreter_compat.hpp"
#include "lm_solver.hpp"
#include "solver_bindings.hpp"
#include "targets.hpp"

namespace nb = nanobind;

namespace kovi::solvers {

namespace {

using kovi::chain::Chain;
using numeric::RandomStream;
using numeric::Seeds;
using numeric::SolveOptions;
using numeric::SolveOutcome;

// Chains up to this many joints solve in space on the stack.
constexpr std::size_t inline_joints = 32;
constexpr std::size_t inline_doubles =
    numeric::table_size(inline_joints) + numeric::scratch_size(inline_joints);
// Rows a batch thread takes at a time: a near-seed row is microseconds, an
// unreachable one a millisecond or two, so Ctrl-C is still seen promptly.
constexpr Py_ssize_t batch_chunk_rows = 8;

// A chain's prepared table and a solve's scratch space: on the stack when
// the chain is short, else on the heap (ready() false if that fails).
class Workspace {
public:
    explicit Workspace(const Chain &chain) noexcept
    {
        const std::size_t n = chain.joints.size();
        if (n > inline_joints) {
            heap_.reset(new (std::nothrow) double[numeric::table_size(n) + numeric::scratch_size(n)]);
        }
        table_ = n > inline_joints ? heap_.get() : inline_;
        if (table_ != nullptr) {
            numeric::prepare(chain, table_);
            scratch_ = table_ + numeric::table_size(n);
        }
    }

    bool ready() const noexcept { return table_ != nullptr; }
    const double *table() const noexcept { return table_; }
    double *scratch() noexcept { return scratch_; }

private:
    double inline_[inline_doubles];
    std::unique_ptr<double[]> heap_;
    double *table_ = nullptr;
    double *scratch_ = nullptr;
};

// The chain behind `self`, which the method descriptor has already checked
// is a Chain; null with TypeError for one whose __init__ never ran.
const Chain *chain_of(PyObject *self) noexcept
{
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "the Chain was never initialised");
        return nullptr;
    }
    return nb::inst_ptr<Chain>(self);
}

PyArrayObject *new_array(int nd, const npy_intp *dims, int type) noexcept
{
    return reinterpret_cast<PyArrayObject *>(
        PyArray_SimpleNew(nd, const_cast<npy_intp *>(dims), type));
}

// kovi.IKResult, imported once, and where its six slots lie in an
// instance: a result is made by filling them straight after allocation,
// which is what IKResult.__init__ does, at a fraction of the cost of a
// Python call (a near-seed solve takes a few microseconds).
struct ResultType {
    PyObject *type = nullptr;
    Py_ssize_t offsets[6] = {};
    bool direct = false;  // the slots are plain object members, as defined
};

// Fills `result` once everything is known, so that a failure (with the
// exception set) leaves it empty for the next call to try again.
bool load_result_type(ResultType &result) noexcept
{
    static constexpr const char *fields[6] = {"q", "success", "iterations", "restarts",
                                              "position_error", "rotation_error"};
    OwnedRef module(PyImport_ImportModule("kovi._ik"));
    OwnedRef type(module ? PyObject_GetAttrString(module.get(), "IKResult") : nullptr);
    if (!type) {
        return false;
    }
    ResultType loaded;
    loaded.direct = PyType_Check(type.get());
    for (int k = 0; k < 6 && loaded.direct; k++) {
        OwnedRef descriptor(PyObject_GetAttrString(type.get(), fields[k]));
        if (!descriptor) {
            return false;
        }
        const auto *member = reinterpret_cast<PyMemberDescrObject *>(descriptor.get());
        loaded.direct = Py_IS_TYPE(descriptor.get(), &PyMemberDescr_Type) &&
                        member->d_member->type == Py_T_OBJECT_EX;
        loaded.offsets[k] = loaded.direct ? member->d_member->offset : 0;
    }
    loaded.type = type.release();
    result = loaded;
    return true;
}

PyObject *make_result(PyObject *q, const SolveOutcome &outcome) noexcept
{
    static ResultType result;
    if (result.type == nullptr && !load_result_type(result)) {
        return nullptr;
    }
    PyObject *fields[6] = {
        Py_NewRef(q),
        Py_NewRef(outcome.success ? Py_True : Py_False),
        PyLong_FromLong(outcome.iterations),
        PyLong_FromLong(outcome.restarts),
        PyFloat_FromDouble(outcome.error.position),
        PyFloat_FromDouble(outcome.error.rotation),
    };
    OwnedRef owned[6] = {OwnedRef(fields[0]), OwnedRef(fields[1]), OwnedRef(fields[2]),
                         OwnedRef(fields[3]), OwnedRef(fields[4]), OwnedRef(fields[5])};
    for (PyObject *field : fields) {
        if (field == nullptr) {
            return nullptr;
        }
    }
    if (!result.direct) {
        return PyObject_Vectorcall(result.type, fields, 6, nullptr);
    }
    auto *type = reinterpret_cast<PyTypeObject *>(result.type);
    PyObject *instance = type->tp_alloc(type, 0);
    if (instance != nullptr) {
        for (int k = 0; k < 6; k++) {
            *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(instance) + result.offsets[k]) =
                owned[k].release();
        }
    }
    return instance;
}

// Where a row starts: the seed given, or the default one, moved into the
// solver's range.
void starting_point(const Chain &chain, const Seeds &seeds, Py_ssize_t row, bool limits,
                    double *q) noexcept
{
    if (seeds.given()) {
        std::memcpy(q, seeds.row(row), chain.joints.size() * sizeof(double));
    }
    else {
        numeric::default_seed(chain, q);
    }
    numeric::project(chain, limits, q);
}

constexpr const char *ik_names[] = {"T", "q0", "tol", "max_iterations", "restarts",
                                    "seed", "limits", "mask"};

PyObject *ik_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept
{
    PyObject *bound[8] = {};
    if (!numeric::bind_arguments({"ik", ik_names, 8, 2}, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    const Chain *chain = chain_of(self);
    if (chain == nullptr) {
        return nullptr;
    }
    AffineBlock target;
    Seeds seeds;
    SolveOptions options;
    std::uint64_t seed;
    if (!read_target(bound[0], "T", target) || !seeds.read(bound[1], chain->dof(), -1) ||
        !numeric::read_options(bound + 2, options, seed)) {
        return nullptr;
    }
    const npy_intp dims[1] = {chain->dof()};
    OwnedRef q(reinterpret_cast<PyObject *>(new_array(1, dims, NPY_DOUBLE)));
    Workspace space(*chain);
    if (!q || !space.ready()) {
        return q ? PyErr_NoMemory() : nullptr;
    }
    auto *values = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(q.get())));
    starting_point(*chain, seeds, 0, options.limits, values);
    RandomStream random(seed);
    const SolveOutcome outcome = numeric::solve(*chain, space.table(), target, options, random, values, space.scratch());
    return make_result(q.get(), outcome);
}

struct BatchJob {
    const Chain *chain;
    const TargetBatch *targets;
    const Seeds *seeds;
    SolveOptions options;
    std::uint64_t seed;
    bool warm_start;
    double *Q;
    npy_bool *success;
};

void solve_rows(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept
{
    const BatchJob &job = *static_cast<const BatchJob *>(context);
    const Chain &chain = *job.chain;
    const std::size_t n = chain.joints.size();
    Workspace space(chain);
    for (Py_ssize_t row = begin; row < end; row++) {
        double *q = job.Q + row * static_cast<Py_ssize_t>(n);
        // With warm_start the batch runs in order on one thread, so the
        // row before is done.
        if (job.warm_start && row > 0 && job.success[row - 1]) {
            std::memcpy(q, q - n, n * sizeof(double));
        }
        else {
            starting_point(chain, *job.seeds, row, job.options.limits, q);
        }
        if (!space.ready()) {
            job.success[row] = 0;
            continue;
        }
        RandomStream random(job.seed + static_cast<std::uint64_t>(row));
        job.success[row] = numeric::solve(chain, space.table(), (*job.targets)[row], job.options,
                                          random, q, space.scratch())
                               .success;
    }
}

constexpr const char *ik_batch_names[] = {"Ts", "q0", "tol", "max_iterations", "restarts",
                                          "seed", "limits", "mask", "threads", "warm_start"};

PyObject *ik_batch_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept
{
    PyObject *bound[10] = {};
    if (!numeric::bind_arguments({"ik_batch", ik_batch_names, 10, 2}, args, nargs, kwnames,
                                 bound)) {
        return nullptr;
    }
    const Chain *chain = chain_of(self);
    if (chain == nullptr) {
        return nullptr;
    }
    BatchJob job{};
    int threads = 1;
    bool warm_start = false;
    if (!numeric::read_options(bound + 2, job.options, job.seed) ||
        (bound[8] != nullptr && !kovi::chain::read_threads(bound[8], threads)) ||
        !numeric::read_flag(bound[9], "warm_start", warm_start)) {
        return nullptr;
    }
    TargetBatch targets;
    Seeds seeds;
    if (!targets.read(bound[0], "Ts") || !seeds.read(bound[1], chain->dof(), targets.size())) {
        return nullptr;
    }
    const npy_intp q_dims[2] = {targets.size(), chain->dof()};
    const npy_intp success_dims[1] = {targets.size()};
    OwnedRef Q(reinterpret_cast<PyObject *>(new_array(2, q_dims, NPY_DOUBLE)));
    OwnedRef success(Q ? reinterpret_cast<PyObject *>(new_array(1, success_dims, NPY_BOOL))
                       : nullptr);
    if (!success) {
        return nullptr;
    }
    job.chain = chain;
    job.targets = &targets;
    job.seeds = &seeds;
    job.warm_start = warm_start;
    job.Q = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(Q.get())));
    job.success =
        static_cast<npy_bool *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(success.get())));
    if (kovi::chain::run_rows(targets.size(), warm_start ? 1 : threads, batch_chunk_rows,
                              solve_rows, &job) < 0) {
        return nullptr;
    }
    return PyTuple_Pack(2, Q.get(), success.get());
}

constexpr const char ik_doc[] = R"(ik($self, /, T, q0=None, *, tol=1e-09, max_iterations=100, restarts=50, seed=0, limits=True, mask=None)
--

Joint values that put the end frame at the pose ``T``, found numerically.

Returns a :class:`kovi.IKResult`: ``q`` (dof,), ``success``,
``iterations``, ``restarts``, ``position_error`` (metres) and
``rotation_error`` (radians); it unpacks as ``q, success = chain.ik(T)``.
``success`` is true only when ``q``'s pose, composed by the chain's own
kernel, is within ``tol`` of ``T`` in both the distance of the origins
(metres) and the geodesic angle between the orientations (radians), and,
with ``limits=True``, every value is within its joint's limits.  An
unreachable target is no error: the best ``q`` found comes back with
``success`` false after at most ``max_iterations`` steps from each of
``restarts + 1`` starts.

The solver is Levenberg-Marquardt on the pose error (the position
difference and the axis-angle vector of ``R_T R^T``) with the world-frame
Jacobian and Sugihara's damping, lambda = E + 1e-9 (E half the squared
weighted error), raised while steps fail to lower E.  It always solves
numerically, for every chain (no closed form is tried first).

* ``q0``: the seed, dof finite values.  ``None`` seeds from the middle of
  each joint's limits (zero for a joint without them).  With
  ``limits=True`` a seed outside the limits is clamped into them (a
  revolute value first shifted by whole turns where that lands inside).
* ``restarts``: after a start stalls (its error no longer falling) or uses
  up ``max_iterations``, the next starts from values drawn uniformly
  within the joints' limits (a whole turn for a revolute joint without
  them, a metre either side of the seed for such a prismatic one), from a
  stream seeded by ``seed``: the same call gives the same bytes.
* ``limits``: ``True`` keeps every value inside its limits, projecting each
  step onto them; ``False`` ignores them.  Revolute values come back
  wrapped into (-pi, pi], or shifted by whole turns into their limits
  where that fits.
* ``mask``: the directions that count.  ``'pose'`` (or ``None``) all six;
  ``'position'`` the position alone; ``'position+z'`` the position and the
  direction of the end frame's z axis (the spin about it free, for a
  symmetric tool or a 5-joint arm); or six non-negative weights over
  ``[x, y, z, rx, ry, rz]``: x, y, z along the base axes, rx, ry, rz about
  the target frame's own axes.  A zero frees that direction; none, one or
  all three rotation axes may be free.  The errors reported and judged are
  then those of the constrained directions: the distance over the
  constrained position components, and the geodesic angle (no free
  rotation axis), the angle between the end frame's and the target's free
  axes (one), or zero (all three).)";

constexpr const char ik_batch_doc[] = R"(ik_batch($self, /, Ts, q0=None, *, tol=1e-09, max_iterations=100, restarts=50, seed=0, limits=True, mask=None, threads=1, warm_start=False)
--

``ik`` for each of the (N, 4, 4) targets ``Ts``: returns ``(Q, success)``,
``Q`` (N, dof) float64 and ``success`` (N,) bool.

``q0`` is ``None`` (each row from the default seed), one seed (dof,) for
every row, or one per row (N, dof).  Row ``i`` is solved as
``ik(Ts[i], q0 or q0[i], seed=seed + i, ...)`` would solve it (the seed
taken modulo 2**64), so its answer depends on nothing else, whatever
``threads``.  The rows run with the interpreter lock released on up to
``threads`` native threads; Ctrl-C stops the batch.

``warm_start=True`` is for trajectories: each row after the first is seeded
with the answer of the row before where that one succeeded (else its own
seed), so the rows run in order on one thread.)";

// Function pointers are cast through void (*)(void), the type meant for
// casts between function types; the flags tell the interpreter the real
// signature.
PyMethodDef numeric_methods[] = {
    {"ik", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ik_entry)),
     METH_FASTCALL | METH_KEYWORDS, ik_doc},
    {"ik_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ik_batch_entry)),
     METH_FASTCALL | METH_KEYWORDS, ik_batch_doc},
};

}  // namespace

void bind_numeric(nanobind::module_ &, ChainClass &chain)
{
    auto *type = reinterpret_cast<PyTypeObject *>(chain.ptr());
    for (PyMethodDef &method : numeric_methods) {
        OwnedRef descriptor(PyDescr_NewMethod(type, &method));
        if (!descriptor || PyObject_SetAttrString(chain.ptr(), method.ml_name, descriptor.get()) < 0) {
            nb::detail::raise_python_error();
        }
    }
}

}  // namespace kovi::solvers
