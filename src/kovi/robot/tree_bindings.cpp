// The kinematic tree's Python surface (kovi._chain.KinematicTree, the
// native part of kovi.Robot), and the link names and configuration methods
// of kovi.Chain.  The bindings are thin: each reads its arguments at the C
// API level, sets a Python exception and returns null on failure, which
// becomes nanobind's python_error (caught by nanobind's dispatcher).
#include "numpy_api.hpp"

#include "tree_bindings.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "chain.hpp"
#include "chain_links.hpp"
#include "joint_values.hpp"
#include "owned_ref.hpp"
#include "tree.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kovi::robot {

namespace {

using kovi::chain::Chain;
using kovi::chain::JacobianFrame;
using kovi::chain::JointValues;
using kovi::chain::read_jacobian_frame;

nb::object result(PyObject *value)
{
    if (value == nullptr) {
        nb::raise_python_error();
    }
    return nb::steal(value);
}

// ---------------------------------------------------------------------------
// Building a tree from the arrays kovi.Robot computes

// value as a C-contiguous array of `type` with the given shape (-1: any
// length), or null with a ValueError naming `what`.
PyArrayObject *array_of(PyObject *value, int type, int ndim, const npy_intp *dims,
                        const char *what) noexcept
{
    PyObject *array = PyArray_FROMANY(value, type, ndim, ndim, NPY_ARRAY_CARRAY_RO);
    if (array == nullptr) {
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array);
    for (int d = 0; d < ndim; d++) {
        if (dims[d] >= 0 && PyArray_DIM(a, d) != dims[d]) {
            Py_DECREF(array);
            PyErr_Format(PyExc_ValueError, "KinematicTree: %s has the wrong shape", what);
            return nullptr;
        }
    }
    return a;
}

bool malformed(const char *what) noexcept
{
    PyErr_Format(PyExc_ValueError, "KinematicTree: %s", what);
    return false;
}

// lefts (M, 3, 4), axes (M, 3), motion_ints (M, 4): prismatic, mimic,
// column, anchor (-1: the root pose), mimic (M, 2): multiplier, offset;
// frame_motion (F,) (-1: fixed to the root), rights (F, 3, 4).
bool tree_from_arrays(PyObject *lefts, PyObject *axes, PyObject *motion_ints, PyObject *mimic,
                      PyObject *frame_motion, PyObject *rights, Py_ssize_t columns,
                      Tree &tree) noexcept
{
    const npy_intp any = -1;
    npy_intp left_dims[3] = {any, 3, 4};
    OwnedRef left_array(reinterpret_cast<PyObject *>(
        array_of(lefts, NPY_DOUBLE, 3, left_dims, "lefts")));
    if (!left_array) {
        return false;
    }
    const npy_intp m = PyArray_DIM(reinterpret_cast<PyArrayObject *>(left_array.get()), 0);
    const npy_intp axis_dims[2] = {m, 3}, int_dims[2] = {m, 4}, mimic_dims[2] = {m, 2};
    const npy_intp frame_dims[1] = {any};
    OwnedRef axis_array(reinterpret_cast<PyObject *>(array_of(axes, NPY_DOUBLE, 2, axis_dims, "axes")));
    OwnedRef int_array(axis_array ? reinterpret_cast<PyObject *>(array_of(
                                        motion_ints, NPY_INT64, 2, int_dims, "motion_ints"))
                                  : nullptr);
    OwnedRef mimic_array(int_array ? reinterpret_cast<PyObject *>(array_of(
                                         mimic, NPY_DOUBLE, 2, mimic_dims, "mimic"))
                                   : nullptr);
    OwnedRef frame_array(mimic_array ? reinterpret_cast<PyObject *>(array_of(
                                           frame_motion, NPY_INT64, 1, frame_dims, "frame_motion"))
                                     : nullptr);
    if (!frame_array) {
        return false;
    }
    const npy_intp f = PyArray_DIM(reinterpret_cast<PyArrayObject *>(frame_array.get()), 0);
    const npy_intp right_dims[3] = {f, 3, 4};
    OwnedRef right_array(reinterpret_cast<PyObject *>(
        array_of(rights, NPY_DOUBLE, 3, right_dims, "rights")));
    if (!right_array) {
        return false;
    }
    if (columns < 0) {
        return malformed("columns must not be negative");
    }
    auto data = [](const OwnedRef &a) {
        return PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get()));
    };
    const auto *left_values = static_cast<const double *>(data(left_array));
    const auto *axis_values = static_cast<const double *>(data(axis_array));
    const auto *ints = static_cast<const npy_int64 *>(data(int_array));
    const auto *mimic_values = static_cast<const double *>(data(mimic_array));
    const auto *frame_motions = static_cast<const npy_int64 *>(data(frame_array));
    const auto *right_values = static_cast<const double *>(data(right_array));
    Tree built;
    try {
        built.motions.resize(static_cast<std::size_t>(m));
        built.frames.resize(static_cast<std::size_t>(f));
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    built.columns = static_cast<std::size_t>(columns);
    for (npy_intp i = 0; i < m; i++) {
        Motion &motion = built.motions[i];
        std::memcpy(motion.left.e, left_values + 12 * i, sizeof motion.left.e);
        std::memcpy(motion.axis, axis_values + 3 * i, sizeof motion.axis);
        const npy_int64 *v = ints + 4 * i;
        if (v[2] < 0 || v[2] >= columns) {
            return malformed("a motion's column is out of range");
        }
        if (v[3] < -1 || v[3] >= f) {
            return malformed("a motion's anchor is out of range");
        }
        motion.prismatic = v[0] != 0;
        motion.mimic = v[1] != 0;
        motion.column = static_cast<std::size_t>(v[2]);
        motion.anchor = v[3] < 0 ? no_frame : static_cast<std::size_t>(v[3]);
        motion.multiplier = mimic_values[2 * i];
        motion.offset = mimic_values[2 * i + 1];
    }
    for (npy_intp i = 0; i < f; i++) {
        TreeFrame &frame = built.frames[i];
        std::memcpy(frame.right.e, right_values + 12 * i, sizeof frame.right.e);
        const npy_int64 motion = frame_motions[i];
        if (motion < -1 || motion >= m) {
            return malformed("a frame's motion is out of range");
        }
        frame.motion = motion < 0 ? no_motion : static_cast<std::size_t>(motion);
        // One pass in order must find every anchor's pose computed: parents
        // first, which also rules out cycles.
        if (frame.motion != no_motion && built.motions[frame.motion].anchor != no_frame &&
            built.motions[frame.motion].anchor >= static_cast<std::size_t>(i)) {
            return malformed("a frame precedes the frame its joint moves from");
        }
    }
    tree = std::move(built);
    return true;
}

// ---------------------------------------------------------------------------
// Evaluating it

PyArrayObject *new_array(int nd, const npy_intp *dims) noexcept
{
    return reinterpret_cast<PyArrayObject *>(
        PyArray_SimpleNew(nd, const_cast<npy_intp *>(dims), NPY_DOUBLE));
}

bool read_frame_index(const Tree &tree, Py_ssize_t index, std::size_t &out) noexcept
{
    if (index < 0 || static_cast<std::size_t>(index) >= tree.frames.size()) {
        PyErr_Format(PyExc_IndexError, "frame index %zd out of range for %zu frames", index,
                     tree.frames.size());
        return false;
    }
    out = static_cast<std::size_t>(index);
    return true;
}

// Scratch of one evaluation: the motions' values and the frames' poses.
struct Scratch {
    std::vector<double> values;
    std::vector<AffineBlock> poses;
    std::vector<std::size_t> path;

    bool make(const Tree &tree) noexcept
    {
        try {
            values.resize(2 * tree.motions.size());
            poses.resize(tree.frames.size());
            path.resize(tree.frames.size());
        }
        catch (...) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // The poses of the frames that frame f needs.
    void path_poses(const Tree &tree, std::size_t f) noexcept
    {
        const std::size_t count = frame_path(tree, f, path.data());
        for (std::size_t i = 0; i < count; i++) {
            frame_pose(tree, path[i], poses.data(), values.data(), poses[path[i]]);
        }
    }
};

void store(const AffineBlock &a, double *out) noexcept
{
    kovi::chain::store_pose(a, {reinterpret_cast<char *>(out), 4 * sizeof(double), sizeof(double)});
}

PyObject *tree_poses(const Tree &tree, PyObject *q) noexcept
{
    JointValues values;
    Scratch scratch;
    if (!values.read(q, static_cast<Py_ssize_t>(tree.columns)) || !scratch.make(tree)) {
        return nullptr;
    }
    const npy_intp dims[3] = {static_cast<npy_intp>(tree.frames.size()), 4, 4};
    PyArrayObject *poses = new_array(3, dims);
    if (poses == nullptr) {
        return nullptr;
    }
    motion_values(tree, values.view(), scratch.values.data());
    all_poses(tree, scratch.values.data(), scratch.poses.data());
    auto *out = static_cast<double *>(PyArray_DATA(poses));
    for (std::size_t f = 0; f < tree.frames.size(); f++) {
        store(scratch.poses[f], out + 16 * f);
    }
    return reinterpret_cast<PyObject *>(poses);
}

PyObject *tree_pose(const Tree &tree, PyObject *q, Py_ssize_t index) noexcept
{
    JointValues values;
    Scratch scratch;
    std::size_t f;
    if (!read_frame_index(tree, index, f) ||
        !values.read(q, static_cast<Py_ssize_t>(tree.columns)) || !scratch.make(tree)) {
        return nullptr;
    }
    static constexpr npy_intp dims[2] = {4, 4};
    PyArrayObject *pose = new_array(2, dims);
    if (pose == nullptr) {
        return nullptr;
    }
    motion_values(tree, values.view(), scratch.values.data());
    scratch.path_poses(tree, f);
    store(scratch.poses[f], static_cast<double *>(PyArray_DATA(pose)));
    return reinterpret_cast<PyObject *>(pose);
}

PyObject *tree_jacobian(const Tree &tree, PyObject *q, Py_ssize_t index, PyObject *frame) noexcept
{
    JointValues values;
    Scratch scratch;
    JacobianFrame which;
    std::size_t f;
    if (!read_frame_index(tree, index, f) || !read_jacobian_frame(frame, which) ||
        !values.read(q, static_cast<Py_ssize_t>(tree.columns)) || !scratch.make(tree)) {
        return nullptr;
    }
    std::unique_ptr<bool[]> touched(new (std::nothrow) bool[tree.columns + 1]);
    if (!touched) {
        return PyErr_NoMemory();
    }
    const npy_intp dims[2] = {6, static_cast<npy_intp>(tree.columns)};
    PyArrayObject *jacobian = new_array(2, dims);
    if (jacobian == nullptr) {
        return nullptr;
    }
    motion_values(tree, values.view(), scratch.values.data());
    scratch.path_poses(tree, f);
    frame_jacobian(tree, f, scratch.poses.data(), which, static_cast<double *>(PyArray_DATA(jacobian)),
                   touched.get());
    return reinterpret_cast<PyObject *>(jacobian);
}

// ---------------------------------------------------------------------------
// kovi.Chain's link names and configurations

PyObject *chain_link_names(const Chain &chain) noexcept
{
    if (!chain.link_names.empty()) {
        return link_names_state(chain);
    }
    OwnedRef names(PyTuple_New(chain.dof() + 1));
    if (!names) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i <= chain.dof(); i++) {
        PyObject *name = i == 0 ? PyUnicode_FromString("base") : PyUnicode_FromFormat("link%zd", i);
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names.release();
}

// kovi._configurations.Limits of the chain's joints.
nb::object chain_limits_object(const Chain &chain)
{
    OwnedRef revolute(PyTuple_New(chain.dof()));
    if (!revolute) {
        nb::raise_python_error();
    }
    for (Py_ssize_t i = 0; i < chain.dof(); i++) {
        PyTuple_SET_ITEM(revolute.get(), i, PyBool_FromLong(!chain.joints[i].prismatic));
    }
    nb::object table = result(kovi::chain::chain_limits(chain));
    nb::object names = result(kovi::chain::chain_joint_names(chain));
    return nb::module_::import_("kovi._configurations")
        .attr("Limits")
        .attr("of_table")(table, nb::steal(revolute.release()), names);
}

constexpr const char *tree_doc = R"(The native part of :class:`kovi.Robot`: every frame of a
kinematic tree evaluated in one pass (see kovi._robot, which builds it).)";

}  // namespace

void bind_tree(nb::module_ &module)
{
    nb::class_<Tree>(module, "KinematicTree", tree_doc)
        .def(
            "__init__",
            [](Tree *self, nb::handle lefts, nb::handle axes, nb::handle motion_ints,
               nb::handle mimic, nb::handle frame_motion, nb::handle rights, Py_ssize_t columns) {
                Tree tree;
                if (!tree_from_arrays(lefts.ptr(), axes.ptr(), motion_ints.ptr(), mimic.ptr(),
                                      frame_motion.ptr(), rights.ptr(), columns, tree)) {
                    nb::raise_python_error();
                }
                new (self) Tree(std::move(tree));
            },
            "lefts"_a, "axes"_a, "motion_ints"_a, "mimic"_a, "frame_motion"_a, "rights"_a,
            "columns"_a)
        .def_prop_ro("dof", [](const Tree &tree) { return tree.columns; },
                     "Number of independent joint values.")
        .def_prop_ro("frame_count", [](const Tree &tree) { return tree.frames.size(); })
        .def(
            "poses", [](const Tree &tree, nb::handle q) { return result(tree_poses(tree, q.ptr())); },
            "q"_a.none(),
            nb::sig("def poses(self, q: numpy.typing.ArrayLike) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "(frames, 4, 4): every frame's pose at q, in order.")
        .def(
            "pose",
            [](const Tree &tree, nb::handle q, Py_ssize_t index) {
                return result(tree_pose(tree, q.ptr(), index));
            },
            "q"_a.none(), "index"_a,
            nb::sig("def pose(self, q: numpy.typing.ArrayLike, index: int) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "The 4x4 pose of frame `index` at q.")
        .def(
            "jacobian",
            [](const Tree &tree, nb::handle q, Py_ssize_t index, nb::handle frame) {
                return result(tree_jacobian(tree, q.ptr(), index, frame.ptr()));
            },
            "q"_a.none(), "index"_a, "frame"_a.none() = "world",
            nb::sig("def jacobian(self, q: numpy.typing.ArrayLike, index: int, "
                    "frame: str = 'world') -> numpy.typing.NDArray[numpy.float64]"),
            "The 6 x dof Jacobian of frame `index` at q, rows [linear; angular].");

    auto chain = nb::borrow<nb::class_<Chain>>(nb::type<Chain>());
    chain
        .def_prop_ro(
            "link_names", [](const Chain &c) { return result(chain_link_names(c)); },
            nb::sig("def link_names(self) -> tuple[str, ...]"),
            "Names of the dof + 1 rows of link_poses: the base frame, then the frame after\n"
            "each joint (the body's link_names).")
        .def(
            "random_configuration",
            [](const Chain &c, nb::handle rng) {
                return chain_limits_object(c).attr("random")(rng);
            },
            "rng"_a.none() = nb::none(),
            nb::sig("def random_configuration(self, rng: object = None) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "A configuration drawn uniformly within the joint limits (see\n"
            "KinBody.random_configuration).")
        .def(
            "within_limits",
            [](const Chain &c, nb::handle q, nb::handle tol) {
                return chain_limits_object(c).attr("within")(q, tol);
            },
            "q"_a.none(), "tol"_a.none() = 0.0,
            nb::sig("def within_limits(self, q: numpy.typing.ArrayLike, tol: float = 0.0) -> bool"),
            "True if every value of q lies within its joint's limits, widened by tol.")
        .def(
            "clamp",
            [](const Chain &c, nb::handle q) { return chain_limits_object(c).attr("clamp")(q); },
            "q"_a.none(),
            nb::sig("def clamp(self, q: numpy.typing.ArrayLike) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            "q with each value moved to the nearest point of its joint's limits.")
        .def(
            "neutral_configuration",
            [](const Chain &c) { return chain_limits_object(c).attr("neutral")(); },
            nb::sig("def neutral_configuration(self) -> numpy.typing.NDArray[numpy.float64]"),
            "Zero where the limits hold zero, else the middle of the limits.");
}

}  // namespace kovi::robot
