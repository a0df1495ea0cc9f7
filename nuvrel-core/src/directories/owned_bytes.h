// An immutable view onto a shared byte buffer. Copies share the buffer;
// slicing never copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace nuvrel_core {

using ByteView = std::span<const std::uint8_t>;

class OwnedBytes {
public:
    OwnedBytes() = default;

    // Takes the vector whole; the result covers it from start to end.
    static OwnedBytes from_vec(std::vector<std::uint8_t> v) {
        auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(v));
        const std::uint8_t* p = owner->data();
        std::size_t n = owner->size();
        return OwnedBytes(std::move(owner), p, n);
    }
    // A buffer of n bytes to be filled by the caller before it is shared.
    static std::pair<OwnedBytes, std::uint8_t*> allocate(std::size_t n) {
        std::shared_ptr<std::uint8_t[]> buf(new std::uint8_t[n ? n : 1]);
        std::uint8_t* p = buf.get();
        return {OwnedBytes(std::move(buf), p, n), p};
    }
    // The same, or none when the memory cannot be had: sizes that come from
    // files must not end the process.
    static std::optional<std::pair<OwnedBytes, std::uint8_t*>> try_allocate(std::size_t n) noexcept {
        try {
            std::shared_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[n ? n : 1]);
            if (!buf) return std::nullopt;
            std::uint8_t* p = buf.get();
            return std::pair{OwnedBytes(std::move(buf), p, n), p};
        } catch (const std::bad_alloc&) {  // the shared count's own block
            return std::nullopt;
        }
    }
    static OwnedBytes copy_of(ByteView v) {
        auto [b, p] = allocate(v.size());
        if (!v.empty()) std::memcpy(p, v.data(), v.size());
        return b;
    }

    ByteView as_slice() const noexcept { return {data_, len_}; }
    operator ByteView() const noexcept { return as_slice(); }  // NOLINT: the dereference of a byte view
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }
    std::string_view as_string_view() const noexcept {
        return {reinterpret_cast<const char*>(data_), len_};
    }

    // The bytes [from, to) of this view, sharing the buffer. The caller
    // guarantees from <= to <= size().
    OwnedBytes slice(std::size_t from, std::size_t to) const { return OwnedBytes(owner_, data_ + from, to - from); }

    std::vector<std::uint8_t> to_vec() const { return {data_, data_ + len_}; }

private:
    OwnedBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t len)
        : owner_(std::move(owner)), data_(data), len_(len) {}

    std::shared_ptr<const void> owner_;
    const std::uint8_t* data_ = nullptr;
    std::size_t len_ = 0;
};

}  // namespace nuvrel_core
