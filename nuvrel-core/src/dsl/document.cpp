#include "dsl/document.h"

#include "dsl/json/record.h"

namespace nuvrel_core {
namespace json {

template <> struct JsonRecord<SparseVectorValue> {
    static constexpr auto table = record<SparseVectorValue>(
        "struct variant FieldValue::SparseVector", 2,
        member<&SparseVectorValue::indices>("indices", Required), member<&SparseVectorValue::values>("values", Required));
};

namespace {

constexpr std::array<std::string_view, 8> kVariantNames{"text",  "u64",           "i64",          "f64",
                                                         "bytes", "sparse_vector", "dense_vector", "json"};
constexpr std::size_t kSparseVariant = 5;

template <std::size_t I, class C>
bool read_payload(Reader& r, FieldValue& v) {
    return C::read(r, v.emplace<I>());
}

// {"variant": payload}; a bare variant name has no payload and fails.
struct FieldValueCodec {
    using value_type = FieldValue;
    static bool read(Reader& r, FieldValue& v) {
        std::size_t index = 0;
        bool braced = false;
        if (!r.enum_begin(kVariantNames, index, braced)) return false;
        if (!braced) return bare_variant_error(r, index == kSparseVariant);
        bool ok = false;
        switch (index) {
            case 0: ok = read_payload<0, Str>(r, v); break;
            case 1: ok = read_payload<1, U64>(r, v); break;
            case 2: ok = read_payload<2, I64>(r, v); break;
            case 3: ok = read_payload<3, F64>(r, v); break;
            case 4: ok = read_payload<4, Seq<U8>>(r, v); break;
            case 5: ok = read_payload<5, Rec<SparseVectorValue>>(r, v); break;
            case 6: ok = read_payload<6, Seq<F32>>(r, v); break;
            default: ok = read_payload<7, Any>(r, v); break;
        }
        return ok && r.enum_end();
    }
};

constexpr std::string_view kPair = "a tuple of size 2";

// [field, value]: exactly two elements.
struct FieldPairCodec {
    using value_type = std::pair<Field, FieldValue>;
    static bool read(Reader& r, value_type& v) {
        return r.seq(kPair, [&] {
            bool first = true, has = false;
            if (!r.next_element(first, has)) return false;
            if (!has) return r.fail_invalid_length(0, kPair);
            if (!U32::read(r, v.first)) return false;
            if (!r.next_element(first, has)) return false;
            if (!has) return r.fail_invalid_length(1, kPair);
            return FieldValueCodec::read(r, v.second);
        });
    }
};

}  // namespace

template <> struct JsonRecord<Document> {
    static constexpr auto table =
        record<Document>("struct Document", 1,
                         member<&Document::field_values, Seq<FieldPairCodec>>("field_values", Required));
};

}  // namespace json

JsonResult<Document> parse_document(ByteView record) { return json::parse_whole<json::Rec<Document>>(record); }

}  // namespace nuvrel_core
