#include <QObject>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "Tolvane/model/ICloudAvailabilityService.h"

namespace tolvane::test {
namespace {

class FakeChecker final : public ICloudContainerChecking {
public:
    FakeChecker(bool signedIn, std::optional<std::string> url, bool throws = false)
        : signedIn_(signedIn), url_(std::move(url)), throws_(throws) {}

    bool hasIdentityToken() const override { return signedIn_; }
    std::optional<std::string> containerURL(
        const std::optional<std::string>& identifier) const override {
        ++containerQueries;
        lastIdentifier = identifier;
        if (throws_) {
            throw std::runtime_error("checker failed");
        }
        return url_;
    }

    mutable std::atomic<int> containerQueries = 0;
    mutable std::optional<std::string> lastIdentifier;

private:
    bool signedIn_;
    std::optional<std::string> url_;
    bool throws_;
};

ICloudAvailability checkedOnAWorker(std::shared_ptr<const ICloudContainerChecking> checker,
                                    std::optional<std::string> identifier) {
    QObject context;
    std::optional<ICloudAvailability> answer;
    ICloudAvailabilityService(std::move(checker))
        .check(std::move(identifier), &context,
               [&](ICloudAvailability availability) { answer = std::move(availability); });
    // The wait is only a safety net: the answer arrives as soon as the worker posts it.
    EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 30000));
    return answer.value_or(ICloudAvailability::containerUnavailable());
}

TEST(ICloudAvailabilityService, AnswersFromTheChecker) {
    auto signedOut = std::make_shared<FakeChecker>(false, "/c");
    EXPECT_EQ(checkedOnAWorker(signedOut, "iCloud.x"), ICloudAvailability::accountRequired());
    EXPECT_EQ(signedOut->containerQueries, 0);

    auto noContainer = std::make_shared<FakeChecker>(true, std::nullopt);
    EXPECT_EQ(checkedOnAWorker(noContainer, "iCloud.x"),
              ICloudAvailability::containerUnavailable());
    EXPECT_EQ(noContainer->lastIdentifier, std::optional<std::string>("iCloud.x"));

    auto available = std::make_shared<FakeChecker>(true, "/home/u/./Cloud//Docs/");
    EXPECT_EQ(checkedOnAWorker(available, std::nullopt),
              ICloudAvailability::available("/home/u/Cloud/Docs"));
    EXPECT_NE(ICloudAvailability::available("/a"), ICloudAvailability::available("/b"));

    auto failing = std::make_shared<FakeChecker>(true, "/c", true);
    EXPECT_EQ(checkedOnAWorker(failing, std::nullopt), ICloudAvailability::containerUnavailable());

    // This desktop has no iCloud: an account is always required.
    EXPECT_EQ(checkedOnAWorker(std::make_shared<SystemICloudContainerChecker>(), std::nullopt),
              ICloudAvailability::accountRequired());
}

}  // namespace
}  // namespace tolvane::test
