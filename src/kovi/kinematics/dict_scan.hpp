// Reads of a dictionary that can never run Python code.
//
// A lookup hashes the key and compares it with the keys of equal hash; a
// key that is not an exact str may run its own __eq__ there, which a caller
// could observe.  These walk the entries instead and look only at exact str
// keys, so they see what a lookup would find without any comparison that
// runs code.
#ifndef KOVI_KINEMATICS_DICT_SCAN_HPP
#define KOVI_KINEMATICS_DICT_SCAN_HPP

#include <Python.h>

namespace kovi {

// Whether every key of `dict` is an exact str: then a lookup by str runs
// no code of its own.
inline bool all_keys_exact_str(PyObject *dict)
{
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// Walks `dict` once: whether every key is an exact str, and in found[k]
// the value under the exact str key spelled names[k] (borrowed), or null.
template <int N>
bool scan_str_keys(PyObject *dict, const char *const (&names)[N], PyObject *(&found)[N])
{
    for (PyObject *&value : found) {
        value = nullptr;
    }
    bool all_str = true;
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            all_str = false;
            continue;
        }
        for (int k = 0; k < N; k++) {
            if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) {
                found[k] = value;
            }
        }
    }
    return all_str;
}

// The value under the exact str key spelled `name` (borrowed), or null.
inline PyObject *item_by_str_key(PyObject *dict, const char *name)
{
    const char *const names[1] = {name};
    PyObject *found[1];
    scan_str_keys(dict, names, found);
    return found[0];
}

}  // namespace kovi

#endif
