#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolvane {

// Whether an iCloud container can be used, and where its folder is.
struct ICloudAvailability {
    enum class Kind { available, accountRequired, containerUnavailable };

    Kind kind = Kind::accountRequired;
    // The container's folder, standardised; set only for `available`.
    std::string url;

    static ICloudAvailability available(std::string url) {
        return {Kind::available, std::move(url)};
    }
    static ICloudAvailability accountRequired() { return {Kind::accountRequired, {}}; }
    static ICloudAvailability containerUnavailable() { return {Kind::containerUnavailable, {}}; }

    bool operator==(const ICloudAvailability&) const = default;
};

// The system's side of the check, behind a seam so that it can be replaced. Implementations are
// called from a worker thread and must be safe to call from any thread.
class ICloudContainerChecking {
public:
    virtual ~ICloudContainerChecking() = default;
    // Whether a user is signed in to iCloud.
    virtual bool hasIdentityToken() const = 0;
    // The folder of the container with that identifier (none: the application's default one),
    // or nothing when it cannot be reached.
    virtual std::optional<std::string> containerURL(
        const std::optional<std::string>& identifier) const = 0;
};

// The checker of this desktop. Linux has no iCloud service: nobody is ever signed in, so the
// check answers that an account is required and never asks for a container.
class SystemICloudContainerChecker final : public ICloudContainerChecking {
public:
    bool hasIdentityToken() const override { return false; }
    std::optional<std::string> containerURL(const std::optional<std::string>&) const override {
        return std::nullopt;
    }
};

class ICloudAvailabilityService {
public:
    explicit ICloudAvailabilityService(std::shared_ptr<const ICloudContainerChecking> checker =
                                           std::make_shared<SystemICloudContainerChecker>());

    // Runs the check on a worker thread and hands its answer to `done` on the GUI thread, unless
    // `context` was destroyed meanwhile. Never fails: a checker that throws counts as an
    // unreachable container.
    void check(std::optional<std::string> containerIdentifier, QObject* context,
               std::function<void(ICloudAvailability)> done) const;

    // The check itself, synchronous: account first, then the container.
    static ICloudAvailability evaluate(const ICloudContainerChecking& checker,
                                       const std::optional<std::string>& containerIdentifier);

private:
    std::shared_ptr<const ICloudContainerChecking> checker_;
};

}  // namespace tolvane
