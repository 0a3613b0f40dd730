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

// Walks `dict` once, handing each exact str key and its value (borrowed)
// to `visit`; whether every key was an exact str.
template <typename Visit>
bool walk_str_keys(PyObject *dict, Visit visit)
{
    bool all_str = true;
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            all_str = false;
            continue;
        }
        visit(key, value);
    }
    return all_str;
}

// Walks `dict` once: whether every key is an exact str, and in found[k]
// the value under the exact str key spelled names[k] (borrowed), or null.
template <int N>
bool scan_str_keys(PyObject *dict, const char *const (&names)[N], PyObject *(&found)[N])
{
    for (PyObject *&value : found) {
        value = nullptr;
    }
    return walk_str_keys(dict, [&](PyObject *key, PyObject *value) {
        for (int k = 0; k < N; k++) {
            if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) {
                found[k] = value;
            }
        }
    });
}

// Walks `dict` once: whether every key is an exact str, and in `found` the
// value under the key equal to `name`, an exact str (borrowed), or null.
// Comparing two exact strs runs no code and cannot fail.
inline bool scan_str_key(PyObject *dict, PyObject *name, PyObject *&found)
{
    found = nullptr;
    return walk_str_keys(dict, [&](PyObject *key, PyObject *value) {
        if (key == name || PyUnicode_Compare(key, name) == 0) {
            found = value;
        }
    });
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
