// The CSV scanner and key, for the differential tests against Python's csv module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::testing {

// csv_records(data, delimiter, piece=0): every record of a whole CSV file.
PyObject* csv_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// csv_key(fields, columns, numeric): the key bytes of one record.
PyObject* csv_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kCsvRecordsDoc =
    "csv_records(data, delimiter, piece=0, /)\n--\n\n"
    "The records of a CSV file (a byte order mark skipped) as (raw bytes, first line, fields).\n"
    "With piece > 0 the scanner is given piece more bytes each time it asks for more.\n"
    "A fault raises ValueError('LINE: message').";
inline constexpr const char* kCsvKeyDoc =
    "csv_key(fields, columns, numeric, /)\n--\n\n"
    "The key bytes of a record's fields (bytes) by the given column indexes; IndexError(i)\n"
    "when the record lacks the i-th key column.";

}  // namespace tessarune::testing
