// The shared function type: slots, attributes, descriptor binding, calls and pickling.
#include "function.hpp"

#include "binder.hpp"
#include "globals.hpp"
#include "internals.hpp"

#include <cstddef>

namespace pel {

namespace {

// --- lifecycle -------------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    return PyObject_VisitManagedDict(self, visit, arg);
}

void release_fields(FunctionObject* f) noexcept {
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
}

// A cleared function may still be reached (by a weak-reference callback, a finaliser): its name and
// qualified name become the empty string, as the interpreter's own functions' do, and its docstring
// is made again on the next read.
int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    release_fields(f);
    f->qualname = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    f->name = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    f->doc_made = false;
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr)
        PyObject_ClearWeakRefs(self);
    release_fields(as_function(self));
    PyObject_ClearManagedDict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- calls -----------------------------------------------------------------------------------------

// The classic entry (a tuple and a dict): rebuilt as a vectorcall with keyword names. The vector
// holds its own references to the keyword values, as the dict may change during the call.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    vectorcallfunc vectorcall = as_function(self)->vectorcall;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return vectorcall(self, PySequence_Fast_ITEMS(args), static_cast<size_t>(nargs), nullptr);
    }
    Py_ssize_t nkwargs = PyDict_GET_SIZE(kwargs);
    Owned names = Owned::steal(PyTuple_New(nkwargs));
    if (!names)
        return nullptr;
    auto** vector =
        static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(nargs + nkwargs)));
    if (vector == nullptr)
        return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i)
        vector[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t position = 0, filled = 0;
    PyObject *key, *value;
    bool keys_are_text = true;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        keys_are_text = keys_are_text && PyUnicode_Check(key);
        PyTuple_SET_ITEM(names.get(), filled, Py_NewRef(key));
        vector[nargs + filled++] = Py_NewRef(value);
    }
    PyObject* result = nullptr;
    if (keys_are_text) {
        result = vectorcall(self, vector, static_cast<size_t>(nargs), names);
    } else {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    }
    for (Py_ssize_t i = 0; i < filled; ++i)
        Py_DECREF(vector[nargs + i]);
    PyMem_Free(vector);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<pellandor_function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

// --- attributes ------------------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->name == nullptr)
        f->name = Py_NewRef(f->def->name.get());
    return Py_NewRef(f->name);
}

int set_text(PyObject** slot, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(&as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!f->doc_made) {
        f->doc = Py_NewRef(f->def->doc != nullptr ? f->def->doc->get() : Py_None);
        f->doc_made = true;
    }
    return Py_NewRef(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = as_function(self);
    Py_XSETREF(f->doc, Py_NewRef(value != nullptr ? value : Py_None));
    f->doc_made = true;
    return 0;
}

PyObject* get_none(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

PyObject* get_code(PyObject* self, void*) noexcept {
    PyObject* code = as_function(self)->code;
    return Py_NewRef(code != nullptr ? code : Py_None);
}

PyObject* get_object_or_none(PyObject* object) noexcept {
    return Py_NewRef(object != nullptr ? object : Py_None);
}

// Writes to __defaults__ and __kwdefaults__ are stored for introspection only: binding keeps its
// own defaults, and the writer is told so.
int set_defaults_like(PyObject** slot, PyObject* value, PyTypeObject* type, const char* attribute,
                      const char* type_message) noexcept {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyObject_TypeCheck(value, type)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnFormat(
            PyExc_RuntimeWarning, 1,
            "changes to pellandor_function.%s do not currently affect the values used in function "
            "calls",
            attribute) < 0) {
        return -1;
    }
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return get_object_or_none(as_function(self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_defaults_like(&as_function(self)->defaults, value, &PyTuple_Type, "__defaults__",
                             "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return get_object_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_defaults_like(&as_function(self)->kwdefaults, value, &PyDict_Type, "__kwdefaults__",
                             "__kwdefaults__ must be set to a dict object");
}

// The instance dict's entry `name`, borrowed, or null (errors are left set and reported by -1).
int instance_dict_item(PyObject* self, const char* name, PyObject** item) noexcept {
    *item = nullptr;
    Owned dict = Owned::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return -1;
    return PyDict_GetItemStringRef(dict, name, item);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        PyObject* annotate = nullptr;
        if (instance_dict_item(self, "__annotate__", &annotate) < 0)
            return nullptr;
        Owned owned_annotate = Owned::steal(annotate);
        Owned made;
        if (annotate != nullptr && annotate != Py_None) {
            Owned format = Owned::steal(PyLong_FromLong(1));
            if (!format)
                return nullptr;
            made = Owned::steal(PyObject_CallOneArg(annotate, format));
            if (!made)
                return nullptr;
            if (!PyDict_Check(made.get())) {
                PyErr_SetString(PyExc_TypeError, "__annotate__ must return a dict");
                return nullptr;
            }
        } else {
            made = Owned::steal(PyDict_New());
            if (!made)
                return nullptr;
        }
        // `__annotate__` may itself have stored annotations meanwhile; what it returned replaces them.
        Py_XSETREF(f->annotations, made.release());
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_XNewRef(value));
    if (PyObject* dict = internals::existing_instance_dict(self); dict != nullptr) {
        return PyDict_SetItemString(dict, "__annotate__", Py_None);
    }
    return 0;
}

// What __annotate__ gives when nothing was stored: a built-in bound to the annotations dict that
// returns it whatever it is asked for.
PyObject* annotations_of(PyObject* annotations, PyObject*) noexcept {
    return Py_NewRef(annotations);
}

PyMethodDef annotate_method = {"__annotate__", annotations_of, METH_VARARGS, nullptr};

PyObject* get_annotate(PyObject* self, void*) noexcept {
    PyObject* annotate = nullptr;
    if (instance_dict_item(self, "__annotate__", &annotate) < 0)
        return nullptr;
    if (annotate != nullptr)
        return annotate;
    Owned annotations = Owned::steal(get_annotations(self, nullptr));
    if (!annotations)
        return nullptr;
    return PyCFunction_New(&annotate_method, annotations);
}

int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    if (value != Py_None)
        Py_CLEAR(as_function(self)->annotations);
    Owned dict = Owned::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return -1;
    return PyDict_SetItemString(dict, "__annotate__", value);
}

PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->is_coroutine == nullptr)
        f->is_coroutine = Py_NewRef(Py_False);
    return Py_NewRef(f->is_coroutine);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"func_closure", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", internals::member_or_none, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", internals::member_or_none, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"func_globals", internals::member_or_none, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

} // namespace

PyType_Spec function_type_spec = {
    "_pellandor_frame_v1.pellandor_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Owned make_function(Frame& frame, const FunctionDef& def) {
    frame.line = def.first_line;
    auto* f = PyObject_GC_New(FunctionObject, record.function_type);
    if (f == nullptr)
        throw_python_error();
    f->vectorcall = def.binding.entry;
    f->def = &def;
    f->weakrefs = nullptr;
    f->name = nullptr;
    f->doc = nullptr;
    f->doc_made = false;
    f->module = Py_NewRef(record.module_name);
    f->globals = Py_NewRef(record.globals);
    f->code = Py_XNewRef(def.code);
    f->defaults = Py_XNewRef(def.defaults);
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->qualname = nullptr;
    Owned function = Owned::steal(reinterpret_cast<PyObject*>(f));
    f->qualname = check(PyUnicode_FromString(def.qualname)).release();
    if (!def.annotations.empty()) {
        Owned annotations = check(PyDict_New());
        for (const Annotation& a : def.annotations)
            check(PyDict_SetItem(annotations, a.key, a.text));
        f->annotations = annotations.release();
    }
    PyObject_GC_Track(function);
    return function;
}

void define_global(Frame& frame, const FunctionDef& def) {
    set_global(def.name, make_function(frame, def));
}

void define_method(Frame& frame, Ref namespace_, const FunctionDef& def) {
    Owned function = make_function(frame, def);
    check(PyDict_SetItem(namespace_, def.name, function));
}

} // namespace pel
