#include "python/python_progress.h"

#include <utility>

namespace tessarune::python {

int BarProgress::close_bar() {
    if (!bar_) return 0;
    Ref bar = std::move(bar_);
    Ref closed(PyObject_CallMethod(bar.get(), "close", nullptr));
    return closed ? 0 : -1;
}

void BarProgress::open_bar(const char* desc, std::optional<uint64_t> total, const char* unit) {
    session_.call([&] {
        if (close_bar() < 0) return -1;
        Ref count(total ? PyLong_FromUnsignedLongLong(*total) : Py_NewRef(Py_None));
        if (!count) return -1;
        bar_.reset(PyObject_CallMethod(bars_.get(), "bar", "sOs", desc, count.get(), unit));
        return bar_ ? 0 : -1;
    });
}

void BarProgress::start_reading(std::optional<uint64_t> total_bytes) { open_bar("reading", total_bytes, "B"); }

void BarProgress::start_writing(uint64_t total_records) { open_bar("writing", total_records, "items"); }

void BarProgress::update(uint64_t n) {
    session_.call([&] {
        if (!bar_) return 0;
        Ref done(PyObject_CallMethod(bar_.get(), "update", "K", static_cast<unsigned long long>(n)));
        return done ? 0 : -1;
    });
}

void BarProgress::finish() {
    // After a failure no more Python runs: the bar goes with the progress object.
    session_.call([&] { return close_bar(); });
}

}  // namespace tessarune::python
