// Traceback entries for failures in module code, with one cached code object per reported place.
#include "function.hpp"
#include "module.hpp"

#include <frameobject.h>

#include <cstdio>
#include <functional>

namespace pel {

namespace {

// A reported place: a source line and whose entry it is. Lines alone are not enough: a function's
// definition line is also the line of the initialisation statement that creates the function.
struct CachedCode {
    int line;
    const FunctionDef* owner;
    PyObject* code;
};

bool before(const CachedCode& entry, int line, const FunctionDef* owner) noexcept {
    if (entry.line != line)
        return entry.line < line;
    return std::less<const FunctionDef*>{}(entry.owner, owner);
}

class CodeCache {
public:
    PyObject* find(int line, const FunctionDef* owner) const noexcept {
        Py_ssize_t at = lower_bound(line, owner);
        if (at < count_ && entries_[at].line == line && entries_[at].owner == owner)
            return entries_[at].code;
        return nullptr;
    }

    // Takes over `code`; when the cache cannot grow the entry is simply not cached.
    PyObject* insert(int line, const FunctionDef* owner, PyObject* code) noexcept {
        if (count_ == capacity_) {
            auto* grown = PyMem_Realloc(entries_, sizeof(CachedCode) * static_cast<size_t>(capacity_ + step));
            if (grown == nullptr)
                return code;
            entries_ = static_cast<CachedCode*>(grown);
            capacity_ += step;
        }
        Py_ssize_t at = lower_bound(line, owner);
        for (Py_ssize_t i = count_; i > at; --i)
            entries_[i] = entries_[i - 1];
        entries_[at] = {line, owner, Py_NewRef(code)};
        ++count_;
        return code;
    }

private:
    static constexpr Py_ssize_t step = 64;

    Py_ssize_t lower_bound(int line, const FunctionDef* owner) const noexcept {
        Py_ssize_t low = 0, high = count_;
        while (low < high) {
            Py_ssize_t mid = (low + high) / 2;
            if (before(entries_[mid], line, owner))
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }

    CachedCode* entries_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 0;
};

CodeCache code_cache;

void entry_name(const Frame& frame, char* buffer, size_t size) noexcept {
    if (frame.function == nullptr) {
        std::snprintf(buffer, size, "init %s", this_module.dotted_name);
    } else {
        std::snprintf(buffer, size, "%s.%s", this_module.dotted_name, frame.function->qualname);
    }
}

// A new code object for the entry, made with the exception in flight set aside; null when it could
// not be made, in which case the creation's own error is now the one in flight.
PyObject* make_entry_code(const Frame& frame) noexcept {
    char name[512];
    entry_name(frame, name, sizeof name);
    PyObject* in_flight = PyErr_GetRaisedException();
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(this_module.file_name, name, frame.line));
    if (code == nullptr) {
        Py_XDECREF(in_flight);
        return nullptr;
    }
    PyErr_SetRaisedException(in_flight);
    return code;
}

} // namespace

void add_traceback(const Frame& frame) noexcept {
    Owned made;
    PyObject* code = frame.line != 0 ? code_cache.find(frame.line, frame.function) : nullptr;
    if (code == nullptr) {
        made = Owned::steal(make_entry_code(frame));
        if (!made)
            return;
        code = frame.line != 0 ? code_cache.insert(frame.line, frame.function, made) : made.get();
    }
    PyObject* in_flight = PyErr_GetRaisedException();
    PyFrameObject* py_frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), record.globals, nullptr);
    if (py_frame == nullptr) {
        Py_XDECREF(in_flight);
        return;
    }
    PyErr_SetRaisedException(in_flight);
    PyTraceBack_Here(py_frame);
    Py_DECREF(py_frame);
}

} // namespace pel
