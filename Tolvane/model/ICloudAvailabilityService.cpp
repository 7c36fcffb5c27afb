#include "Tolvane/model/ICloudAvailabilityService.h"

#include <utility>

#include "Tolvane/model/BackgroundWork.h"
#include "core/common/PathText.h"

namespace tolvane {

ICloudAvailabilityService::ICloudAvailabilityService(
    std::shared_ptr<const ICloudContainerChecking> checker)
    : checker_(std::move(checker)) {}

ICloudAvailability ICloudAvailabilityService::evaluate(
    const ICloudContainerChecking& checker, const std::optional<std::string>& containerIdentifier) {
    if (!checker.hasIdentityToken()) {
        return ICloudAvailability::accountRequired();
    }
    const std::optional<std::string> url = checker.containerURL(containerIdentifier);
    if (!url) {
        return ICloudAvailability::containerUnavailable();
    }
    return ICloudAvailability::available(PathText::standardized(*url));
}

void ICloudAvailabilityService::check(std::optional<std::string> containerIdentifier,
                                      QObject* context,
                                      std::function<void(ICloudAvailability)> done) const {
    runInBackground(
        context,
        [checker = checker_, identifier = std::move(containerIdentifier)] {
            return evaluate(*checker, identifier);
        },
        [done = std::move(done)](QObject* receiver, WorkOutcome<ICloudAvailability> outcome) {
            if (receiver == nullptr) {
                return;
            }
            done(outcome.value ? *outcome.value : ICloudAvailability::containerUnavailable());
        });
}

}  // namespace tolvane
