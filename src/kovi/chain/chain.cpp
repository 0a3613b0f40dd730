// A compiled chain and the checked forward kinematics.
#include "chain.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <thread>

#include "batch_runner.hpp"
#include "chain_links.hpp"
#include "interpreter_compat.hpp"
#include "joint_values.hpp"
#include "owned_ref.hpp"
#include "solver_hooks.hpp"

namespace kovi::chain {

namespace {

// Rows per chunk of a batch: about this many joint steps, a fraction of a
// millisecond, so that work spreads evenly over the threads and a signal is
// answered soon.
constexpr Py_ssize_t joint_steps_per_chunk = 4096;

// Objects the module looks up once and keeps for the life of the process.
struct Cached {
    PyObject *kinbody_type = nullptr;           // kovi._kinbody.KinBody
    PyObject *poe_forward_kinematics = nullptr;
    PyObject *str_joints = nullptr;
};
Cached cached;

// Strong reference to attribute `name` of module `module_name`, imported.
PyObject *import_attribute(const char *module_name, const char *name) noexcept
{
    OwnedRef module(PyImport_ImportModule(module_name));
    if (!module) {
        return nullptr;
    }
    return PyObject_GetAttrString(module.get(), name);
}

bool load(PyObject *&slot, const char *module_name, const char *name) noexcept
{
    if (slot == nullptr) {
        slot = import_attribute(module_name, name);
    }
    return slot != nullptr;
}

PyObject *joints_name() noexcept
{
    if (cached.str_joints == nullptr) {
        cached.str_joints = PyUnicode_InternFromString("joints");
    }
    return cached.str_joints;
}

// ---------------------------------------------------------------------------
// Names
//
// A name is kept as UTF-8, with "surrogatepass": a str may hold lone
// surrogates (a file name decoded with "surrogateescape", say), which the
// core and KinBody accept, so the chain keeps them too and gives the same
// str back.  Sized throughout: a name may hold NUL characters, and a copy
// that stopped at the first one would lose the rest.

bool text_of_str(PyObject *str, std::string &out) noexcept
{
    OwnedRef bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        return false;
    }
    try {
        out.assign(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

PyObject *str_of_text(const std::string &text) noexcept
{
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

// ---------------------------------------------------------------------------
// Copying a body's numbers

// Rows 0-2 of a 4x4 or 3x4 transform.
bool read_transform(PyObject *value, const char *joint, const char *field, AffineBlock &out) noexcept
{
    OwnedRef array(PyArray_FROMANY(value, NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO));
    if (!array) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_DIM(a, 1) != 4 || (PyArray_DIM(a, 0) != 4 && PyArray_DIM(a, 0) != 3)) {
        PyErr_Format(PyExc_ValueError, "joint '%s': %s must be 4x4 or 3x4", joint, field);
        return false;
    }
    std::memcpy(out.e, PyArray_DATA(a), sizeof out.e);
    return true;
}

bool read_axis(PyObject *value, const char *joint, double axis[3]) noexcept
{
    OwnedRef array(PyArray_FROMANY(value, NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!array) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_DIM(a, 0) != 3) {
        PyErr_Format(PyExc_ValueError, "joint '%s': axis must be 3 numbers", joint);
        return false;
    }
    std::memcpy(axis, PyArray_DATA(a), 3 * sizeof(double));
    return true;
}

// The UTF-8 text of attribute `name` of obj, which must be a str.
bool read_text(PyObject *obj, const char *name, std::string &out) noexcept
{
    OwnedRef value(PyObject_GetAttrString(obj, name));
    if (!value) {
        return false;
    }
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, got %.200s", name,
                     Py_TYPE(value.get())->tp_name);
        return false;
    }
    return text_of_str(value.get(), out);
}

// A joint's limits: None (or no such attribute) for none, else a pair
// (lower, upper) of real numbers.  kovi.Joint has checked them already.
bool read_limits(PyObject *record, const char *joint, JointLimit &out) noexcept
{
    out = {-HUGE_VAL, HUGE_VAL};
    OwnedRef limits(PyObject_GetAttrString(record, "limits"));
    if (!limits) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (limits.get() == Py_None) {
        return true;
    }
    OwnedRef array(PyArray_FROMANY(limits.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!array) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    const double *v = static_cast<const double *>(PyArray_DATA(a));
    if (PyArray_DIM(a, 0) != 2 || !(v[0] <= v[1])) {
        PyErr_Format(PyExc_ValueError, "joint '%s': limits must be (lower, upper) with "
                     "lower <= upper", joint);
        return false;
    }
    out = {v[0], v[1]};
    return true;
}

// One joint record: the same four attributes the interpreted walk reads,
// with the same meaning of the kind (equal to "prismatic" or revolute).
bool read_joint(PyObject *record, std::string &name, JointRecord &joint) noexcept
{
    if (!read_text(record, "name", name)) {
        return false;
    }
    const char *where = name.c_str();
    OwnedRef T_left(PyObject_GetAttrString(record, "T_left"));
    OwnedRef axis(T_left ? PyObject_GetAttrString(record, "axis") : nullptr);
    OwnedRef T_right(axis ? PyObject_GetAttrString(record, "T_right") : nullptr);
    OwnedRef kind(T_right ? PyObject_GetAttrString(record, "joint_type") : nullptr);
    if (!kind || !read_transform(T_left.get(), where, "T_left", joint.left) ||
        !read_axis(axis.get(), where, joint.axis) ||
        !read_transform(T_right.get(), where, "T_right", joint.right)) {
        return false;
    }
    OwnedRef prismatic(PyUnicode_FromString("prismatic"));
    int is_prismatic = prismatic ? PyObject_RichCompareBool(kind.get(), prismatic.get(), Py_EQ) : -1;
    if (is_prismatic < 0) {
        return false;
    }
    joint.prismatic = is_prismatic == 1;
    return true;
}

// ---------------------------------------------------------------------------
// Results

PyArrayObject *new_array(int nd, const npy_intp *dims) noexcept
{
    return reinterpret_cast<PyArrayObject *>(
        PyArray_SimpleNew(nd, const_cast<npy_intp *>(dims), NPY_DOUBLE));
}

Py_ssize_t chunk_rows(const Chain &chain) noexcept
{
    return std::max<Py_ssize_t>(1, joint_steps_per_chunk / std::max<Py_ssize_t>(1, chain.dof()));
}

// `out` for poses: a writeable, aligned float64 (N, 4, 4) array, any strides.
bool check_pose_output(PyObject *out, Py_ssize_t rows) noexcept
{
    if (!PyArray_Check(out)) {
        PyErr_Format(PyExc_TypeError, "out must be a float64 numpy array of shape (%zd, 4, 4), "
                     "got %.200s", rows, Py_TYPE(out)->tp_name);
        return false;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(out);
    if (PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_Format(PyExc_TypeError, "out must have dtype float64 in native byte order, got %S",
                     reinterpret_cast<PyObject *>(PyArray_DESCR(array)));
        return false;
    }
    if (PyArray_NDIM(array) != 3 || PyArray_DIM(array, 0) != rows || PyArray_DIM(array, 1) != 4 ||
        PyArray_DIM(array, 2) != 4) {
        OwnedRef shape(PyObject_GetAttrString(out, "shape"));
        if (shape) {
            PyErr_Format(PyExc_ValueError, "out must have shape (%zd, 4, 4), got %R", rows,
                         shape.get());
        }
        return false;
    }
    if (!PyArray_ISWRITEABLE(array)) {
        PyErr_SetString(PyExc_ValueError, "out is read-only");
        return false;
    }
    if (!PyArray_ISALIGNED(array)) {
        PyErr_SetString(PyExc_ValueError, "out is not aligned for float64");
        return false;
    }
    return true;
}

// What every batch computation gets: the chain, the rows and the output.
// The output's data and strides are taken once, with the interpreter lock
// held: the rows are computed without it, while another thread may set
// the output's shape, which frees and replaces its dimensions and strides.
struct BatchContext {
    const Chain *chain;
    const JointValueRows *rows;
    char *out;
    std::ptrdiff_t out_strides[3];
    JacobianFrame frame;

    BatchContext(const Chain &chain, const JointValueRows &rows, PyObject *out,
                 JacobianFrame frame) noexcept
        : chain(&chain), rows(&rows), frame(frame)
    {
        auto *array = reinterpret_cast<PyArrayObject *>(out);
        this->out = PyArray_BYTES(array);
        for (int d = 0; d < 3; d++) {
            out_strides[d] = PyArray_STRIDE(array, d);
        }
    }
};

void compute_poses(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept
{
    const auto &batch = *static_cast<const BatchContext *>(context);
    const JointRecord *joints = batch.chain->joints.data();
    std::size_t n = batch.chain->joints.size();
    char *out = batch.out;
    const std::ptrdiff_t pose_stride = batch.out_strides[0];
    const std::ptrdiff_t row_stride = batch.out_strides[1];
    const std::ptrdiff_t column_stride = batch.out_strides[2];
    for (Py_ssize_t i = begin; i < end; i++) {
        AffineBlock a;
        end_pose(joints, n, batch.rows->row(i), a);
        store_pose(a, {out + i * pose_stride, row_stride, column_stride});
    }
}

void compute_jacobians(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept
{
    const auto &batch = *static_cast<const BatchContext *>(context);
    std::size_t n = batch.chain->joints.size();
    auto *out = reinterpret_cast<double *>(batch.out);
    for (Py_ssize_t i = begin; i < end; i++) {
        jacobian(batch.chain->joints.data(), n, batch.rows->row(i), batch.frame,
                 out + static_cast<std::size_t>(i) * 6 * n);
    }
}

constexpr std::size_t numbers_per_joint = 27;

// How far an axis's length may be from 1, as kovi.Joint allows.
constexpr double axis_unit_tolerance = 1e-9;

// What kovi.Joint and kovi.KinBody ensure of a body, checked again on every
// chain however it was made: a KinBody subclass may answer anything for its
// joints, and a pickle may hold anything at all.  Names non-empty and
// unique; every number finite; a unit axis; limits ordered.  The message
// names the joint (by index: its name may be the fault).
bool check_chain(const Chain &chain) noexcept
{
    std::unordered_map<std::string_view, Py_ssize_t> seen;
    try {
        seen.reserve(chain.joint_names.size());
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < chain.dof(); i++) {
        const std::string &name = chain.joint_names[i];
        if (name.empty()) {
            PyErr_Format(PyExc_ValueError, "joints[%zd]: a joint name must not be empty", i);
            return false;
        }
        auto [where, inserted] = seen.try_emplace(name, i);
        if (!inserted) {
            PyErr_Format(PyExc_ValueError, "joints[%zd] and joints[%zd] share a name", i,
                         where->second);
            return false;
        }
        const JointRecord &joint = chain.joints[i];
        for (const AffineBlock *block : {&joint.left, &joint.right}) {
            for (int k = 0; k < 12; k++) {
                if (!std::isfinite(block->e[k / 4][k % 4])) {
                    PyErr_Format(PyExc_ValueError, "joints[%zd]: %s must be finite", i,
                                 block == &joint.left ? "T_left" : "T_right");
                    return false;
                }
            }
        }
        const double *a = joint.axis;
        if (!std::isfinite(a[0]) || !std::isfinite(a[1]) || !std::isfinite(a[2]) ||
            !(std::fabs(std::hypot(a[0], a[1], a[2]) - 1.0) <= axis_unit_tolerance)) {
            PyErr_Format(PyExc_ValueError, "joints[%zd]: the axis must be finite with unit "
                         "length", i);
            return false;
        }
        const JointLimit &limit = chain.limits[i];
        if (!(limit.lower <= limit.upper) || limit.lower == HUGE_VAL || limit.upper == -HUGE_VAL) {
            PyErr_Format(PyExc_ValueError, "joints[%zd]: limits must be (lower, upper) with "
                         "lower <= upper", i);
            return false;
        }
    }
    return true;
}

// Pickled numbers are little-endian float64 whatever the machine, so that a
// pickle means the same everywhere.  (States written before this rule were
// in the writer's byte order: little-endian on every machine kovi ran on.)
void put_le(double value, char *to) noexcept
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int b = 0; b < 8; b++) {
        to[b] = static_cast<char>(bits >> (8 * b));
    }
}

double get_le(const char *from) noexcept
{
    std::uint64_t bits = 0;
    for (int b = 0; b < 8; b++) {
        bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(from[b])) << (8 * b);
    }
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void put_le(const double *values, std::size_t n, char *to) noexcept
{
    for (std::size_t k = 0; k < n; k++) {
        put_le(values[k], to + 8 * k);
    }
}

void get_le(const char *from, std::size_t n, double *values) noexcept
{
    for (std::size_t k = 0; k < n; k++) {
        values[k] = get_le(from + 8 * k);
    }
}

// Room for n joints, their names and limits; MemoryError if there is none.
bool make_room(Chain &chain, Py_ssize_t n) noexcept
{
    try {
        chain.joints.resize(n);
        chain.joint_names.resize(n);
        chain.limits.assign(n, JointLimit{-HUGE_VAL, HUGE_VAL});
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and pickling

bool chain_from_body(PyObject *kb, Chain &chain) noexcept
{
    if (!load(cached.kinbody_type, "kovi._kinbody", "KinBody")) {
        return false;
    }
    int is_body = PyObject_IsInstance(kb, cached.kinbody_type);
    if (is_body <= 0) {
        if (is_body == 0) {
            PyErr_Format(PyExc_TypeError, "Chain needs a kovi.KinBody, got %.200s",
                         Py_TYPE(kb)->tp_name);
        }
        return false;
    }
    if (!read_text(kb, "name", chain.name)) {
        return false;
    }
    OwnedRef joints(joints_name() ? PyObject_GetAttr(kb, joints_name()) : nullptr);
    OwnedRef sequence(joints ? PySequence_Fast(joints.get(), "KinBody.joints must be a sequence")
                             : nullptr);
    if (!sequence) {
        return false;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    if (!make_room(chain, n)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *record = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!read_joint(record, chain.joint_names[i], chain.joints[i]) ||
            !read_limits(record, chain.joint_names[i].c_str(), chain.limits[i])) {
            return false;
        }
    }
    return check_chain(chain) && kovi::robot::read_link_names(kb, chain) &&
           kovi::solvers::plan_chain(chain);
}

PyObject *chain_state(const Chain &chain) noexcept
{
    Py_ssize_t n = chain.dof();
    OwnedRef name(str_of_text(chain.name));
    OwnedRef names(chain_joint_names(chain));
    OwnedRef kinds(PyUnicode_New(n, 127));
    OwnedRef numbers(PyBytes_FromStringAndSize(nullptr, n * numbers_per_joint * sizeof(double)));
    OwnedRef limits(PyBytes_FromStringAndSize(nullptr, n * 2 * sizeof(double)));
    OwnedRef links(kovi::robot::link_names_state(chain));
    if (!name || !names || !kinds || !numbers || !limits || !links) {
        return nullptr;
    }
    char *bounds = PyBytes_AS_STRING(limits.get());
    auto *kind_text = static_cast<char *>(PyUnicode_DATA(kinds.get()));
    char *values = PyBytes_AS_STRING(numbers.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        const JointRecord &joint = chain.joints[i];
        kind_text[i] = joint.prismatic ? 'P' : 'R';
        char *v = values + i * numbers_per_joint * 8;
        put_le(&joint.left.e[0][0], 12, v);
        put_le(joint.axis, 3, v + 12 * 8);
        put_le(&joint.right.e[0][0], 12, v + 15 * 8);
        put_le(chain.limits[i].lower, bounds + 16 * i);
        put_le(chain.limits[i].upper, bounds + 16 * i + 8);
    }
    return PyTuple_Pack(6, name.get(), names.get(), kinds.get(), numbers.get(), limits.get(),
                        links.get());
}

bool chain_from_state(PyObject *state, Chain &chain) noexcept
{
    PyObject *name, *names, *kinds, *numbers, *limits = nullptr, *links = nullptr;
    if (!PyTuple_Check(state) ||
        !PyArg_ParseTuple(state, "UO!UO!|O!O!", &name, &PyTuple_Type, &names, &kinds, &PyBytes_Type,
                          &numbers, &PyBytes_Type, &limits, &PyTuple_Type, &links)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "Chain state must be a tuple");
        }
        return false;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    if (PyUnicode_GET_LENGTH(kinds) != n ||
        PyBytes_GET_SIZE(numbers) != static_cast<Py_ssize_t>(n * numbers_per_joint * sizeof(double)) ||
        (limits != nullptr && PyBytes_GET_SIZE(limits) != static_cast<Py_ssize_t>(n * 2 * sizeof(double)))) {
        PyErr_SetString(PyExc_ValueError, "Chain state: joint names, kinds and numbers disagree");
        return false;
    }
    Chain rebuilt;
    if (!text_of_str(name, rebuilt.name)) {
        return false;
    }
    if (!make_room(rebuilt, n)) {
        return false;
    }
    const char *values = PyBytes_AS_STRING(numbers);
    const char *bounds = limits != nullptr ? PyBytes_AS_STRING(limits) : nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *joint_name = PyTuple_GET_ITEM(names, i);
        Py_UCS4 kind = PyUnicode_READ_CHAR(kinds, i);
        if (!PyUnicode_Check(joint_name) || (kind != 'R' && kind != 'P')) {
            PyErr_SetString(PyExc_ValueError, "Chain state: malformed joint name or kind");
            return false;
        }
        if (!text_of_str(joint_name, rebuilt.joint_names[i])) {
            return false;
        }
        JointRecord &joint = rebuilt.joints[i];
        const char *v = values + i * numbers_per_joint * 8;
        get_le(v, 12, &joint.left.e[0][0]);
        get_le(v + 12 * 8, 3, joint.axis);
        get_le(v + 15 * 8, 12, &joint.right.e[0][0]);
        joint.prismatic = kind == 'P';
        if (bounds != nullptr) {
            rebuilt.limits[i] = {get_le(bounds + 16 * i), get_le(bounds + 16 * i + 8)};
        }
    }
    if (!check_chain(rebuilt)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return false;
        }
        // Say where the fault came from: a state is no body the caller made.
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_ValueError, "Chain state: %S", cause);
        Py_DECREF(cause);
        return false;
    }
    if (!kovi::robot::link_names_from_state(links, rebuilt) ||
        !kovi::solvers::plan_chain(rebuilt)) {
        return false;
    }
    chain = std::move(rebuilt);
    return true;
}

PyObject *chain_repr(const Chain &chain) noexcept
{
    std::string kinds;
    try {
        for (const JointRecord &joint : chain.joints) {
            kinds += joint.prismatic ? 'P' : 'R';
        }
    }
    catch (...) {
        return PyErr_NoMemory();
    }
    OwnedRef name(str_of_text(chain.name));
    if (!name) {
        return nullptr;
    }
    return PyUnicode_FromFormat("Chain(%R, %s)", name.get(), kinds.empty() ? "no joints" : kinds.c_str());
}

PyObject *chain_name(const Chain &chain) noexcept
{
    return str_of_text(chain.name);
}

PyObject *chain_joint_names(const Chain &chain) noexcept
{
    OwnedRef names(PyTuple_New(chain.dof()));
    if (!names) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < chain.dof(); i++) {
        PyObject *name = str_of_text(chain.joint_names[i]);
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names.release();
}

bool read_jacobian_frame(PyObject *frame, JacobianFrame &out) noexcept
{
    if (PyUnicode_Check(frame)) {
        if (PyUnicode_CompareWithASCIIString(frame, "world") == 0) {
            out = JacobianFrame::world;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(frame, "local") == 0) {
            out = JacobianFrame::local;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "frame must be 'world' or 'local', got %R", frame);
    return false;
}

PyObject *chain_limits(const Chain &chain) noexcept
{
    const npy_intp dims[2] = {chain.dof(), 2};
    PyArrayObject *limits = new_array(2, dims);
    if (limits != nullptr) {
        std::memcpy(PyArray_DATA(limits), chain.limits.data(), chain.limits.size() * sizeof(JointLimit));
        PyArray_CLEARFLAGS(limits, NPY_ARRAY_WRITEABLE);
    }
    return reinterpret_cast<PyObject *>(limits);
}

bool read_threads(PyObject *value, int &threads) noexcept
{
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "threads must be a positive int, got %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (count == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && count < 1)) {
        PyErr_Format(PyExc_ValueError, "threads must be a positive int, got %R", value);
        return false;
    }
    // More threads than processors only share them: the batch runner
    // starts at most this many, and never more than there are chunks.
    const long long processors = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<int>(overflow > 0 ? processors : std::min(count, processors));
    return true;
}

// ---------------------------------------------------------------------------
// Poses and Jacobians

PyObject *chain_pose(const Chain &chain, PyObject *q) noexcept
{
    JointValues values;
    if (!values.read(q, chain.dof())) {
        return nullptr;
    }
    AffineBlock a;
    end_pose(chain.joints.data(), chain.joints.size(), values.view(), a);
    static constexpr npy_intp dims[2] = {4, 4};
    PyArrayObject *pose = new_array(2, dims);
    if (pose != nullptr) {
        store_pose(a, {PyArray_BYTES(pose), 4 * sizeof(double), sizeof(double)});
    }
    return reinterpret_cast<PyObject *>(pose);
}

PyObject *chain_poses(const Chain &chain, PyObject *Q, PyObject *out, PyObject *thread_count) noexcept
{
    JointValueRows rows;
    int threads = 1;
    if (!read_threads(thread_count, threads) || !rows.read_shape(Q, chain.dof())) {
        return nullptr;
    }
    const bool given_out = out != nullptr && out != Py_None;
    if ((given_out && !check_pose_output(out, rows.rows())) || !rows.check_values(threads)) {
        return nullptr;
    }
    // Once more: the scan ran without the lock, while another thread may
    // have set out's shape; its layout is taken below, from now on.
    if (given_out && !check_pose_output(out, rows.rows())) {
        return nullptr;
    }
    OwnedRef result;
    if (!given_out) {
        const npy_intp dims[3] = {rows.rows(), 4, 4};
        result.reset(reinterpret_cast<PyObject *>(new_array(3, dims)));
    }
    else if (rows.separate_from(reinterpret_cast<PyArrayObject *>(out))) {
        result = OwnedRef::borrow(out);
    }
    if (!result) {
        return nullptr;
    }
    BatchContext batch(chain, rows, result.get(), JacobianFrame::world);
    if (run_rows(rows.rows(), threads, chunk_rows(chain), compute_poses, &batch) < 0) {
        return nullptr;
    }
    return result.release();
}

PyObject *chain_link_poses(const Chain &chain, PyObject *q) noexcept
{
    JointValues values;
    if (!values.read(q, chain.dof())) {
        return nullptr;
    }
    const npy_intp dims[3] = {chain.dof() + 1, 4, 4};
    PyArrayObject *frames = new_array(3, dims);
    if (frames != nullptr) {
        link_poses(chain.joints.data(), chain.joints.size(), values.view(),
                   static_cast<double *>(PyArray_DATA(frames)));
    }
    return reinterpret_cast<PyObject *>(frames);
}

PyObject *chain_jacobian(const Chain &chain, PyObject *q, PyObject *frame) noexcept
{
    JointValues values;
    JacobianFrame which;
    if (!read_jacobian_frame(frame, which) || !values.read(q, chain.dof())) {
        return nullptr;
    }
    const npy_intp dims[2] = {6, chain.dof()};
    PyArrayObject *result = new_array(2, dims);
    if (result != nullptr) {
        jacobian(chain.joints.data(), chain.joints.size(), values.view(), which,
                 static_cast<double *>(PyArray_DATA(result)));
    }
    return reinterpret_cast<PyObject *>(result);
}

PyObject *chain_jacobians(const Chain &chain, PyObject *Q, PyObject *frame,
                          PyObject *thread_count) noexcept
{
    JointValueRows rows;
    JacobianFrame which;
    int threads = 1;
    if (!read_jacobian_frame(frame, which) || !read_threads(thread_count, threads) ||
        !rows.read_shape(Q, chain.dof()) || !rows.check_values(threads)) {
        return nullptr;
    }
    const npy_intp dims[3] = {rows.rows(), 6, chain.dof()};
    OwnedRef result(reinterpret_cast<PyObject *>(new_array(3, dims)));
    if (!result) {
        return nullptr;
    }
    // Without joints each Jacobian is empty: nothing to compute, however
    // many rows there are.
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject *>(result.get())) == 0) {
        return result.release();
    }
    BatchContext batch(chain, rows, result.get(), which);
    if (run_rows(rows.rows(), threads, chunk_rows(chain), compute_jacobians, &batch) < 0) {
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// The checked entry

namespace {

// q checked against the body's own count of joints; true if the core may
// read it.  A body without joints or whose joints have no length is left
// to the core, whose error is then the answer; any other error while
// reading them (an interrupt, a property's own exception) is raised.
// `values` keeps what the check read.
bool joint_values_fit_body(PyObject *kb, PyObject *q, JointValues &values) noexcept
{
    PyObject *joints = PyObject_GetAttr(kb, cached.str_joints);
    Py_ssize_t dof = joints != nullptr ? PyObject_Size(joints) : -1;
    Py_XDECREF(joints);
    if (dof < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    return values.read(q, dof);
}

// What the core reads: q itself when it is exactly an array, a list or a
// tuple, which index as their values; anything else (a memoryview, a range,
// an object with __array__, a subclass, whose indexing may answer other
// values than numpy reads) as the float64 array the check read, so that the
// values checked are the values used, and an object that numpy reads but
// that cannot be indexed (a memoryview of byte-swapped numbers) is no
// failure after the check has passed it.
PyObject *core_input(PyObject *q, const JointValues &values) noexcept
{
    if (PyArray_CheckExact(q) || PyList_CheckExact(q) || PyTuple_CheckExact(q) ||
        values.converted() == nullptr) {
        return q;
    }
    return values.converted();
}

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
// Off 3.12 kovi.kinematics.poe_fk is the core's Python source, not the
// native core (which is built for 3.12 alone).  A kovi.KinBody itself holds a
// tuple of checked, frozen kovi.Joint records whose reads run no code, so
// its pose is composed here instead, joint by joint with the arithmetic the
// core uses: the same bits.  Anything else (a subclass, whose attributes may
// answer anything, or a body altered behind its back that does not read as
// one) is left to the core, whose answer or error is then the answer.

// The types and the record's attribute names, looked up once and kept.
struct BodyReads {
    PyObject *joint_type = nullptr;  // kovi._kinbody.Joint
    PyObject *T_left = nullptr;
    PyObject *axis = nullptr;
    PyObject *T_right = nullptr;
    PyObject *kind = nullptr;        // "joint_type"
    PyObject *prismatic = nullptr;
};
BodyReads body_reads;

[[gnu::noinline, gnu::cold]] bool load_body_reads() noexcept
{
    BodyReads &r = body_reads;
    if (!load(cached.kinbody_type, "kovi._kinbody", "KinBody") ||
        !load(r.joint_type, "kovi._kinbody", "Joint") ||
        !(r.T_left = PyUnicode_InternFromString("T_left")) ||
        !(r.axis = PyUnicode_InternFromString("axis")) ||
        !(r.T_right = PyUnicode_InternFromString("T_right")) ||
        !(r.kind = PyUnicode_InternFromString("joint_type")) ||
        !(r.prismatic = PyUnicode_InternFromString("prismatic"))) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Rows 0-2 of a transform: straight from a float64 4x4 array's data when it
// is one (as a Joint's are), else as any transform is read.
bool read_record_transform(PyObject *value, AffineBlock &out) noexcept
{
    if (PyArray_CheckExact(value)) {
        auto *a = reinterpret_cast<PyArrayObject *>(value);
        if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == 4 &&
            PyArray_DIM(a, 1) == 4 && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) &&
            PyArray_ISNOTSWAPPED(a)) {
            std::memcpy(out.e, PyArray_DATA(a), sizeof out.e);
            return true;
        }
    }
    return read_transform(value, "", "", out);
}

// A Joint record's numbers, read as the core reads them: the same four
// attributes, the kind compared with "prismatic".
bool read_record(PyObject *record, JointRecord &joint) noexcept
{
    const BodyReads &r = body_reads;
    OwnedRef T_left(PyObject_GetAttr(record, r.T_left));
    OwnedRef axis(T_left ? PyObject_GetAttr(record, r.axis) : nullptr);
    OwnedRef T_right(axis ? PyObject_GetAttr(record, r.T_right) : nullptr);
    OwnedRef kind(T_right ? PyObject_GetAttr(record, r.kind) : nullptr);
    if (!kind || !read_record_transform(T_left.get(), joint.left) ||
        !read_axis(axis.get(), "", joint.axis) ||
        !read_record_transform(T_right.get(), joint.right)) {
        return false;
    }
    int is_prismatic = PyObject_RichCompareBool(kind.get(), r.prismatic, Py_EQ);
    joint.prismatic = is_prismatic == 1;
    return is_prismatic >= 0;
}

bool read_body_joints(PyObject *kb, std::vector<JointRecord> &records) noexcept
{
    OwnedRef joints(PyObject_GetAttr(kb, cached.str_joints));
    if (!joints || !PyTuple_CheckExact(joints.get())) {
        return false;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(joints.get());
    try {
        records.resize(n);
    }
    catch (...) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *record = PyTuple_GET_ITEM(joints.get(), i);
        if (Py_TYPE(record) != reinterpret_cast<PyTypeObject *>(body_reads.joint_type) ||
            !read_record(record, records[i])) {
            return false;
        }
    }
    return true;
}

// The pose of a KinBody at q (checked against it), or null with no
// exception set when the core is to answer.
PyObject *kinbody_pose(PyObject *kb, const JointValues &values) noexcept
{
    if ((body_reads.prismatic == nullptr && !load_body_reads()) ||
        Py_TYPE(kb) != reinterpret_cast<PyTypeObject *>(cached.kinbody_type)) {
        return nullptr;
    }
    std::vector<JointRecord> records;
    if (!read_body_joints(kb, records)) {
        PyErr_Clear();
        return nullptr;
    }
    AffineBlock a;
    end_pose(records.data(), records.size(), values.view(), a);
    static constexpr npy_intp dims[2] = {4, 4};
    PyArrayObject *pose = new_array(2, dims);
    if (pose == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    store_pose(a, {PyArray_BYTES(pose), 4 * sizeof(double), sizeof(double)});
    return reinterpret_cast<PyObject *>(pose);
}
#endif

}  // namespace

PyObject *checked_forward_kinematics(PyObject *kb, PyObject *q) noexcept
{
    JointValues values;
    if (!load(cached.poe_forward_kinematics, "kovi.kinematics.poe_fk", "poe_forward_kinematics") ||
        joints_name() == nullptr || !joint_values_fit_body(kb, q, values)) {
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
    if (PyObject *pose = kinbody_pose(kb, values)) {
        return pose;
    }
#endif
    PyObject *args[3] = {nullptr, kb, core_input(q, values)};
    return PyObject_Vectorcall(cached.poe_forward_kinematics, args + 1,
                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace kovi::chain
