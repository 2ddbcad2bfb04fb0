#include "requests.hpp"

#include <algorithm>
#include <vector>

#include "embedder.hpp"
#include "json_document.hpp"
#include "json_writer.hpp"
#include "profile.hpp"
#include "text_array.hpp"

namespace pellandor_core {

void handshake_json(std::string& out) {
    out.assign("{\"capabilities\":[\"ignore_builtin_replace\",\"sparse_embed\",\"sparse_embed_batch\","
               "\"code_pretokenize\"],\"token_hash\":\"fnv1a32\",\"version\":\"");
    out.append(kCoreVersion);
    out.append("\"}");
}

void embed_single_json(std::string_view text, std::string_view profile_json, std::string& out) {
    const Profile profile = parse_profile(profile_json);
    Embedder embedder(profile);
    SparseVector vector;
    embedder.embed(text, vector);

    out.clear();
    out.reserve(embedding_size_hint(vector));
    append_embedding(out, vector);
}

void embed_batch_json(std::string_view texts_json, std::string_view profile_json, std::string& out,
                      std::string& scratch_json) {
    // The profile first: a bad profile is reported before anything about the texts.
    const Profile profile = parse_profile(profile_json);
    const JsonDocument doc(texts_json, "texts_json", &scratch_json);
    const std::vector<std::string_view> texts = text_array(doc);

    Embedder embedder(profile);
    SparseVector vector;
    out.clear();
    // For source code an answer is about as long as its input: start there, grow geometrically.
    out.reserve(texts_json.size() + 64);
    out.append("{\"embeddings\":[");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        embedder.embed(texts[i], vector);
        const std::size_t needed = out.size() + embedding_size_hint(vector);
        if (needed > out.capacity())
            out.reserve(std::max(needed, out.capacity() * 2));
        if (i != 0)
            out.push_back(',');
        append_embedding(out, vector);
    }
    out.append("]}");
}

} // namespace pellandor_core
