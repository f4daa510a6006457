// Sorter(key=None, *, reverse=False, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64,
//        threads=1)
//
// The steps run in a fixed order, because the order decides which of several wrong
// arguments is reported: conversions first, then the key function and the codec, then the
// temporary directory, then the ranges, and only then the engine.
#include "python/sorter_new.h"

#include <new>
#include <optional>
#include <string>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

enum Param { kKey, kReverse, kCodec, kMaxBytes, kTmpDir, kMaxOpen, kThreads, kParamCount };
constexpr const char* kNames[kParamCount] = {"key",     "reverse",  "codec",  "max_bytes",
                                             "tmp_dir", "max_open", "threads"};
constexpr ArgSpec kSpec{"Sorter.__new__()", kNames, 0, 1, 0};

constexpr int64_t kDefaultMaxBytes = 268435456;
constexpr int64_t kDefaultMaxOpen = 64;
constexpr int64_t kDefaultThreads = 1;

bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

std::optional<int64_t> convert_number(PyObject* arg, int64_t fallback, const char* name) {
    if (arg == nullptr) return fallback;
    long long value = PyLong_AsLongLong(arg);
    if (value == -1 && PyErr_Occurred()) {
        add_processing_note(name);
        return std::nullopt;
    }
    return static_cast<int64_t>(value);
}

// os.fspath, then a str, then its bytes in the file system encoding; a path the operating
// system would read differently (an embedded NUL) is refused rather than cut short.
std::optional<std::string> convert_path(PyObject* arg) {
    Ref path(PyOS_FSPath(arg));
    if (!path) return std::nullopt;
    if (!PyUnicode_Check(path.get())) {
        raise_not_instance(path.get(), "str");
        return std::nullopt;
    }
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &encoded)) return std::nullopt;
    Ref bytes(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

std::optional<std::string> default_tmp_dir() {
    Ref tempfile(PyImport_ImportModule("tempfile"));
    if (!tempfile) return std::nullopt;
    Ref dir(PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr));
    if (!dir) return std::nullopt;
    return convert_path(dir.get());
}

int raise_type_error_naming(const char* text, PyObject* obj) {
    Ref name(type_name_of(obj));
    if (!name) return -1;
    PyErr_Format(PyExc_TypeError, "%s%U", text, name.get());
    return -1;
}

// A callable attribute of the codec, or nothing; a lookup that raises counts as missing.
Ref codec_method(PyObject* codec, const char* name) {
    Ref method(PyObject_GetAttrString(codec, name));
    if (!method) {
        PyErr_Clear();
        return Ref();
    }
    if (!PyCallable_Check(method.get())) return Ref();
    return method;
}

struct Codec {
    CodecKind kind;
    Ref encode;
    Ref decode;
};

std::optional<Codec> resolve_codec(PyObject* codec) {
    if (!given(codec)) {
        Ref pickle(PyImport_ImportModule("pickle"));
        if (!pickle) return std::nullopt;
        Ref dumps(PyObject_GetAttrString(pickle.get(), "dumps"));
        if (!dumps) return std::nullopt;
        Ref loads(PyObject_GetAttrString(pickle.get(), "loads"));
        if (!loads) return std::nullopt;
        return Codec{CodecKind::PickleCodec, std::move(dumps), std::move(loads)};
    }
    Ref encode = codec_method(codec, "encode");
    Ref decode = codec_method(codec, "decode");
    if (!encode || !decode) {
        raise_type_error_naming("a codec must have encode and decode methods, unlike ", codec);
        return std::nullopt;
    }
    return Codec{CodecKind::UserCodec, std::move(encode), std::move(decode)};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* arg[kParamCount];
    KeywordCopy keywords;
    if (bind_tuple_dict(kSpec, args, kwargs, keywords, arg) < 0) return nullptr;

    PyObject* key = given(arg[kKey]) ? arg[kKey] : nullptr;
    // Any object, tested for truth, as sorted() takes its reverse.
    const int reverse = arg[kReverse] == nullptr ? 0 : PyObject_IsTrue(arg[kReverse]);
    if (reverse < 0) {
        add_processing_note("reverse");
        return nullptr;
    }
    const std::optional<int64_t> max_bytes =
        convert_number(arg[kMaxBytes], kDefaultMaxBytes, "max_bytes");
    if (!max_bytes) return nullptr;
    std::optional<std::string> tmp_dir;
    if (given(arg[kTmpDir])) {
        tmp_dir = convert_path(arg[kTmpDir]);
        if (!tmp_dir) {
            add_processing_note("tmp_dir");
            return nullptr;
        }
    }
    const std::optional<int64_t> max_open =
        convert_number(arg[kMaxOpen], kDefaultMaxOpen, "max_open");
    if (!max_open) return nullptr;
    const std::optional<int64_t> threads =
        convert_number(arg[kThreads], kDefaultThreads, "threads");
    if (!threads) return nullptr;

    if (key != nullptr && !PyCallable_Check(key)) {
        raise_type_error_naming("key must be a function returning a sort key, not ", key);
        return nullptr;
    }
    std::optional<Codec> codec = resolve_codec(arg[kCodec]);
    if (!codec) return nullptr;
    if (!tmp_dir) {
        tmp_dir = default_tmp_dir();
        if (!tmp_dir) return nullptr;
    }

    // The probe makes and removes a directory, and a pool starts threads: not attached.
    std::optional<EngineResult<std::shared_ptr<SorterCore>>> made;
    {
        Detached detached;
        made.emplace(create_core(std::move(*tmp_dir), *max_bytes, *max_open, *threads));
    }
    if (!*made) {
        PyObject* exc = to_python_exception(made->error());
        if (exc != nullptr) PyErr_SetRaisedException(exc);
        return nullptr;
    }
    std::shared_ptr<SorterCore> core = std::move(made->value());

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        release_core(core);
        return nullptr;
    }
    SorterObject* s = reinterpret_cast<SorterObject*>(self);
    s->codec_kind = codec->kind;
    s->encode_fn = codec->encode.release();
    new (&s->core) std::shared_ptr<SorterCore>(std::move(core));
    s->decode_fn = codec->decode.release();
    new (&s->item_count) std::atomic<int64_t>(0);
    s->key_fn = Py_XNewRef(key);
    new (&s->status) StatusByte(SorterStatus::Open);
    s->reverse = reverse != 0;
    new (&s->datetimes_seen) std::atomic<uint8_t>(0);
    return self;
}

}  // namespace

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guarded([&]() -> PyObject* { return construct(type, args, kwargs); });
}

}  // namespace tessarune::python
