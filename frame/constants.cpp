#include "constants.hpp"

#include <algorithm>

namespace pel {

namespace {
// Registration happens during static initialisation of the module's own translation unit; the head
// is constant-initialised, so it is ready before any constructor runs.
constinit Constant* first_constant = nullptr;
constinit Constant** last_link = &first_constant;
} // namespace

Constant::Constant(Kind kind, std::string_view text, long long value) noexcept
    : kind_(kind), text_(text), value_(value) {
    *last_link = this;
    last_link = &next_;
}

namespace {

Owned names_tuple(std::string_view names) {
    Py_ssize_t count = 1;
    for (char c : names)
        count += c == ' ';
    Owned tuple = check(PyTuple_New(count));
    size_t start = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        size_t end = std::min(names.find(' ', start), names.size());
        PyObject* name =
            PyUnicode_DecodeUTF8(names.data() + start, static_cast<Py_ssize_t>(end - start), "strict");
        if (name == nullptr)
            throw_python_error();
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(tuple.get(), i, name);
        start = end + 1;
    }
    return tuple;
}

} // namespace

void Constant::create() {
    Owned made;
    switch (kind_) {
    case Kind::text:
    case Kind::identifier:
    case Kind::builtin: {
        made = check(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()), "strict"));
        if (kind_ != Kind::text) {
            PyObject* interned = made.release();
            PyUnicode_InternInPlace(&interned);
            made = Owned::steal(interned);
        }
        check(static_cast<int>(PyObject_Hash(made) == -1 ? -1 : 0));
        break;
    }
    case Kind::integer:
        made = check(PyLong_FromLongLong(value_));
        break;
    case Kind::names:
        made = names_tuple(text_);
        break;
    }
    // A later exec after a failed one overwrites what the failed one made.
    if (kind_ == Kind::builtin) {
        Py_XSETREF(name_, made.release());
    } else {
        Py_XSETREF(object_, made.release());
    }
}

void Constant::create_all() {
    for (Constant* c = first_constant; c != nullptr; c = c->next_)
        c->create();
}

void Constant::resolve_builtins(PyObject* builtins) {
    for (Constant* c = first_constant; c != nullptr; c = c->next_) {
        if (c->kind_ != Kind::builtin)
            continue;
        PyObject* value = nullptr;
        int found = check(PyObject_GetOptionalAttr(builtins, c->name_, &value));
        if (!found) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", c->name_);
            throw_python_error();
        }
        Py_XSETREF(c->object_, value);
    }
}

} // namespace pel
