#include "services.hpp"

#include <algorithm>
#include <memory>

namespace pel {

// --- imports -----------------------------------------------------------------------------------------

namespace {

Owned import_level_zero(PyObject* name, PyObject* fromlist) {
    Owned locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(name, record.globals, locals, fromlist, 0));
}

// A module that sys.modules holds as None is a blocked import: leave it to the import system, which
// raises ModuleNotFoundError for it.
Owned loaded_module(PyObject* name) {
    Owned module = Owned::steal(PyImport_GetModule(name));
    if (!module && PyErr_Occurred())
        throw_python_error();
    if (module.get() == Py_None)
        return {};
    return module;
}

} // namespace

Owned import(Ref name) {
    Owned module = loaded_module(name);
    if (module) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
        if (dot == -2)
            throw_python_error();
        if (dot == -1)
            return module;
        Owned top_name = check(PyUnicode_Substring(name, 0, dot));
        Owned top = loaded_module(top_name);
        if (top)
            return top;
    }
    return import_level_zero(name, nullptr);
}

Owned import(Ref name, std::initializer_list<Ref> fromlist) {
    if (Owned module = loaded_module(name)) {
        bool complete = true;
        for (Ref item : fromlist)
            complete = complete && check(PyObject_HasAttrWithError(module, item));
        if (complete)
            return module;
    }
    Owned list = check(PyList_New(static_cast<Py_ssize_t>(fromlist.size())));
    Py_ssize_t i = 0;
    for (Ref item : fromlist)
        PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
    return import_level_zero(name, list);
}

Owned import_from(Ref module, Ref name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) > 0)
        return Owned::steal(value);
    PyErr_Clear();
    // Not an attribute (yet): an imported submodule of that name will do.
    if (Owned package = Owned::steal(PyObject_GetAttrString(module, "__name__"))) {
        if (Owned full = Owned::steal(PyUnicode_FromFormat("%S.%S", package.get(), name))) {
            value = PyImport_GetModule(full);
            if (value != nullptr && value != Py_None)
                return Owned::steal(value);
            Py_XDECREF(value);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    throw_python_error();
}

// --- calls -------------------------------------------------------------------------------------------

Owned call_with_keywords(Ref callable, std::initializer_list<Ref> values, Ref keywords) {
    size_t count = values.size();
    auto keyword_count = static_cast<size_t>(PyTuple_GET_SIZE(keywords.get()));
    if (keyword_count > count) {
        PyErr_SetString(PyExc_SystemError, "call_with_keywords: more keyword names than values");
        throw_python_error();
    }
    // One slot before the arguments, as PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use it.
    constexpr size_t on_stack = 16;
    PyObject* small[on_stack + 1];
    std::unique_ptr<PyObject*[]> large;
    PyObject** vector = small;
    if (count > on_stack) {
        large = std::make_unique<PyObject*[]>(count + 1);
        vector = large.get();
    }
    vector[0] = nullptr;
    std::transform(values.begin(), values.end(), vector + 1, [](Ref value) { return value.get(); });
    return check(PyObject_Vectorcall(callable, vector + 1,
                                     (count - keyword_count) | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// --- statements and operators ----------------------------------------------------------------------

Owned raise(Ref object) noexcept {
    if (PyExceptionInstance_Check(object.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(object)), object);
    } else if (PyExceptionClass_Check(object.get())) {
        Owned instance = Owned::steal(PyObject_CallNoArgs(object));
        if (!instance)
            return {};
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R", object,
                         Py_TYPE(instance.get()));
        } else {
            PyErr_SetObject(object, instance);
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
    return {};
}

Owned format_field(Ref value) {
    if (PyUnicode_CheckExact(value))
        return Owned::borrow(value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value))
        return check(PyObject_Repr(value));
    return check(PyObject_Format(value, record.empty_str));
}

Owned join(std::initializer_list<Ref> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    for (Ref piece : pieces) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(piece);
        if (size > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            throw_python_error();
        }
        length += size;
        Py_UCS4 piece_widest = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_widest > widest)
            widest = piece_widest;
    }
    Owned joined = check(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (Ref piece : pieces) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(piece);
        check(static_cast<int>(PyUnicode_CopyCharacters(joined, at, piece, 0, size)));
        at += size;
    }
    return joined;
}

Owned dict_subscript(Ref dict, Ref key) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(dict, key, &value)) == 0) {
        // A tuple key is wrapped so that the exception's argument is the key itself.
        Owned argument = PyTuple_Check(key) ? check(PyTuple_Pack(1, key)) : Owned::borrow(key);
        PyErr_SetObject(PyExc_KeyError, argument);
        throw_python_error();
    }
    return Owned::steal(value);
}

Owned get_or_none(Ref mapping, Ref key) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(mapping, key, &value)) == 0)
            return none();
        return Owned::steal(value);
    }
    // Made on first use: module constants are the module's own; the frame declares none.
    static PyObject* get_method = nullptr;
    if (get_method == nullptr && (get_method = PyUnicode_InternFromString("get")) == nullptr)
        throw_python_error();
    return call_method(mapping, get_method, key);
}

// --- classes -----------------------------------------------------------------------------------------

Owned class_namespace(Ref qualname, Ref doc) {
    Owned namespace_ = check(PyDict_New());
    check(PyDict_SetItemString(namespace_, "__module__", record.module_name));
    check(PyDict_SetItemString(namespace_, "__qualname__", qualname));
    if (doc != nullptr)
        check(PyDict_SetItemString(namespace_, "__doc__", doc));
    return namespace_;
}

Owned make_class(Ref name, Ref bases, Ref namespace_) {
    return call(&PyType_Type, name, bases, namespace_);
}

// --- checks ------------------------------------------------------------------------------------------

Owned expect_exact(Owned value, PyTypeObject* type, const char* type_name) {
    if (Py_IS_TYPE(value.get(), type) || value.get() == Py_None)
        return value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(value.get())->tp_name);
    throw_python_error();
}

namespace {

bool class_matches(PyObject* type, PyObject* clause) noexcept {
    if (type == clause)
        return true;
    if (PyType_Check(type) && PyType_Check(clause)) {
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                reinterpret_cast<PyTypeObject*>(clause));
    }
    return PyErr_GivenExceptionMatches(type, clause);
}

} // namespace

bool exception_matches(Ref clause) noexcept {
    PyObject* type = PyErr_Occurred();
    if (type == nullptr)
        return false;
    if (PyTuple_Check(clause.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(clause.get()); ++i) {
            if (class_matches(type, PyTuple_GET_ITEM(clause.get(), i)))
                return true;
        }
        return false;
    }
    return class_matches(type, clause);
}

ExceptionHandler::ExceptionHandler(const Frame& frame) noexcept {
    add_traceback(frame);
    caught_ = PyErr_GetRaisedException();
    previous_ = PyErr_GetHandledException();
    PyErr_SetHandledException(caught_);
}

ExceptionHandler::~ExceptionHandler() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
    Py_XDECREF(caught_);
}

} // namespace pel
