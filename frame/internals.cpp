#include "internals.hpp"

#include "ref.hpp"

namespace pel::internals {

namespace {

// The tag the probe's dict had while its watcher was being told of a change.
std::uint64_t tag_during_notification = no_dict_version;

int note_tag(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    tag_during_notification = dict_version(dict);
    return 0;
}

[[noreturn]] void refuse(const char* what) {
    PyErr_Format(PyExc_ImportError,
                 "this interpreter does not behave as the module was built for: %s; rebuild the modules "
                 "against it",
                 what);
    throw_python_error();
}

// One change to `dict`; the tag after it must differ from the tag before it and, when the watcher
// was told, from the tag it saw then.
template <class Change>
void probe_change(PyObject* dict, Change&& change, bool watched) {
    std::uint64_t before = dict_version(dict);
    tag_during_notification = no_dict_version;
    check(change());
    std::uint64_t after = dict_version(dict);
    if (after == before)
        refuse("a dict change left its version tag unchanged");
    if (watched && tag_during_notification != before) {
        refuse("dict watchers were told of a change after its version tag moved");
    }
}

} // namespace

// A watcher of the probe's own, given back whatever way the probe ends.
class ProbeWatcher {
public:
    ProbeWatcher() noexcept : id_(PyDict_AddWatcher(note_tag)) {
        // Without a free watcher slot only the tags themselves can be probed.
        if (id_ < 0)
            PyErr_Clear();
    }
    ~ProbeWatcher() {
        if (id_ < 0)
            return;
        PyObject* in_flight = PyErr_GetRaisedException();
        if (PyDict_ClearWatcher(id_) < 0)
            PyErr_Clear();
        PyErr_SetRaisedException(in_flight);
    }
    ProbeWatcher(const ProbeWatcher&) = delete;
    ProbeWatcher& operator=(const ProbeWatcher&) = delete;

    bool watch(PyObject* dict) const { return id_ >= 0 && check(PyDict_Watch(id_, dict)) == 0; }

private:
    int id_;
};

void check_internals() {
    Owned dict = check(PyDict_New());
    Owned key = check(PyUnicode_FromString("probe"));
    ProbeWatcher watcher;
    bool watched = watcher.watch(dict);
    PyObject* d = dict.get();
    PyObject* k = key.get();
    probe_change(d, [&] { return PyDict_SetItem(d, k, Py_None); }, watched);
    probe_change(d, [&] { return PyDict_SetItem(d, k, Py_True); }, watched);
    probe_change(d, [&] { return PyDict_DelItem(d, k); }, watched);
    probe_change(d, [&] { return PyDict_SetItem(d, k, Py_None); }, watched);
    probe_change(d, [&] { return (PyDict_Clear(d), 0); }, watched);
}

} // namespace pel::internals
