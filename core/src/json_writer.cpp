#include "json_writer.hpp"

#include <charconv>
#include <string_view>
#include <system_error>

namespace pellandor_core {

namespace {

void append_uint(std::string& out, std::uint64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

// Shortest text that reads back as the same double. A whole number keeps a ".0" so that
// json.loads gives a float, as for every other weight.
void append_double(std::string& out, double value) {
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    const std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
    out.append(text);
    if (text.find_first_of(".e") == std::string_view::npos)
        out.append(".0");
}

} // namespace

std::size_t embedding_size_hint(const SparseVector& vector) noexcept {
    // Up to 10 digits per index and 24 per weight, a comma each, and the fixed members.
    return vector.indices.size() * 11 + vector.values.size() * 25 + 128;
}

void append_embedding(std::string& out, const SparseVector& vector) {
    out.append("{\"indices\":[");
    for (std::size_t i = 0; i < vector.indices.size(); ++i) {
        if (i != 0)
            out.push_back(',');
        append_uint(out, vector.indices[i]);
    }
    out.append("],\"values\":[");
    for (std::size_t i = 0; i < vector.values.size(); ++i) {
        if (i != 0)
            out.push_back(',');
        append_double(out, vector.values[i]);
    }
    out.append(vector.truncated ? "],\"truncated\":true,\"original_chars\":"
                                : "],\"truncated\":false,\"original_chars\":");
    append_uint(out, vector.original_chars);
    out.append(",\"used_chars\":");
    append_uint(out, vector.used_chars);
    out.push_back('}');
}

} // namespace pellandor_core
