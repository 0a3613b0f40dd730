// Method tables of the probe files, one per runtime concern.
#ifndef KOVI_PROBE_TABLES_HPP
#define KOVI_PROBE_TABLES_HPP

#include <Python.h>

extern PyMethodDef probe_argument_binding_methods[];
extern PyMethodDef probe_traceback_methods[];
extern PyMethodDef probe_object_access_methods[];
extern PyMethodDef probe_float_conversion_methods[];
extern PyMethodDef probe_call_operations_methods[];
extern PyMethodDef probe_constant_table_methods[];
extern PyMethodDef probe_imports_methods[];
extern PyMethodDef probe_function_object_methods[];
extern PyMethodDef probe_fast_paths_methods[];
extern PyMethodDef probe_subproblems_methods[];

#endif
