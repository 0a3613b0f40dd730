// kovi._chain: the compiled chain type and the checked forward kinematics,
// bound with nanobind.  The bindings are thin: every operation is a noexcept
// function of chain.hpp that sets a Python exception and returns null on
// failure, which the binding turns into nanobind's python_error (caught by
// nanobind's dispatcher, never across the C API).
#define KOVI_CHAIN_DEFINES_NUMPY_API
#include "numpy_api.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string_view.h>

#include <mutex>
#include <new>
#include <unordered_set>

#include "chain.hpp"
#include "solver_bindings.hpp"
#include "tree_bindings.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using kovi::chain::Chain;

namespace {

nb::object result(PyObject *value)
{
    if (value == nullptr) {
        nb::raise_python_error();
    }
    return nb::steal(value);
}

// The chains whose construction (__init__ or __setstate__) is under way.
// nanobind refuses to construct an instance that is ready, but the instance
// becomes ready only once the constructor returns, and reading a body runs
// Python code (a property, say) that lets other threads in: a second
// constructor on the same object would pass nanobind's check meanwhile, and
// the two would build into the same storage, one over the other, under a
// batch already running on the first.  A constructor therefore claims the
// object here before it reads anything, and a claim on an object already
// claimed is refused.  The mutex keeps the claim atomic without relying on
// the interpreter lock.
class ConstructionClaim {
public:
    explicit ConstructionClaim(PyObject *self) noexcept : self_(self)
    {
        std::lock_guard<std::mutex> lock(mutex());
        try {
            claimed_ = objects().insert(self).second;
        }
        catch (...) {
            PyErr_NoMemory();
            failed_ = true;
            return;
        }
        if (!claimed_) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Chain: this chain is already being initialised by another call");
            failed_ = true;
        }
    }

    ~ConstructionClaim()
    {
        if (claimed_) {
            std::lock_guard<std::mutex> lock(mutex());
            objects().erase(self_);
        }
    }

    ConstructionClaim(const ConstructionClaim &) = delete;
    ConstructionClaim &operator=(const ConstructionClaim &) = delete;

    // False with the exception set when the object was claimed already.
    bool held() const noexcept { return !failed_; }

private:
    static std::mutex &mutex() noexcept
    {
        static std::mutex m;
        return m;
    }
    static std::unordered_set<PyObject *> &objects() noexcept
    {
        static std::unordered_set<PyObject *> s;
        return s;
    }

    PyObject *self_;
    bool claimed_ = false;
    bool failed_ = false;
};

// Builds a chain with `read` (chain_from_body or chain_from_state) into the
// uninitialised instance `self`.  nanobind marks it ready when this returns.
template <typename Reader>
void construct(nb::pointer_and_handle<Chain> self, nb::handle source, Reader read)
{
    ConstructionClaim claim(self.h.ptr());
    if (!claim.held()) {
        nb::raise_python_error();
    }
    Chain chain;
    if (!read(source.ptr(), chain)) {
        nb::raise_python_error();
    }
    new (self.p) Chain(std::move(chain));
}

constexpr const char *module_doc = R"(Compiled serial chains.

``Chain(kb)`` copies the numbers of a :class:`kovi.KinBody` once and computes
poses, batches of poses, link frames and Jacobians natively, bit-for-bit the
poses of ``kovi.kinematics.poe_fk.poe_forward_kinematics``.
``forward_kinematics(kb, q)`` is that function with its joint values checked.)";

constexpr const char *chain_doc = R"(A kinematic body compiled for repeated evaluation.

``Chain(kb)`` copies the joints' numbers of the :class:`kovi.KinBody` ``kb``
into contiguous native storage and never reads the body again (a KinBody
is immutable).  Every pose is bit-for-bit what
``poe_forward_kinematics(kb, q)`` returns for the same ``q``.

Jacobians are 6 x dof, rows ``[linear; angular]``, of the end frame:

* ``frame="world"``: the linear velocity of the end point and the angular
  velocity, both in base coordinates (Pinocchio's ``LOCAL_WORLD_ALIGNED``);
* ``frame="local"``: the same two vectors in the end frame's own axes
  (Pinocchio's ``LOCAL``).

A revolute joint's column assumes a unit axis, as ``kovi.Joint`` keeps it.
Chains pickle (rebuilt from the numbers), so batches can run on other
processes, for instance as Dask tasks.)";

// The text signature line lets inspect.signature() and the stub generator
// see the parameters of the hand-bound function.
constexpr const char forward_kinematics_doc[] = R"(forward_kinematics($module, /, kb, q)
--

Base-to-end pose of ``kb`` at ``q``, with ``q`` checked.

``q`` must be one-dimensional with exactly ``len(kb.joints)`` finite real
values; anything else raises ``ValueError`` or ``TypeError`` saying what
was expected and what came (``expected 7 joint values, got 6``,
``q[3] is nan``).  Then returns ``poe_forward_kinematics(kb, q)``
unchanged; errors of the body itself are that function's.  A ``q`` that is
not exactly a numpy array, a list or a tuple (a memoryview, a range, a
subclass of one of those) is read through ``numpy.asarray``, and that
function gets the float64 values read.)";

// Raises the TypeError of a Python function forward_kinematics(kb, q)
// called with the wrong arguments; returns null.
PyObject *argument_error(const char *format, PyObject *name = nullptr)
{
    if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, format, name);
    }
    else {
        PyErr_SetString(PyExc_TypeError, format);
    }
    return nullptr;
}

// kovi.Chain, for the refusal of a chain where a body is expected.
PyTypeObject *chain_type = nullptr;

// forward_kinematics(kb, q), either argument positional or by keyword.
PyObject *forward_kinematics_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) noexcept
{
    PyObject *bound[2] = {nullptr, nullptr};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError,
                     "forward_kinematics() takes 2 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        bound[i] = args[i];
    }
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int slot = PyUnicode_CompareWithASCIIString(key, "kb") == 0  ? 0
                   : PyUnicode_CompareWithASCIIString(key, "q") == 0 ? 1
                                                                      : -1;
        if (slot < 0) {
            return argument_error("forward_kinematics() got an unexpected keyword argument '%U'",
                                  key);
        }
        if (bound[slot] != nullptr) {
            return argument_error("forward_kinematics() got multiple values for argument '%U'",
                                  key);
        }
        bound[slot] = args[nargs + k];
    }
    if (bound[0] == nullptr && bound[1] == nullptr) {
        return argument_error(
            "forward_kinematics() missing 2 required positional arguments: 'kb' and 'q'");
    }
    if (bound[0] == nullptr || bound[1] == nullptr) {
        return argument_error(bound[0] == nullptr
                                  ? "forward_kinematics() missing 1 required positional argument: 'kb'"
                                  : "forward_kinematics() missing 1 required positional argument: 'q'");
    }
    if (chain_type != nullptr && PyObject_TypeCheck(bound[0], chain_type)) {
        PyErr_SetString(PyExc_TypeError, "forward_kinematics() expects a kovi.KinBody as kb, got a "
                        "kovi.Chain (a chain gives its own poses: chain.pose(q))");
        return nullptr;
    }
    return kovi::chain::checked_forward_kinematics(bound[0], bound[1]);
}

// The entry is cast through void (*)(void), the type meant for casts between
// function types, to the PyCFunction a method table holds; its flags tell
// the interpreter its real signature.
PyMethodDef module_functions[] = {
    {"forward_kinematics",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(forward_kinematics_entry)),
     METH_FASTCALL | METH_KEYWORDS, forward_kinematics_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

NB_MODULE(_chain, m)
{
    if (PyArray_ImportNumPyAPI() < 0) {
        nb::raise_python_error();
    }
    m.doc() = module_doc;
    // A daemon thread still inside a batch when the program ends keeps its
    // chain and arrays referenced for good, which nanobind would report as
    // leaks on standard error at exit; nothing is lost when a process ends.
    nb::set_leak_warnings(false);

    nb::class_<Chain> chain_class(m, "Chain", chain_doc);
    chain_class
        .def(
            "__init__",
            [](nb::pointer_and_handle<Chain> self, nb::handle kb) {
                construct(self, kb, kovi::chain::chain_from_body);
            },
            "kb"_a.none(), nb::sig("def __init__(self, kb: kovi.KinBody) -> None"))
        .def_prop_ro("name",
                     [](const Chain &chain) { return result(kovi::chain::chain_name(chain)); },
                     nb::sig("def name(self) -> str"), "The body's name.")
        .def_prop_ro("dof", [](const Chain &chain) { return chain.dof(); },
                     "Number of joints.")
        .def_prop_ro(
            "joint_names",
            [](const Chain &chain) { return result(kovi::chain::chain_joint_names(chain)); },
            nb::sig("def joint_names(self) -> tuple[str, ...]"), "Joint names, base to end.")
        .def("__repr__",
             [](const Chain &chain) { return result(kovi::chain::chain_repr(chain)); },
             nb::sig("def __repr__(self) -> str"))
        .def("__getstate__",
             [](const Chain &chain) { return result(kovi::chain::chain_state(chain)); },
             nb::sig("def __getstate__(self) -> "
                     "tuple[str, tuple[str, ...], str, bytes, bytes, tuple[str, ...]]"))
        .def(
            "__setstate__",
            [](nb::pointer_and_handle<Chain> self, nb::handle state) {
                construct(self, state, kovi::chain::chain_from_state);
            },
            "state"_a.none(),
            nb::sig("def __setstate__(self, state: tuple[str, tuple[str, ...], str, bytes] | "
                    "tuple[str, tuple[str, ...], str, bytes, bytes] | "
                    "tuple[str, tuple[str, ...], str, bytes, bytes, tuple[str, ...]], /) -> None"))
        .def(
            "pose",
            [](const Chain &chain, nb::handle q) {
                return result(kovi::chain::chain_pose(chain, q.ptr()));
            },
            "q"_a.none(),
            nb::sig("def pose(self, q: numpy.typing.ArrayLike) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "The 4x4 base-to-end pose at q (dof finite real values).")
        .def(
            "poses",
            [](const Chain &chain, nb::handle Q, nb::handle out, nb::handle threads) {
                return result(kovi::chain::chain_poses(chain, Q.ptr(), out.ptr(), threads.ptr()));
            },
            "Q"_a.none(), "out"_a.none() = nb::none(), "threads"_a.none() = 1,
            nb::sig("def poses(self, Q: numpy.typing.ArrayLike, out: "
                    "numpy.typing.NDArray[numpy.float64] | None = None, threads: int = 1) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "Poses (N, 4, 4) of the rows of Q (N, dof), computed with the interpreter lock\n"
            "released on `threads` native threads (the result does not depend on how many).\n"
            "`out` may be a writeable float64 (N, 4, 4) array to fill and return.")
        .def(
            "link_poses",
            [](const Chain &chain, nb::handle q) {
                return result(kovi::chain::chain_link_poses(chain, q.ptr()));
            },
            "q"_a.none(),
            nb::sig("def link_poses(self, q: numpy.typing.ArrayLike) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "(dof + 1, 4, 4): the base, then the frame after each joint's T_right.")
        .def(
            "jacobian",
            [](const Chain &chain, nb::handle q, nb::handle frame) {
                return result(kovi::chain::chain_jacobian(chain, q.ptr(), frame.ptr()));
            },
            "q"_a.none(), "frame"_a.none() = "world",
            nb::sig("def jacobian(self, q: numpy.typing.ArrayLike, "
                    "frame: typing.Literal['world', 'local'] = 'world') -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "The 6 x dof geometric Jacobian of the end frame at q, rows [linear; angular]\n"
            "(see the class documentation for the frames).")
        .def(
            "jacobians",
            [](const Chain &chain, nb::handle Q, nb::handle frame, nb::handle threads) {
                return result(
                    kovi::chain::chain_jacobians(chain, Q.ptr(), frame.ptr(), threads.ptr()));
            },
            "Q"_a.none(), "frame"_a.none() = "world", "threads"_a.none() = 1,
            nb::sig("def jacobians(self, Q: numpy.typing.ArrayLike, "
                    "frame: typing.Literal['world', 'local'] = 'world', "
                    "threads: int = 1) -> numpy.typing.NDArray[numpy.float64]"),
            "Jacobians (N, 6, dof) of the rows of Q (N, dof), like poses().")
        .def_prop_ro(
            "limits", [](const Chain &chain) { return result(kovi::chain::chain_limits(chain)); },
            nb::sig("def limits(self) -> numpy.typing.NDArray[numpy.float64]"),
            "Joint limits, a read-only (dof, 2) array of (lower, upper), radians or metres;\n"
            "-inf and inf for a joint without limits.");
    // The public name is kovi.Chain (in reprs, help and pickles, which
    // kovi resolves).  Not when the module is loaded on its own, as the
    // stub generator loads it: the stubs define the class here.
    if (nb::cast<std::string_view>(m.attr("__name__")) == "kovi._chain") {
        chain_class.attr("__module__") = "kovi";
    }
    chain_type = reinterpret_cast<PyTypeObject *>(chain_class.ptr());
    kovi::solvers::bind_analytic(m, chain_class);
    kovi::solvers::bind_numeric(m, chain_class);
    kovi::robot::bind_tree(m);

    // Bound by hand rather than through nanobind: this entry only checks q
    // and forwards to the core, and nanobind's dispatch would be a sizeable
    // share of a short chain's call.
    if (PyModule_AddFunctions(m.ptr(), module_functions) < 0) {
        nb::raise_python_error();
    }
}
