// Probe functions for the geometric subproblems: vectors come in as
// 3-tuples of floats, solutions go out as tuples of floats (as many as
// the solver found) and the kind as its name.
#include <Python.h>

#include "probe_tables.hpp"
#include "subproblems.hpp"

namespace {

namespace sp = kovi::solvers::sp;

bool read_vec(PyObject *obj, kovi::Vec3 &v)
{
    return PyArg_ParseTuple(obj, "ddd;expected a 3-tuple of floats", &v.x, &v.y, &v.z) != 0;
}

// Reads `count` vectors then `scalars` floats from args.
bool read_args(PyObject *args, kovi::Vec3 *v, int count, double *s, int scalars)
{
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != count + scalars) {
        PyErr_Format(PyExc_TypeError, "expected %d vectors and %d numbers", count, scalars);
        return false;
    }
    for (int i = 0; i < count; i++) {
        if (!read_vec(PyTuple_GET_ITEM(args, i), v[i])) {
            return false;
        }
    }
    for (int i = 0; i < scalars; i++) {
        s[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(args, count + i));
        if (s[i] == -1.0 && PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

const char *kind_name(sp::Kind kind)
{
    static const char *const names[] = {"exact", "least_squares", "continuum"};
    return names[static_cast<int>(kind)];
}

PyObject *floats(const double *q, int count)
{
    PyObject *t = PyTuple_New(count);
    for (int i = 0; t != nullptr && i < count; i++) {
        PyObject *f = PyFloat_FromDouble(q[i]);
        if (f == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, f);
    }
    return t;
}

// sp1(p1, p2, k) -> (q, kind)
PyObject *probe_sp1(PyObject *, PyObject *args)
{
    kovi::Vec3 v[3];
    if (!read_args(args, v, 3, nullptr, 0)) {
        return nullptr;
    }
    const sp::Sp1 r = sp::sp1(v[0], v[1], v[2]);
    return Py_BuildValue("(ds)", r.q, kind_name(r.kind));
}

// sp1_turn(p1, p2, k) -> (q, kind)
PyObject *probe_sp1_turn(PyObject *, PyObject *args)
{
    kovi::Vec3 v[3];
    if (!read_args(args, v, 3, nullptr, 0)) {
        return nullptr;
    }
    const sp::Sp1 r = sp::sp1_turn(v[0], v[1], v[2]);
    return Py_BuildValue("(ds)", r.q, kind_name(r.kind));
}

// sp2(p1, p2, k1, k2) -> (q1s, q2s, kind)
PyObject *probe_sp2(PyObject *, PyObject *args)
{
    kovi::Vec3 v[4];
    if (!read_args(args, v, 4, nullptr, 0)) {
        return nullptr;
    }
    const sp::Sp2 r = sp::sp2(v[0], v[1], v[2], v[3]);
    return Py_BuildValue("(NNs)", floats(r.q1, r.count), floats(r.q2, r.count), kind_name(r.kind));
}

// sp2e(p0, p1, p2, k1, k2) -> (q1s, q2s)
PyObject *probe_sp2e(PyObject *, PyObject *args)
{
    kovi::Vec3 v[5];
    if (!read_args(args, v, 5, nullptr, 0)) {
        return nullptr;
    }
    const sp::Sp2E r = sp::sp2e(v[0], v[1], v[2], v[3], v[4]);
    return Py_BuildValue("(NN)", floats(r.q1, r.count), floats(r.q2, r.count));
}

// sp3(p1, p2, k, d) -> (qs, kind)
PyObject *probe_sp3(PyObject *, PyObject *args)
{
    kovi::Vec3 v[3];
    double d;
    if (!read_args(args, v, 3, &d, 1)) {
        return nullptr;
    }
    const sp::Sp3 r = sp::sp3(v[0], v[1], v[2], d);
    return Py_BuildValue("(Ns)", floats(r.q, r.count), kind_name(r.kind));
}

// sp4(h, p, k, d) -> (qs, kind)
PyObject *probe_sp4(PyObject *, PyObject *args)
{
    kovi::Vec3 v[3];
    double d;
    if (!read_args(args, v, 3, &d, 1)) {
        return nullptr;
    }
    const sp::Sp4 r = sp::sp4(v[0], v[1], v[2], d);
    return Py_BuildValue("(Ns)", floats(r.q, r.count), kind_name(r.kind));
}

// sp5(p0, p1, p2, p3, k1, k2, k3) -> (q1s, q2s, q3s)
PyObject *probe_sp5(PyObject *, PyObject *args)
{
    kovi::Vec3 v[7];
    if (!read_args(args, v, 7, nullptr, 0)) {
        return nullptr;
    }
    const sp::Sp5 r = sp::sp5(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    return Py_BuildValue("(NNN)", floats(r.q1, r.count), floats(r.q2, r.count),
                         floats(r.q3, r.count));
}

// sp6(h1, h2, h3, h4, k1, k2, k3, k4, p1, p2, p3, p4, d1, d2) -> (q1s, q2s)
PyObject *probe_sp6(PyObject *, PyObject *args)
{
    kovi::Vec3 v[12];
    double d[2];
    if (!read_args(args, v, 12, d, 2)) {
        return nullptr;
    }
    const sp::Sp6 r = sp::sp6(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10],
                              v[11], d[0], d[1]);
    return Py_BuildValue("(NN)", floats(r.q1, r.count), floats(r.q2, r.count));
}

}  // namespace

PyMethodDef probe_subproblems_methods[] = {
    {"sp1", probe_sp1, METH_VARARGS, "sp1(p1, p2, k) -> (q, kind)"},
    {"sp1_turn", probe_sp1_turn, METH_VARARGS, "sp1_turn(p1, p2, k) -> (q, kind)"},
    {"sp2", probe_sp2, METH_VARARGS, "sp2(p1, p2, k1, k2) -> (q1s, q2s, kind)"},
    {"sp2e", probe_sp2e, METH_VARARGS, "sp2e(p0, p1, p2, k1, k2) -> (q1s, q2s)"},
    {"sp3", probe_sp3, METH_VARARGS, "sp3(p1, p2, k, d) -> (qs, kind)"},
    {"sp4", probe_sp4, METH_VARARGS, "sp4(h, p, k, d) -> (qs, kind)"},
    {"sp5", probe_sp5, METH_VARARGS, "sp5(p0, p1, p2, p3, k1, k2, k3) -> (q1s, q2s, q3s)"},
    {"sp6", probe_sp6, METH_VARARGS, "sp6(h1..h4, k1..k4, p1..p4, d1, d2) -> (q1s, q2s)"},
    {nullptr, nullptr, 0, nullptr},
};
