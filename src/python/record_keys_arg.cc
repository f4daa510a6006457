#include "python/record_keys_arg.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "job/record_key_text.h"
#include "python/py_ref.h"

namespace tessarune::python {
namespace {

using format::RecordKey;

int value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return -1;
}

bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

std::optional<std::string> utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<size_t>(size));
}

// The name of a tessarune.Key: a str in the -k syntax, a tuple of literal JSON steps, or a
// CSV column counted from 0.
int key_name(PyObject* name, const job::JobSpec& spec, RecordKey& key) {
    const bool csv = spec.format == job::RecordFormat::Csv;
    if (PyUnicode_Check(name)) {
        const std::optional<std::string> text = utf8(name);
        if (!text) return -1;
        Expected<RecordKey, std::string> parsed = job::parse_record_key_name(*text, spec.format, spec.csv_header);
        if (!parsed) return value_error(parsed.error());
        key = std::move(parsed).value();
        return 0;
    }
    if (PyLong_Check(name) && !PyBool_Check(name)) {
        const Py_ssize_t column = PyLong_AsSsize_t(name);
        if (column == -1 && PyErr_Occurred()) return -1;
        if (!csv) return value_error("a Key's name is a column number for CSV only: " + std::to_string(column));
        if (column < 0) return value_error("a Key's column counts from 0: " + std::to_string(column));
        key.column = static_cast<size_t>(column);
        key.name = "@" + std::to_string(column + 1);
        return 0;
    }
    if (PyTuple_Check(name) && PyTuple_GET_SIZE(name) > 0) {
        if (csv && PyTuple_GET_SIZE(name) != 1) return value_error("a CSV column is one name, not several");
        if (csv && !spec.csv_header) return value_error("a CSV without a header has no column names: use @N");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(name); ++i) {
            PyObject* step = PyTuple_GET_ITEM(name, i);
            if (!PyUnicode_Check(step)) {
                PyErr_SetString(PyExc_TypeError, "a Key's name as a tuple holds str");
                return -1;
            }
            std::optional<std::string> text = utf8(step);
            if (!text) return -1;
            key.name += (i == 0 ? "" : ".") + *text;
            key.path.push_back(std::move(*text));
        }
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "a Key's name must be a str, a tuple of str or an int, not %.100s",
                 Py_TYPE(name)->tp_name);
    return -1;
}

// A tessarune.Key, read by its attributes (the class validates their types).
int key_object(PyObject* object, const job::JobSpec& spec, std::vector<RecordKey>& keys) {
    Ref name(PyObject_GetAttrString(object, "name"));
    Ref type(name ? PyObject_GetAttrString(object, "type") : nullptr);
    Ref descending(type ? PyObject_GetAttrString(object, "descending") : nullptr);
    Ref nulls_last(descending ? PyObject_GetAttrString(object, "nulls_last") : nullptr);
    if (!nulls_last) return -1;
    RecordKey key;
    if (key_name(name.get(), spec, key) < 0) return -1;
    const std::optional<std::string> type_name = PyUnicode_Check(type.get()) ? utf8(type.get()) : std::nullopt;
    if (!type_name) return PyErr_Occurred() ? -1 : value_error("a Key's type must be text, number or timestamp");
    if (*type_name == "number") {
        key.type = format::KeyType::Number;
    } else if (*type_name == "timestamp") {
        key.type = format::KeyType::Timestamp;
    } else if (*type_name != "text") {
        return value_error("a Key's type must be text, number or timestamp, not '" + *type_name + "'");
    }
    // A Key of type text says no more than a name alone, so -n may still type it.
    key.typed = key.type != format::KeyType::Text;
    const int down = PyObject_IsTrue(descending.get());
    if (down < 0) return -1;
    key.descending = down != 0;
    if (given(nulls_last.get())) {
        const int last = PyObject_IsTrue(nulls_last.get());
        if (last < 0) return -1;
        key.nulls = last ? format::NullOrder::Last : format::NullOrder::First;
    }
    keys.push_back(std::move(key));
    return 0;
}

int key_item(PyObject* item, const job::JobSpec& spec, std::vector<RecordKey>& keys) {
    if (PyUnicode_Check(item)) {
        const std::optional<std::string> text = utf8(item);
        if (!text) return -1;
        Expected<void, std::string> parsed = job::parse_record_keys(*text, spec.format, spec.csv_header, keys);
        return parsed ? 0 : value_error(parsed.error());
    }
    if (PyObject_HasAttrString(item, "descending") && PyObject_HasAttrString(item, "nulls_last")) {
        return key_object(item, spec, keys);
    }
    PyErr_Format(PyExc_TypeError, "a key is a str or a tessarune.Key, not %.100s", Py_TYPE(item)->tp_name);
    return -1;
}

// One setting per key from `arg`: one value for all, or a list of `count` values. `read`
// turns an item into the setting (nullopt with an exception set when it cannot).
template <typename Read>
int per_key(PyObject* arg, size_t count, const char* what, Read read, std::vector<std::optional<bool>>& out) {
    if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
        std::optional<std::optional<bool>> one = read(arg);
        if (!one) return -1;
        out.assign(count, *one);
        return 0;
    }
    Ref items(PySequence_Fast(arg, what));
    if (!items) return -1;
    const auto size = static_cast<size_t>(PySequence_Fast_GET_SIZE(items.get()));
    if (size != count) {
        return value_error(std::string(what) + " has " + std::to_string(size) + " items for " + std::to_string(count) +
                           " keys");
    }
    for (size_t i = 0; i < size; ++i) {
        std::optional<std::optional<bool>> one = read(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
        if (!one) return -1;
        out.push_back(*one);
    }
    return 0;
}

}  // namespace

int bind_record_keys(PyObject* key, PyObject* reverse, PyObject* nulls_last, bool numeric, job::JobSpec& spec) {
    std::vector<RecordKey>& keys = spec.record_keys;
    if (given(key)) {
        if (PyList_Check(key) || PyTuple_Check(key)) {
            Ref items(PySequence_Fast(key, "key"));
            if (!items) return -1;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
                if (key_item(PySequence_Fast_GET_ITEM(items.get(), i), spec, keys) < 0) return -1;
            }
        } else if (key_item(key, spec, keys) < 0) {
            return -1;
        }
    }
    auto as_bool = [](const char* what) {
        return [what](PyObject* item) -> std::optional<std::optional<bool>> {
            if (!PyBool_Check(item)) {
                PyErr_Format(PyExc_TypeError, "%s must hold bools, not %.100s", what, Py_TYPE(item)->tp_name);
                return std::nullopt;
            }
            return std::optional<bool>(item == Py_True);
        };
    };
    std::vector<std::optional<bool>> flips;
    if (reverse != nullptr && per_key(reverse, keys.size(), "reverse", as_bool("reverse"), flips) < 0) return -1;
    const bool all_reversed = reverse != nullptr && PyBool_Check(reverse) && reverse == Py_True;
    // One bool reverses as -r does (the whole value or row too); a list flips each key.
    spec.reverse = all_reversed;
    Expected<void, std::string> folded = job::fold_record_options(keys, numeric, all_reversed);
    if (!folded) return value_error(folded.error());
    if (reverse != nullptr && !PyBool_Check(reverse)) {
        for (size_t i = 0; i < keys.size(); ++i) keys[i].descending = keys[i].descending != flips[i].value_or(false);
    }
    if (given(nulls_last)) {
        auto as_place = [](PyObject* item) -> std::optional<std::optional<bool>> {
            if (item == Py_None) return std::optional<bool>();
            if (!PyBool_Check(item)) {
                PyErr_Format(PyExc_TypeError, "nulls_last must hold None or bools, not %.100s", Py_TYPE(item)->tp_name);
                return std::nullopt;
            }
            return std::optional<bool>(item == Py_True);
        };
        std::vector<std::optional<bool>> places;
        if (per_key(nulls_last, keys.size(), "nulls_last", as_place, places) < 0) return -1;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (!places[i]) continue;
            Expected<void, std::string> placed = job::place_nulls(keys[i], *places[i]);
            if (!placed) return value_error(placed.error());
        }
    }
    return 0;
}

}  // namespace tessarune::python
