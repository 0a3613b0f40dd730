// The shared part of binding a vector call's arguments to parameters: the
// keyword-name lookup and the interpreter's binding error messages.  Each
// function's entry does the binding itself, straight from the argument
// vector, without building an argument tuple or dict.
#ifndef KOVI_RUNTIME_ARGUMENT_BINDING_HPP
#define KOVI_RUNTIME_ARGUMENT_BINDING_HPP

#include <Python.h>

namespace kovi {

// An entry of a parameter name list: the address of the variable holding
// the parameter's interned name.  A list is in parameter order and ends with
// null; a parameter's index in it is its slot number.
using ParameterName = PyObject *const *;

// Looks up a keyword name that is not one of the names by identity.
// `first_unfilled` points at the first parameter of `names` that was not
// filled positionally.  Returns 1 with `*index_out` set to the parameter's
// index, 0 when the name is no parameter's (nothing raised), or -1 with an
// exception set: the name is a str equal to a positionally filled
// parameter's, is not a str at all, or could not be hashed or compared.
int match_keyword_name(const char *function_name, PyObject *key, const ParameterName *names,
                       const ParameterName *first_unfilled, Py_ssize_t *index_out);

// TypeError: "<function>() takes exactly <expected> positional argument(s)
// (<given> given)".
void raise_argument_count_error(const char *function_name, Py_ssize_t expected,
                                Py_ssize_t given);

// TypeError for a keyword naming no parameter.
void raise_unexpected_keyword_error(const char *function_name, PyObject *key);

// TypeError for a keyword naming a parameter that already has its value.
void raise_multiple_values_error(const char *function_name, PyObject *key);

}  // namespace kovi

#endif
