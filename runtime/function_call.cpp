#include "function_call.hpp"

#include <cstring>

#include "function_object.hpp"
#include "owned_ref.hpp"

namespace kovi {

namespace {

const char bad_call_flags[] = "Bad call flags for KoviFunction";

// The calling-convention bits that choose the call path.
constexpr int convention_mask =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

// The METH_FASTCALL | METH_KEYWORDS signature, which 3.12 names only with a
// leading underscore.
using FastWithKeywords = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// The implementation of `func` as a function of the signature its calling
// convention promises (the cast through a plain function pointer says so).
template <typename Signature>
Signature implementation(PyObject *func)
{
    return reinterpret_cast<Signature>(
        reinterpret_cast<void (*)(void)>(as_function(func)->method.func.m_ml->ml_meth));
}

const char *method_name(PyObject *func)
{
    return as_function(func)->method.func.m_ml->ml_name;
}

PyObject *raise_no_keywords(PyObject *func)
{
    PyErr_Format(PyExc_TypeError, "%.200s() %s", method_name(func), "takes no keyword arguments");
    return nullptr;
}

PyObject *raise_count(PyObject *func, const char *rule, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", method_name(func), rule, given);
    return nullptr;
}

// A receiver-first method needs at least its receiver.
bool check_receiver(PyObject *func, Py_ssize_t nargs)
{
    if (nargs == 0 && is_receiver_first(as_function(func))) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", method_name(func), "needs an argument");
        return false;
    }
    return true;
}

bool has_keyword_names(PyObject *kwnames)
{
    return kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
}

// The receiver of the call: the first argument of a receiver-first method,
// which then leaves the arguments; otherwise the function object itself.
PyObject *take_receiver(PyObject *func, PyObject *const *&args, Py_ssize_t &nargs)
{
    if (!is_receiver_first(as_function(func))) {
        return func;
    }
    PyObject *self = args[0];
    args++;
    nargs--;
    return self;
}

// The steps the conventions without keywords share: the receiver check,
// the keyword test, then the receiver shift.  Returns the receiver, or null
// with the call refused.
PyObject *receiver_of_simple_call(PyObject *func, PyObject *const *&args, Py_ssize_t &nargs,
                                  PyObject *kwnames)
{
    if (!check_receiver(func, nargs)) {
        return nullptr;
    }
    if (has_keyword_names(kwnames)) {
        return raise_no_keywords(func);
    }
    return take_receiver(func, args, nargs);
}

PyObject *call_noargs(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self = receiver_of_simple_call(func, args, nargs, kwnames);
    if (self == nullptr) {
        return nullptr;
    }
    if (nargs != 0) {
        return raise_count(func, "takes no arguments", nargs);
    }
    return implementation<PyCFunction>(func)(self, nullptr);
}

PyObject *call_one_arg(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self = receiver_of_simple_call(func, args, nargs, kwnames);
    if (self == nullptr) {
        return nullptr;
    }
    if (nargs != 1) {
        return raise_count(func, "takes exactly one argument", nargs);
    }
    return implementation<PyCFunction>(func)(self, args[0]);
}

PyObject *call_fast_keywords(PyObject *func, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!check_receiver(func, nargs)) {
        return nullptr;
    }
    PyObject *self = take_receiver(func, args, nargs);
    return implementation<FastWithKeywords>(func)(self, args, nargs, kwnames);
}

PyObject *call_fast_method(PyObject *func, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!check_receiver(func, nargs)) {
        return nullptr;
    }
    PyObject *self = take_receiver(func, args, nargs);
    return implementation<PyCMethod>(func)(self, as_function(func)->method.mm_class, args,
                                           static_cast<size_t>(nargs), kwnames);
}

// The implementation called with an argument tuple and a keyword dict, for
// function objects without a vector call entry.
PyObject *call_with_tuple(PyObject *func, PyObject *self, PyObject *args, PyObject *kwargs)
{
    bool keywords = kwargs != nullptr && PyDict_Size(kwargs) != 0;
    switch (as_function(func)->method.func.m_ml->ml_flags & 0xF) {
    case METH_VARARGS:
        if (keywords) {
            return raise_no_keywords(func);
        }
        return implementation<PyCFunction>(func)(self, args);
    case METH_VARARGS | METH_KEYWORDS:
        return implementation<PyCFunctionWithKeywords>(func)(self, args, kwargs);
    case METH_NOARGS:
        if (keywords) {
            return raise_no_keywords(func);
        }
        if (PyTuple_GET_SIZE(args) != 0) {
            return raise_count(func, "takes no arguments", PyTuple_GET_SIZE(args));
        }
        return implementation<PyCFunction>(func)(self, nullptr);
    case METH_O:
        if (keywords) {
            return raise_no_keywords(func);
        }
        if (PyTuple_GET_SIZE(args) != 1) {
            return raise_count(func, "takes exactly one argument", PyTuple_GET_SIZE(args));
        }
        return implementation<PyCFunction>(func)(self, PyTuple_GET_ITEM(args, 0));
    default:
        PyErr_SetString(PyExc_SystemError, bad_call_flags);
        return nullptr;
    }
}

// A vector call with keywords from a dict: the values follow the positional
// arguments in one temporary array, their names go into a tuple.
PyObject *call_entry_with_dict(PyObject *func, vectorcallfunc entry, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwargs)
{
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject **stack = PyMem_New(PyObject *, static_cast<size_t>(nargs + nkw));
    if (stack == nullptr) {
        return PyErr_NoMemory();
    }
    if (nargs != 0) {
        std::memcpy(stack, args, static_cast<size_t>(nargs) * sizeof(PyObject *));
    }
    OwnedRef kwnames(PyTuple_New(nkw));
    if (!kwnames) {
        PyMem_Free(stack);
        return nullptr;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t filled = 0;
    PyObject *key;
    PyObject *value;
    bool keys_are_str = true;
    while (filled < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), filled, Py_NewRef(key));
        stack[nargs + filled] = Py_NewRef(value);
        keys_are_str = keys_are_str && PyUnicode_Check(key);
        filled++;
    }
    PyObject *result = nullptr;
    if (!keys_are_str) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    }
    else {
        result = entry(func, stack, static_cast<size_t>(nargs), kwnames.get());
    }
    kwnames.reset();
    for (Py_ssize_t i = 0; i < filled; i++) {
        Py_DECREF(stack[nargs + i]);
    }
    PyMem_Free(stack);
    return result;
}

}  // namespace

int select_function_vectorcall(const PyMethodDef *ml, vectorcallfunc *entry)
{
    switch (ml->ml_flags & convention_mask) {
    case METH_VARARGS | METH_KEYWORDS:
        *entry = nullptr;
        return 0;
    case METH_NOARGS:
        *entry = call_noargs;
        return 0;
    case METH_O:
        *entry = call_one_arg;
        return 0;
    case METH_FASTCALL | METH_KEYWORDS:
        *entry = call_fast_keywords;
        return 0;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS:
        *entry = call_fast_method;
        return 0;
    default:
        PyErr_SetString(PyExc_SystemError, bad_call_flags);
        return -1;
    }
}

PyObject *function_call(PyObject *func, PyObject *args, PyObject *kwargs)
{
    vectorcallfunc entry = as_function(func)->method.func.vectorcall;
    if (entry != nullptr) {
        // The tuple's own item array is the argument vector.
        PyObject *const *vector = reinterpret_cast<PyTupleObject *>(args)->ob_item;
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
            return entry(func, vector, static_cast<size_t>(nargs), nullptr);
        }
        return call_entry_with_dict(func, entry, vector, nargs, kwargs);
    }
    if (is_receiver_first(as_function(func))) {
        OwnedRef rest(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!rest) {
            return nullptr;
        }
        if (PyTuple_GET_SIZE(args) == 0) {
            rest.reset();
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument",
                         as_function(func)->func_qualname);
            return nullptr;
        }
        return call_with_tuple(func, PyTuple_GET_ITEM(args, 0), rest.get(), kwargs);
    }
    return call_with_tuple(func, func, args, kwargs);
}

}  // namespace kovi
