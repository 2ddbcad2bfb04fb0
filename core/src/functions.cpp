#include "functions.hpp"

#include <string>

#include "arguments.hpp"
#include "requests.hpp"
#include "without_gil.hpp"

namespace pellandor_core {

PyObject* core_handshake(PyObject*, PyObject*) noexcept {
    try {
        std::string answer;
        handshake_json(answer);
        return ascii_str(answer);
    } catch (...) {
        return set_python_error(std::current_exception());
    }
}

PyObject* core_sparse_embed_single(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    StrArguments<2> in;
    if (!in.parse("sparse_embed_single", {"text", "profile_json"}, args, nargs))
        return nullptr;
    return compute_without_gil([&](Scratch& s) { embed_single_json(in[0], in[1], s); });
}

PyObject* core_sparse_embed_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    StrArguments<2> in;
    if (!in.parse("sparse_embed_batch", {"texts_json", "profile_json"}, args, nargs))
        return nullptr;
    return compute_without_gil([&](Scratch& s) { embed_batch_json(in[0], in[1], s); });
}

} // namespace pellandor_core
