// Link frame names of a compiled chain.
#include "chain_links.hpp"

#include <string>

#include "owned_ref.hpp"

namespace kovi::robot {

namespace {

// Names are kept as UTF-8 with "surrogatepass", as the chain keeps its
// joint names, so that any str comes back as it went in.
bool take_names(PyObject *sequence, Py_ssize_t expected, const char *where,
                std::vector<std::string> &out) noexcept
{
    OwnedRef items(PySequence_Fast(sequence, "link_names must be a sequence of str"));
    if (!items) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n != expected) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd link names (the base, then one per "
                     "joint), got %zd", where, expected, n);
        return false;
    }
    std::vector<std::string> names;
    try {
        names.resize(n);
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *name = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%s: link_names[%zd] must be a str, got %.200s", where,
                         i, Py_TYPE(name)->tp_name);
            return false;
        }
        OwnedRef bytes(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
        if (!bytes) {
            return false;
        }
        try {
            names[i].assign(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
        }
        catch (...) {
            PyErr_NoMemory();
            return false;
        }
    }
    out.swap(names);
    return true;
}

}  // namespace

bool read_link_names(PyObject *kb, kovi::chain::Chain &chain) noexcept
{
    OwnedRef names(PyObject_GetAttrString(kb, "link_names"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        chain.link_names.clear();
        return true;
    }
    return take_names(names.get(), chain.dof() + 1, "KinBody", chain.link_names);
}

PyObject *link_names_state(const kovi::chain::Chain &chain) noexcept
{
    OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(chain.link_names.size())));
    if (!tuple) {
        return nullptr;
    }
    for (std::size_t i = 0; i < chain.link_names.size(); i++) {
        const std::string &text = chain.link_names[i];
        PyObject *name = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                              "surrogatepass");
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

bool link_names_from_state(PyObject *names, kovi::chain::Chain &chain) noexcept
{
    if (names == nullptr || PyTuple_GET_SIZE(names) == 0) {
        chain.link_names.clear();
        return true;
    }
    return take_names(names, chain.dof() + 1, "Chain state", chain.link_names);
}

}  // namespace kovi::robot
