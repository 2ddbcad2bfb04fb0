#include "requests.hpp"

#include <optional>
#include <vector>

#include "embedder.hpp"
#include "fast_text_array.hpp"
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

void embed_single_json(std::string_view text, std::string_view profile_json, Scratch& scratch) {
    const Profile profile = parse_profile(profile_json);
    Embedder embedder(profile, scratch.counter);
    embedder.embed(text, scratch.vector);

    scratch.answer.clear();
    append_embedding(scratch.answer, scratch.vector);
}

void embed_batch_json(std::string_view texts_json, std::string_view profile_json, Scratch& scratch) {
    // The profile first: a bad profile is reported before anything about the texts.
    const Profile profile = parse_profile(profile_json);
    std::vector<std::string_view>& texts = scratch.texts;
    // The document only when the fast reader declines; the texts then point into it (and are
    // not looked at after it is gone: every request fills them afresh).
    std::optional<JsonDocument> doc;
    if (!read_ascii_text_array(texts_json, scratch.decoded, texts)) {
        doc.emplace(texts_json, "texts_json", &scratch.json);
        texts = text_array(*doc);
    }

    Embedder embedder(profile, scratch.counter);
    TextBuffer& out = scratch.answer;
    out.clear();
    // For source code an answer is a little shorter than its input: start there; the buffer
    // grows geometrically when a text's generous bound does not fit.
    out.room(texts_json.size() + 64);
    out.append("{\"embeddings\":[");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        embedder.embed(texts[i], scratch.vector);
        if (i != 0)
            out.append(",");
        append_embedding(out, scratch.vector);
    }
    out.append("]}");
}

} // namespace pellandor_core
