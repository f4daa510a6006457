#include "python/csv_plan.h"

#include <string>
#include <vector>

#include "format/csv_scanner.h"
#include "format/record_keyers.h"
#include "python/buffer_view.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace tessarune::python {
namespace {

int read_delimiter(PyObject* obj, uint8_t* out) {
    if (!PyBytes_Check(obj) || PyBytes_GET_SIZE(obj) != 1) {
        PyErr_SetString(PyExc_ValueError, "the delimiter must be one byte");
        return -1;
    }
    const auto d = static_cast<uint8_t>(PyBytes_AS_STRING(obj)[0]);
    if (d == '"' || d == '\r' || d == '\n' || d >= 0x80) {
        PyErr_SetString(PyExc_ValueError, "the delimiter must be an ASCII byte other than a quote or line break");
        return -1;
    }
    *out = d;
    return 0;
}

// _csv_record(buffer, delimiter, at_end): (length, lines, [fields as bytes]) for the record at
// the start of the buffer, None when it may go on past the buffer (or there is none), or
// (line, message) when it is bad.
PyObject* csv_record(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_csv_record() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    uint8_t delimiter = 0;
    if (read_delimiter(args[1], &delimiter) < 0) return nullptr;
    const int at_end = PyObject_IsTrue(args[2]);
    if (at_end < 0) return nullptr;
    BufferView view;
    if (view.get(args[0]) < 0) return nullptr;
    return call_guarded([&]() -> PyObject* {
        format::CsvScanner scanner(delimiter);
        const Bytes input = view.bytes();
        PyObject* result = nullptr;
        switch (scanner.next(input, at_end == 0)) {
            case format::CsvScanner::Step::NeedMore:
            case format::CsvScanner::Step::End:
                result = Py_NewRef(Py_None);
                break;
            case format::CsvScanner::Step::Error: {
                const std::string text = scanner.error().text();
                result = Py_BuildValue("(Ks#)", static_cast<unsigned long long>(scanner.error().line - 1),
                                       text.data(), static_cast<Py_ssize_t>(text.size()));
                break;
            }
            case format::CsvScanner::Step::Record: {
                const format::CsvRecord& record = scanner.record();
                Ref fields(PyList_New(static_cast<Py_ssize_t>(record.fields.size())));
                if (!fields) break;
                bool ok = true;
                for (size_t i = 0; i < record.fields.size() && ok; ++i) {
                    const Bytes f = record.fields[i];
                    PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.data()),
                                                            static_cast<Py_ssize_t>(f.size()));
                    ok = b != nullptr;
                    if (ok) PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), b);
                }
                if (ok) {
                    result = Py_BuildValue("(nKO)", static_cast<Py_ssize_t>(record.length),
                                           static_cast<unsigned long long>(record.line_count), fields.get());
                }
                break;
            }
        }
        return result;
    });
}

PyMethodDef kFunctions[] = {
    {"_csv_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(csv_record)), METH_FASTCALL,
     PyDoc_STR("_csv_record(buffer, delimiter, at_end, /)\n--\n\n"
               "The CSV record at the start of the buffer: (length, lines, fields), None when it\n"
               "may go on past the buffer, or (line, message) when it is bad.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int read_csv_plan(PyObject* plan, std::unique_ptr<format::RecordKeyer>* keyer, bool* reverse) {
    uint8_t delimiter = 0;
    if (read_delimiter(PyTuple_GET_ITEM(plan, 1), &delimiter) < 0) return -1;
    format::CsvKeyPlan key;
    Ref columns(PySequence_Fast(PyTuple_GET_ITEM(plan, 2), "the columns must be a sequence"));
    if (!columns) return -1;
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(columns.get()); i < n; ++i) {
        const Py_ssize_t column = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(columns.get(), i));
        if (column == -1 && PyErr_Occurred()) return -1;
        if (column < 0) {
            PyErr_SetString(PyExc_ValueError, "a column index must not be negative");
            return -1;
        }
        key.columns.push_back(static_cast<size_t>(column));
    }
    std::vector<std::string> names;
    Ref given(PySequence_Fast(PyTuple_GET_ITEM(plan, 3), "the names must be a sequence"));
    if (!given) return -1;
    if (PySequence_Fast_GET_SIZE(given.get()) != static_cast<Py_ssize_t>(key.columns.size())) {
        PyErr_SetString(PyExc_ValueError, "one name for each column");
        return -1;
    }
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(given.get()); i < n; ++i) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(given.get(), i), &size);
        if (text == nullptr) return -1;
        names.emplace_back(text, static_cast<size_t>(size));
    }
    const int numeric = PyObject_IsTrue(PyTuple_GET_ITEM(plan, 4));
    const int reversed = PyObject_IsTrue(PyTuple_GET_ITEM(plan, 5));
    if (numeric < 0 || reversed < 0) return -1;
    // Numbers are typed keys, named as given; text columns make the tuple of their cells.
    if (numeric != 0) {
        for (std::string& name : names) {
            format::RecordKey& number = key.keys.emplace_back();
            number.path = {name};
            number.name = name;
            number.type = format::KeyType::Number;
        }
    }
    *reverse = reversed != 0;
    *keyer = format::make_csv_keyer(delimiter, std::move(key));
    return 0;
}

int add_csv_record_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
