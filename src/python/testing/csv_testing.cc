#include "python/testing/csv_testing.h"

#include <algorithm>
#include <new>
#include <string>

#include "format/csv_key.h"
#include "format/csv_scanner.h"
#include "python/py_ref.h"

namespace tessarune::testing {
namespace {

using format::CsvScanner;
using python::Ref;

PyObject* bytes_object(Bytes b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                     static_cast<Py_ssize_t>(b.size()));
}

Bytes bytes_view(PyObject* bytes) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

// The record as a (raw, first_line, fields) tuple.
PyObject* record_tuple(Bytes raw, const format::CsvRecord& record) {
    Ref fields(PyList_New(static_cast<Py_ssize_t>(record.fields.size())));
    if (!fields) return nullptr;
    for (size_t i = 0; i < record.fields.size(); ++i) {
        PyObject* field = bytes_object(record.fields[i]);
        if (field == nullptr) return nullptr;
        PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), field);
    }
    Ref raw_bytes(bytes_object(raw.first(record.length)));
    if (!raw_bytes) return nullptr;
    Ref line(PyLong_FromUnsignedLongLong(record.first_line));
    if (!line) return nullptr;
    return PyTuple_Pack(3, raw_bytes.get(), line.get(), fields.get());
}

PyObject* scan_records(Bytes data, uint8_t delimiter, size_t piece) {
    data = data.subspan(format::utf8_bom_length(data));
    Ref records(PyList_New(0));
    if (!records) return nullptr;
    CsvScanner scanner(delimiter);
    size_t start = 0;
    size_t available = piece == 0 ? data.size() : std::min(piece, data.size());
    for (;;) {
        const Bytes input = data.subspan(start, available - start);
        switch (scanner.next(input, available < data.size())) {
        case CsvScanner::Step::NeedMore:
            available = std::min(available + piece, data.size());
            continue;
        case CsvScanner::Step::End:
            return records.release();
        case CsvScanner::Step::Error: {
            const format::CsvError& e = scanner.error();
            // Not through "%s": a NUL delimiter is part of some messages.
            const std::string text = std::to_string(e.line) + ": " + e.text();
            Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        case CsvScanner::Step::Record: {
            Ref record(record_tuple(input, scanner.record()));
            if (!record || PyList_Append(records.get(), record.get()) < 0) return nullptr;
            start += scanner.record().length;
            continue;
        }
        }
    }
}

}  // namespace

PyObject* csv_records(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "csv_records(data: bytes, delimiter: bytes, piece: int = 0)");
        return nullptr;
    }
    const Bytes delimiter = bytes_view(args[1]);
    if (delimiter.size() != 1 || delimiter[0] >= 0x80 || delimiter[0] == '"' || delimiter[0] == '\r' ||
        delimiter[0] == '\n') {
        PyErr_SetString(PyExc_ValueError, "the delimiter must be one ASCII byte other than '\"', CR and LF");
        return nullptr;
    }
    Py_ssize_t piece = 0;
    if (nargs == 3) {
        piece = PyLong_AsSsize_t(args[2]);
        if (piece == -1 && PyErr_Occurred()) return nullptr;
        if (piece < 0) {
            PyErr_SetString(PyExc_ValueError, "piece must not be negative");
            return nullptr;
        }
    }
    try {
        return scan_records(bytes_view(args[0]), delimiter[0], static_cast<size_t>(piece));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* csv_key(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyList_Check(args[0]) || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "csv_key(fields: list[bytes], columns: list[int])");
        return nullptr;
    }
    try {
        format::CsvKeyPlan plan;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
            const size_t column = PyLong_AsSize_t(PyList_GET_ITEM(args[1], i));
            if (column == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
            plan.columns.push_back(column);
        }
        std::vector<Bytes> fields;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[0]); ++i) {
            PyObject* field = PyList_GET_ITEM(args[0], i);
            if (!PyBytes_Check(field)) {
                PyErr_SetString(PyExc_TypeError, "csv_key() needs fields of bytes");
                return nullptr;
            }
            fields.push_back(bytes_view(field));
        }
        ByteBuffer key;
        format::DecimalIntKey ints;
        const auto result = format::append_csv_key(plan, fields, ints, key);
        if (!result.ok()) {
            PyErr_SetString(PyExc_IndexError, result.error().c_str());
            return nullptr;
        }
        return bytes_object(key.span());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tessarune::testing
