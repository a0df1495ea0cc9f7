// Runs every case (schema, document, segment list, vector index) of the reference
// outcomes: the exact error text with its position, or the value normalized to
// the outcomes' shape (floats as {"bits"} only, 64-bit integers as decimal
// strings, free-form values as tagged trees).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <map>
#include <ostream>
#include <stdexcept>

#include <fmt/format.h>

#include "dsl/document.h"
#include "dsl/json/reader.h"
#include "dsl/schema.h"
#include "dsl/segment_list.h"
#include "structures/vector/vector_json.h"

using namespace nuvrel_core;

namespace nuvrel_core {
// Failures print the value's tree rather than its bytes.
void PrintTo(const JsonValue& v, std::ostream* os) { *os << testing::PrintToString(v.value); }
}  // namespace nuvrel_core

namespace {

JsonValue str(std::string s) { return JsonValue{std::move(s)}; }
JsonValue num(std::uint64_t v) { return JsonValue{v}; }
JsonValue dec(std::uint64_t v) { return str(std::to_string(v)); }  // 64-bit integers as text
JsonValue boolean(bool b) { return JsonValue{b}; }
JsonValue null() { return JsonValue{JsonValue::Null{}}; }
JsonValue arr(JsonValue::Array a) { return JsonValue{std::move(a)}; }
JsonValue obj(JsonValue::Object o) {
    std::sort(o.begin(), o.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return JsonValue{std::move(o)};
}
JsonValue f64(double d) { return obj({{"bits", str(fmt::format("0x{:016x}", std::bit_cast<std::uint64_t>(d)))}}); }
JsonValue f32(float f) { return obj({{"bits", str(fmt::format("0x{:08x}", std::bit_cast<std::uint32_t>(f)))}}); }
template <class T, class F>
JsonValue list(const std::vector<T>& v, F f) {
    JsonValue::Array a;
    for (const auto& x : v) a.push_back(f(x));
    return arr(std::move(a));
}
template <class T, class F>
JsonValue opt(const std::optional<T>& v, F f) {
    return v ? f(*v) : null();
}

constexpr const char* kFieldTypes[] = {"text", "u64", "i64", "f64", "bytes", "sparse_vector", "dense_vector", "json"};
constexpr const char* kIndexTypes[] = {"ra_bit_q", "ivf_ra_bit_q", "sca_n_n"};
constexpr const char* kIndexSizes[] = {"U16", "U32"};
constexpr const char* kQuant[] = {"Float32", "Float16", "UInt8", "UInt4"};
constexpr const char* kModes[] = {"exclusive", "additional"};

JsonValue tagged(const JsonValue& v) {
    return std::visit(
        [](const auto& x) -> JsonValue {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, JsonValue::Null>) return arr({str("null")});
            else if constexpr (std::is_same_v<T, bool>) return arr({str("bool"), boolean(x)});
            else if constexpr (std::is_same_v<T, std::uint64_t>) return arr({str("u64"), str(std::to_string(x))});
            else if constexpr (std::is_same_v<T, std::int64_t>) return arr({str("i64"), str(std::to_string(x))});
            else if constexpr (std::is_same_v<T, double>) return arr({str("f64"), f64(x)});
            else if constexpr (std::is_same_v<T, std::string>) return arr({str("str"), str(x)});
            else if constexpr (std::is_same_v<T, JsonValue::Array>) return arr({str("array"), list(x, tagged)});
            else {
                JsonValue::Array entries;
                for (const auto& [k, val] : x) entries.push_back(arr({str(k), tagged(val)}));
                return arr({str("object"), arr(std::move(entries))});
            }
        },
        v.value);
}

JsonValue dump_schema(const Schema& s) {
    auto entry = [&](const FieldEntry& e) {
        return obj({
            {"name", str(e.name)},
            {"field_type", str(kFieldTypes[static_cast<int>(e.field_type)])},
            {"indexed", boolean(e.indexed)},
            {"stored", boolean(e.stored)},
            {"tokenizer", opt(e.tokenizer, str)},
            {"multi", boolean(e.multi)},
            {"sparse_vector_config", opt(e.sparse_vector_config,
                                         [](const SparseVectorConfig& c) {
                                             return obj({{"index_size", str(kIndexSizes[static_cast<int>(c.index_size)])},
                                                         {"weight_quantization",
                                                          str(kQuant[static_cast<int>(c.weight_quantization)])},
                                                         {"weight_threshold", f32(c.weight_threshold)}});
                                         })},
            {"dense_vector_config", opt(e.dense_vector_config,
                                        [](const DenseVectorConfig& c) {
                                            return obj({{"dim", dec(c.dim)},
                                                        {"index_type", str(kIndexTypes[static_cast<int>(c.index_type)])},
                                                        {"store_raw", boolean(c.store_raw)},
                                                        {"coarse_centroids_path", opt(c.coarse_centroids_path, str)},
                                                        {"pq_codebook_path", opt(c.pq_codebook_path, str)},
                                                        {"nprobe", dec(c.nprobe)},
                                                        {"mrl_dim", opt(c.mrl_dim, dec)}});
                                        })},
        });
    };
    std::vector<std::pair<std::string, Field>> names(s.name_to_field.begin(), s.name_to_field.end());
    std::sort(names.begin(), names.end());
    JsonValue::Array ntf;
    for (auto& [n, f] : names) ntf.push_back(arr({str(n), num(f)}));
    return obj({
        {"fields", list(s.fields, entry)},
        {"name_to_field", arr(std::move(ntf))},
        {"default_fields", list(s.default_fields, [](Field f) { return num(f); })},
        {"query_routers", list(s.query_routers,
                               [](const QueryRouterRule& r) {
                                   return obj({{"pattern", str(r.pattern)},
                                               {"substitution", str(r.substitution)},
                                               {"target_field", str(r.target_field)},
                                               {"mode", str(kModes[static_cast<int>(r.mode)])}});
                               })},
    });
}

JsonValue dump_document(const Document& d) {
    JsonValue::Array pairs;
    for (const auto& [field, value] : d.field_values) {
        JsonValue payload;
        switch (value.index()) {
            case 0: payload = str(std::get<0>(value)); break;
            case 1: payload = str(std::to_string(std::get<1>(value))); break;
            case 2: payload = str(std::to_string(std::get<2>(value))); break;
            case 3: payload = f64(std::get<3>(value)); break;
            case 4: payload = list(std::get<4>(value), [](std::uint8_t b) { return num(b); }); break;
            case 5: {
                const auto& sv = std::get<5>(value);
                payload = obj({{"indices", list(sv.indices, [](std::uint32_t i) { return num(i); })},
                               {"values", list(sv.values, f32)}});
                break;
            }
            case 6: payload = list(std::get<6>(value), f32); break;
            default: payload = tagged(std::get<7>(value)); break;
        }
        pairs.push_back(arr({num(field), obj({{kFieldTypes[value.index()], std::move(payload)}})}));
    }
    return obj({{"field_values", arr(std::move(pairs))}});
}


JsonValue small(std::int64_t v) { return v < 0 ? JsonValue{v} : num(static_cast<std::uint64_t>(v)); }
JsonValue raw(const std::optional<std::vector<std::vector<float>>>& r) {
    return opt(r, [](const auto& rows) { return list(rows, [](const auto& row) { return list(row, f32); }); });
}
JsonValue code(const QuantizedVector& q) {
    return obj({{"bits", list(q.bits, small)},
                {"dist_to_centroid", f32(q.dist_to_centroid)},
                {"self_dot", f32(q.self_dot)},
                {"popcount", num(q.popcount)}});
}
JsonValue code(const PQVector& q) { return obj({{"codes", list(q.codes, small)}, {"norm", f32(q.norm)}}); }
template <class C>
JsonValue storage(const ClusterStorage<C>& s) {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, _] : s.clusters) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    JsonValue::Array clusters;
    for (auto id : ids) {
        const auto& c = s.clusters.at(id);
        clusters.push_back(arr({num(id), obj({{"doc_ids", list(c.doc_ids, small)},
                                              {"codes", list(c.codes, [](const C& x) { return code(x); })},
                                              {"raw_vectors", raw(c.raw_vectors)}})}));
    }
    return obj({{"clusters", arr(std::move(clusters))}, {"total_vectors", dec(s.total_vectors)}});
}
template <class Index>
JsonValue ivf(const Index& v) {
    return obj({{"config", obj({{"dim", dec(v.config.dim)},
                                {"default_nprobe", dec(v.config.default_nprobe)},
                                {"store_raw", boolean(v.config.store_raw)},
                                {"rerank_factor", dec(v.config.rerank_factor)}})},
                {"centroids_version", dec(v.centroids_version)},
                {"codebook_version", dec(v.codebook_version)},
                {"clusters", storage(v.clusters)}});
}

JsonValue dump_index(const RaBitQIndex& v) {
    const auto& cb = v.codebook;
    return obj({{"codebook", obj({{"config", obj({{"dim", dec(cb.config.dim)},
                                                  {"query_bits", num(cb.config.query_bits)},
                                                  {"seed", dec(cb.config.seed)}})},
                                  {"random_signs", list(cb.random_signs, small)},
                                  {"random_perm", list(cb.random_perm, small)},
                                  {"version", dec(cb.version)}})},
                {"centroid", list(v.centroid, f32)},
                {"vectors", list(v.vectors, [](const auto& q) { return code(q); })},
                {"raw_vectors", raw(v.raw_vectors)}});
}
JsonValue dump_index(const IVFRaBitQIndex& v) { return ivf(v); }
JsonValue dump_index(const IVFPQIndex& v) { return ivf(v); }

JsonValue strip_repr(JsonValue v) {
    if (auto* a = std::get_if<JsonValue::Array>(&v.value)) {
        for (auto& x : *a) x = strip_repr(std::move(x));
    } else if (auto* o = std::get_if<JsonValue::Object>(&v.value)) {
        bool has_bits = std::any_of(o->begin(), o->end(), [](const auto& e) { return e.first == "bits"; });
        JsonValue::Object out;
        for (auto& [k, x] : *o)
            if (!(has_bits && k == "repr")) out.emplace_back(k, strip_repr(std::move(x)));
        *o = std::move(out);
    }
    return v;
}

JsonValue parse_json_value(std::string_view text) {
    json::Reader r({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    r.disable_recursion_limit();
    JsonValue v;
    if (!r.read_any(v) || !r.end()) throw std::runtime_error("bad test JSON: " + r.error().to_string());
    return v;
}

std::string base64_decode(std::string_view in) {
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        const std::size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos) continue;  // padding
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        if ((bits += 6) >= 8) out.push_back(static_cast<char>((acc >> (bits -= 8)) & 0xFF));
    }
    return out;
}

const JsonValue* get(const JsonValue& obj, std::string_view key) {
    for (const auto& [k, v] : std::get<JsonValue::Object>(obj.value))
        if (k == key) return &v;
    return nullptr;
}
std::string get_str(const JsonValue& obj, std::string_view key) {
    const JsonValue* v = get(obj, key);
    return v && std::holds_alternative<std::string>(v->value) ? std::get<std::string>(v->value) : std::string();
}

// A failure as the text "error: ...", which no dump (an array or object) can equal.
template <class T, class Dump>
JsonValue outcome(const JsonResult<T>& r, Dump dump) {
    return r ? dump(*r) : str("error: " + r.error().to_string());
}

}  // namespace

TEST(JsonCases, MatchReferenceOutcomes) {
    std::ifstream in(std::string(NUVREL_TEST_DATA_DIR) + "/json/cases.jsonl");
    ASSERT_TRUE(in) << "missing tests/data/json/cases.jsonl";
    std::map<std::string, int> run;
    std::string line;
    while (std::getline(in, line)) {
        JsonValue c = parse_json_value(line);
        std::string kind = get_str(c, "kind");
        std::string input = get(c, "input_b64") ? base64_decode(get_str(c, "input_b64")) : get_str(c, "input");
        ByteView bytes(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        const auto index = [](const auto& v) { return dump_index(v); };
        JsonValue got;
        if (kind == "schema") got = outcome(Schema::from_slice(bytes), dump_schema);
        else if (kind == "document") got = outcome(parse_document(bytes), dump_document);
        else if (kind == "segments") got = outcome(parse_segment_list(bytes), [](const auto& v) { return list(v, str); });
        else if (kind == "rabitq_index") got = outcome(parse_rabitq_index(bytes), index);
        else if (kind == "ivf_rabitq_index") got = outcome(parse_ivf_rabitq_index(bytes), index);
        else if (kind == "ivf_pq_index") got = outcome(parse_ivf_pq_index(bytes), index);
        else ADD_FAILURE() << "unknown kind " << kind;
        ++run[kind];
        JsonValue want = std::get<bool>(get(c, "ok")->value) ? strip_repr(*get(c, "value"))
                                                             : str("error: " + get_str(c, "error"));
        EXPECT_EQ(got, want) << get_str(c, "id");
    }
    EXPECT_EQ(run, (std::map<std::string, int>{{"schema", 203}, {"document", 185}, {"segments", 24},
                                                {"rabitq_index", 15}, {"ivf_rabitq_index", 9}, {"ivf_pq_index", 25}}));
}
