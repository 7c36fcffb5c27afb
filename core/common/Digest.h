#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tolvane {

namespace detail {
// Incremental message digest over OpenSSL EVP; N is the digest length in bytes.
class EvpDigest {
public:
    EvpDigest(const EvpDigest&) = delete;
    EvpDigest& operator=(const EvpDigest&) = delete;
    EvpDigest(EvpDigest&&) noexcept;
    EvpDigest& operator=(EvpDigest&&) noexcept;
    ~EvpDigest();

    void update(std::span<const std::uint8_t> bytes) { updateBytes(bytes.data(), bytes.size()); }
    void update(std::string_view bytes) { updateBytes(bytes.data(), bytes.size()); }

protected:
    explicit EvpDigest(const void* evpMd);
    void updateBytes(const void* data, std::size_t size);
    void finishInto(std::uint8_t* out, std::size_t size);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};
}  // namespace detail

class Sha256 : public detail::EvpDigest {
public:
    using Value = std::array<std::uint8_t, 32>;
    Sha256();
    // Ends the digest; the object must not be updated afterwards.
    Value finish();

    static Value of(std::string_view bytes);
    // Lowercase hex of the digest of the bytes.
    static std::string hexOf(std::string_view bytes);
};

class Md5 : public detail::EvpDigest {
public:
    using Value = std::array<std::uint8_t, 16>;
    Md5();
    Value finish();
};

}  // namespace tolvane
