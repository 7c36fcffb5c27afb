#include "core/common/Digest.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "core/common/HexString.h"

namespace tolvane {
namespace detail {

struct EvpDigest::Context {
    EVP_MD_CTX* ctx = nullptr;
    ~Context() { EVP_MD_CTX_free(ctx); }
};

EvpDigest::EvpDigest(const void* evpMd) : context_(std::make_unique<Context>()) {
    context_->ctx = EVP_MD_CTX_new();
    if (context_->ctx == nullptr ||
        EVP_DigestInit_ex(context_->ctx, static_cast<const EVP_MD*>(evpMd), nullptr) != 1) {
        throw std::runtime_error("message digest could not be initialised");
    }
}

EvpDigest::EvpDigest(EvpDigest&&) noexcept = default;
EvpDigest& EvpDigest::operator=(EvpDigest&&) noexcept = default;
EvpDigest::~EvpDigest() = default;

void EvpDigest::updateBytes(const void* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (EVP_DigestUpdate(context_->ctx, data, size) != 1) {
        throw std::runtime_error("message digest update failed");
    }
}

void EvpDigest::finishInto(std::uint8_t* out, std::size_t size) {
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->ctx, out, &length) != 1 || length != size) {
        throw std::runtime_error("message digest could not be finished");
    }
}

}  // namespace detail

namespace {
// Fetched once and kept for the life of the process: OpenSSL 3 would otherwise look the
// algorithm up again for every digest, which costs more than hashing a small file.
const EVP_MD* sha256Method() {
    static const EVP_MD* const method = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return method;
}
}  // namespace

Sha256::Sha256() : EvpDigest(sha256Method()) {}

Sha256::Value Sha256::finish() {
    Value value{};
    finishInto(value.data(), value.size());
    return value;
}

Sha256::Value Sha256::of(std::string_view bytes) {
    Sha256 digest;
    digest.update(bytes);
    return digest.finish();
}

std::string Sha256::hexOf(std::string_view bytes) {
    return HexString::encode(of(bytes));
}

Md5::Md5() : EvpDigest(EVP_md5()) {}

Md5::Value Md5::finish() {
    Value value{};
    finishInto(value.data(), value.size());
    return value;
}

}  // namespace tolvane
