// Method tables of the probe files, one per runtime concern.
#ifndef KOVI_PROBE_TABLES_HPP
#define KOVI_PROBE_TABLES_HPP

#include <Python.h>

extern PyMethodDef probe_function_object_methods[];

#endif
