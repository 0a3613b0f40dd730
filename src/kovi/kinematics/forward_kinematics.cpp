// Reads the chain out of the Python objects, walks it with the pose
// accumulator and builds the numpy result.
//
// Every read is an ordinary Python operation, or a direct read where nobody
// can tell the difference (direct_reads.hpp), in a fixed order; a failing
// read leaves its exception pending unchanged and the call reports the
// source line of that read (source_lines.hpp, generated from the statements
// of the module's Python source).
#include "forward_kinematics.hpp"

#include <cmath>

#include "call_operations.hpp"
#include "direct_reads.hpp"
#include "float_conversion.hpp"
#include "libm_trig.hpp"
#include "module_state.hpp"
#include "object_access.hpp"
#include "owned_ref.hpp"
#include "pose_accumulator.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"
#include "validated_globals.hpp"

namespace kovi {

namespace {

// The objects a call holds across joints.  Each is replaced only once its
// successor has been read; all are released when the call ends, the joint
// sequence first.
struct HeldObjects {
    OwnedRef joints;
    OwnedRef joint;
    OwnedRef axis;
    OwnedRef T_left;
    OwnedRef T_right;

    ~HeldObjects()
    {
        joints.reset();
        joint.reset();
        axis.reset();
        T_left.reset();
        T_right.reset();
    }
};

// Replaces a held object by `value` (a new reference) once it has been read:
// the previous joint's object is released only then.
inline bool hold(OwnedRef &held, PyObject *value)
{
    if (value == nullptr) {
        return false;
    }
    held.reset(value);
    return true;
}

// One inline cache per attribute name the walk reads.
SlotCache joints_slot, axis_slot, T_left_slot, joint_type_slot, T_right_slot;

// -1.0 with an exception pending is a failure; a genuine -1.0 has none.
inline bool failed(double value)
{
    return value == -1.0 && PyErr_Occurred() != nullptr;
}

// Reads element i of obj as a double; the element is released at once.
inline bool read_element(PyObject *obj, Py_ssize_t i, bool wraparound, double &out)
{
    PyObject *item = get_item_int(obj, i, wraparound);
    if (item == nullptr) {
        return false;
    }
    double value = as_double(item);
    Py_DECREF(item);
    if (failed(value)) {
        return false;
    }
    out = value;
    return true;
}

// Reads rows 0-2 of a transform, row-major; on failure `line` gets
// first_line + 4 * row + column of the failing element.
inline bool read_transform(PyObject *matrix, int first_line, AffineBlock &out, int &line)
{
    if (read_transform_direct(matrix, out)) {
        return true;
    }
    for (int k = 0; k < 12; k++) {
        PyObject *item = get_item(matrix, module_state.index_tuples[k]);
        double value = item != nullptr ? as_double(item) : -1.0;
        Py_XDECREF(item);
        if (item == nullptr || failed(value)) {
            line = first_line + k;
            return false;
        }
        out.e[k / 4][k % 4] = value;
    }
    return true;
}

// "prismatic" == joint_type by Python equality: 1 true, 0 false, -1 failure.
inline int is_prismatic(PyObject *kind)
{
    PyObject *prismatic = constant_string(str_prismatic);
    if (PyUnicode_CheckExact(kind)) {
        if (kind == prismatic) {
            return 1;
        }
        // Exact strs of different lengths differ ("revolute"): no comparison.
        if (PyUnicode_GET_LENGTH(kind) != PyUnicode_GET_LENGTH(prismatic)) {
            return 0;
        }
        int order = PyUnicode_Compare(kind, prismatic);
        if (order == 0) {
            return 1;
        }
        return order == -1 && PyErr_Occurred() ? -1 : 0;
    }
    PyObject *result = PyObject_RichCompare(kind, prismatic, Py_EQ);
    if (result == nullptr) {
        return -1;
    }
    int truth;
    if (result == Py_True) {
        truth = 1;
    }
    else if (result == Py_False || result == Py_None) {
        truth = 0;
    }
    else {
        truth = PyObject_IsTrue(result);
        if (truth < 0) {
            truth = -1;
        }
    }
    Py_DECREF(result);
    return truth;
}

// Calls `callable` with one argument.  A bound method is unpacked so that
// its function is called with __self__ in front, and otherwise the callee
// may use the slot before the argument.  The callable is released (or
// replaced by the method's function) on the way.
inline PyObject *call_with_one_argument(OwnedRef &callable, PyObject *arg)
{
    if (Py_IS_TYPE(callable.get(), &PyMethod_Type)) {
        OwnedRef self = OwnedRef::borrow(PyMethod_GET_SELF(callable.get()));
        callable = OwnedRef::borrow(PyMethod_GET_FUNCTION(callable.get()));
        PyObject *args[2] = {self.get(), arg};
        return fast_call(callable.get(), args, 2);
    }
    PyObject *args[2] = {nullptr, arg};
    return fast_call(callable.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// math.<name>(qi), with "math" looked up as a module global at each use.
inline bool call_math(StringIndex name, double qi, double &out)
{
    OwnedRef math(get_module_global(constant_string(str_math)));
    if (!math) {
        return false;
    }
    OwnedRef callable(get_attr(math.get(), constant_string(name)));
    math.reset();
    if (!callable) {
        return false;
    }
    OwnedRef arg(PyFloat_FromDouble(qi));
    if (!arg) {
        return false;
    }
    OwnedRef result(call_with_one_argument(callable, arg.get()));
    arg.reset();
    callable.reset();
    if (!result) {
        return false;
    }
    double value = PyFloat_CheckExact(result.get()) ? PyFloat_AS_DOUBLE(result.get())
                                                     : PyFloat_AsDouble(result.get());
    result.reset();
    if (failed(value)) {
        return false;
    }
    out = value;
    return true;
}

// np.<name>, with "np" looked up as a module global; the module is released
// as soon as the attribute is read.
inline PyObject *numpy_attribute(StringIndex name)
{
    OwnedRef np(get_module_global(constant_string(str_np)));
    if (!np) {
        return nullptr;
    }
    return get_attr(np.get(), constant_string(name));
}

// [[a00 .. a03], [a10 .. a13], [a20 .. a23], [0.0, 0.0, 0.0, 1.0]]
PyObject *pose_rows(const AffineBlock &a)
{
    OwnedRef rows[4];
    for (int j = 0; j < 3; j++) {
        OwnedRef values[4];
        for (int k = 0; k < 4; k++) {
            values[k].reset(PyFloat_FromDouble(a.e[j][k]));
            if (!values[k]) {
                return nullptr;
            }
        }
        rows[j].reset(PyList_New(4));
        if (!rows[j]) {
            return nullptr;
        }
        for (int k = 0; k < 4; k++) {
            PyList_SET_ITEM(rows[j].get(), k, values[k].release());
        }
    }
    rows[3].reset(PyList_New(4));
    if (!rows[3]) {
        return nullptr;
    }
    PyObject *zero = module_state.float_consts[0];
    PyObject *one = module_state.float_consts[1];
    PyList_SET_ITEM(rows[3].get(), 0, Py_NewRef(zero));
    PyList_SET_ITEM(rows[3].get(), 1, Py_NewRef(zero));
    PyList_SET_ITEM(rows[3].get(), 2, Py_NewRef(zero));
    PyList_SET_ITEM(rows[3].get(), 3, Py_NewRef(one));
    PyObject *outer = PyList_New(4);
    if (outer == nullptr) {
        return nullptr;
    }
    for (int j = 0; j < 4; j++) {
        PyList_SET_ITEM(outer, j, rows[j].release());
    }
    return outer;
}

// np.array(rows, dtype=np.float64): the one numpy call of the function.
PyObject *build_pose(const AffineBlock &a, bool skip_calls, int &line)
{
    line = line_array;
    if (skip_calls && numpy_usable()) {
        return new_pose_array(a);
    }
    OwnedRef array(numpy_attribute(str_array));
    if (!array) {
        return nullptr;
    }
    line = line_rows;
    OwnedRef rows(pose_rows(a));
    if (!rows) {
        return nullptr;
    }
    line = line_float64;
    OwnedRef float64(numpy_attribute(str_float64));
    if (!float64) {
        return nullptr;
    }
    line = line_array;
    OwnedRef self;
    if (Py_IS_TYPE(array.get(), &PyMethod_Type)) {
        self = OwnedRef::borrow(PyMethod_GET_SELF(array.get()));
        array = OwnedRef::borrow(PyMethod_GET_FUNCTION(array.get()));
    }
    // args[0] is the receiver of a bound method, or a slot the callee may use.
    PyObject *args[3] = {self.get(), rows.get(), float64.get()};
    PyObject *const *first = self ? args : args + 1;
    size_t nargsf = self ? 2 : (1 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    return PyObject_Vectorcall(array.get(), first, nargsf, module_state.dtype_kwnames);
}

// The walk; on failure returns null with `line` set.  Temporaries of the
// failing step are released before this returns; the held objects are not.
PyObject *walk_chain(PyObject *kb, PyObject *q, HeldObjects &held, int &line)
{
    // Away from the C recursion limit, which the calls of math.cos, math.sin
    // and np.array would test, they may be skipped where the lookups allow;
    // this call's depth is the same at every one of them.
    const bool skip_calls = recursion_headroom();
    line = line_joints;
    held.joints.reset(get_attr_cached(joints_slot, kb, constant_string(str_joints)));
    if (!held.joints) {
        return nullptr;
    }
    line = line_joint_count;
    Py_ssize_t n = PyObject_Size(held.joints.get());
    if (n < 0) {
        return nullptr;
    }

    AffineBlock pose;
    set_identity(pose);
    AffineBlock l, t;
    for (Py_ssize_t i = 0; i < n; i++) {
        line = line_joint;
        if (!hold(held.joint, get_item_int(held.joints.get(), i, true))) {
            return nullptr;
        }
        line = line_axis;
        if (!hold(held.axis, get_attr_cached(axis_slot, held.joint.get(), constant_string(str_axis)))) {
            return nullptr;
        }

        double v[3];
        if (!read_vector3_direct(held.axis.get(), v)) {
            for (int k = 0; k < 3; k++) {
                line = line_axis_x + k;
                if (!read_element(held.axis.get(), k, false, v[k])) {
                    return nullptr;
                }
            }
        }
        double qi;
        line = line_joint_value;
        if (!read_vector_element_direct(q, i, qi) && !read_element(q, i, true, qi)) {
            return nullptr;
        }

        line = line_T_left;
        if (!hold(held.T_left, get_attr_cached(T_left_slot, held.joint.get(), constant_string(str_T_left))) ||
            !read_transform(held.T_left.get(), line_T_left_elements, l, line)) {
            return nullptr;
        }

        line = line_joint_type;
        int prismatic;
        {
            OwnedRef kind(get_attr_cached(joint_type_slot, held.joint.get(), constant_string(str_joint_type)));
            if (!kind) {
                return nullptr;
            }
            prismatic = is_prismatic(kind.get());
        }
        if (prismatic < 0) {
            return nullptr;
        }
        double c = 0.0, s = 0.0;
        if (!prismatic && skip_calls && std::isfinite(qi) && math_usable()) {
            // What math.cos and math.sin return for a finite argument.
            libm_cos_sin(qi, c, s);
        }
        else if (!prismatic) {
            line = line_cos;
            if (!call_math(str_cos, qi, c)) {
                return nullptr;
            }
            line = line_sin;
            if (!call_math(str_sin, qi, s)) {
                return nullptr;
            }
        }

        line = line_T_right;
        if (!hold(held.T_right, get_attr_cached(T_right_slot, held.joint.get(), constant_string(str_T_right))) ||
            !read_transform(held.T_right.get(), line_T_right_elements, t, line)) {
            return nullptr;
        }

        if (prismatic) {
            apply_prismatic_joint(pose, v[0], v[1], v[2], qi, l, t);
        }
        else {
            apply_revolute_joint(pose, v[0], v[1], v[2], c, s, l, t);
        }
    }
    return build_pose(pose, skip_calls, line);
}

}  // namespace

PyObject *poe_forward_kinematics_body(PyObject *kb, PyObject *q)
{
    HeldObjects held;
    int line = 0;
    PyObject *result = walk_chain(kb, q, held, line);
    if (result == nullptr) {
        add_traceback(fk_function_name, line, module_source_path);
    }
    return result;
}

}  // namespace kovi
