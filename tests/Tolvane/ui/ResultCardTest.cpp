#include <QFile>

#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>
#include <mutex>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/ExternalVolumesView.h"
#include "Tolvane/ui/GoogleScreensFixture.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "Tolvane/ui/ResultCardView.h"
#include "Tolvane/ui/ResultFooter.h"

namespace tolvane::test {
namespace {

using Transfer = GoogleConnectionModel::TransferState;
constexpr std::uint64_t MiB16 = 16 * 1024 * 1024;

ExternalVolume volume(const char* fileSystem, std::optional<std::uint64_t> available,
                      std::optional<std::uint64_t> maximum = std::nullopt, bool readOnly = false,
                      std::optional<std::string> uuid = "UUID-1") {
    return {"/media/u/v", QStringLiteral("USB"), std::move(uuid), readOnly, maximum, available,
            fileSystem};
}

TEST(ExternalVolumesViewTest, TheSummaryAndTheSaveOfferFollowTheVolumeAndTheSelection) {
    struct Case {
        ExternalVolume volume;
        std::optional<std::uint64_t> source;
        bool canStartPack;
        QString detail;
        bool saves;
    };
    const std::uint64_t plenty = 900'000'000'000;
    const Case cases[] = {
        {volume("ext4", plenty, {}, true), 10, true, "읽기 전용 · 파일 관리자에서 보기", false},
        {volume("ext4", plenty, {}, false, std::nullopt), 10, true,
         "장치 식별 불가 · 파일 관리자에서 보기", false},
        {volume("ext4", std::nullopt), 10, true, "저장 공간 확인 불가 · 파일 관리자에서 보기",
         false},
        // The working reserve, exactly and one byte above.
        {volume("ext4", MiB16), 10, true, "작업 공간 부족 · 여유 16.8 MB", false},
        {volume("ext4", MiB16 + 1), 10, true, "외장 장치 · 자동 압축 · 여유 16.8 MB", true},
        // Without a selection to pack nothing is short of space, and nothing is offered.
        {volume("ext4", MiB16), std::nullopt, true, "외장 장치 · 자동 압축 · 여유 16.8 MB", false},
        {volume("ext4", plenty), 10, false, "외장 장치 · 자동 압축 · 여유 900 GB", false},
        {volume("msdos", plenty), 10, true, "FAT · 최대 압축 · ZIP 4GiB 미만", true},
        {volume("vfat", plenty, 2'000'000'000), 10, true, "FAT · 최대 압축 · ZIP 최대 2 GB", true},
        // A reported maximum of 0 is no maximum; one above 4 GiB - 1 caps nothing small.
        {volume("exfat", plenty, 0), 10, true, "exFAT · 자동 압축 · 여유 900 GB", true},
        {volume("ext4", plenty, 4'294'967'296), 10, true, "외장 장치 · 자동 압축 · 여유 900 GB",
         true},
        // Three quarters of the free space against the source, at and around equality.
        {volume("ext4", 10'000'000'000), 8'000'000'000, true, "외장 장치 · 최대 압축 · 여유 10 GB",
         true},
        {volume("ext4", 10'000'000'000), 7'500'000'000, true, "외장 장치 · 최대 압축 · 여유 10 GB",
         true},
        {volume("ext4", 10'000'000'000), 7'499'999'999, true, "외장 장치 · 자동 압축 · 여유 10 GB",
         true},
        {volume("ext4", 11'000'000'000), 8'000'000'000, true, "외장 장치 · 자동 압축 · 여유 11 GB",
         true},
        {volume("ext4", std::numeric_limits<std::uint64_t>::max()), 10, true,
         "외장 장치 · 자동 압축 · 여유 9.22 EB", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.detail.toStdString());
        EXPECT_EQ(ExternalVolumesView::detail(c.volume, c.source, c.canStartPack), c.detail);
        EXPECT_EQ(ExternalVolumesView::canSave(c.volume, c.source, c.canStartPack), c.saves);
    }
}

TEST(ExternalVolumesViewTest, RowsSaveOrShowTheVolumeAndTheListIsAbsentWithoutVolumes) {
    std::vector<std::string> saved, opened;
    ExternalVolumesView view([&](const ExternalVolume& v) { saved.push_back(v.url); }, nullptr,
                             [&](const std::string& path) { opened.push_back(path); });
    auto writable = volume("msdos", 900'000'000);
    writable.url = "/media/u/a";
    view.setVolumes({writable, volume("ext4", 900'000'000, {}, true)}, "UUID-1", 10, true);
    ASSERT_TRUE(button(view, "여기에 ZIP 저장"));
    button(view, "여기에 ZIP 저장")->click();
    button(view, "보기")->click();
    EXPECT_EQ(saved, std::vector<std::string>{"/media/u/a"});
    EXPECT_EQ(opened, std::vector<std::string>{"/media/u/v"});
    EXPECT_FALSE(view.isHidden());
    view.setVolumes({}, std::nullopt, 10, true);
    EXPECT_TRUE(view.isHidden());
}

TEST(ResultCardViewTest, TheSummaryCountsFilesAndSizesAndCapsTheSize) {
    const QLocale english(QLocale::English);
    const VerifiedArchive archive{Uuid::random(), "/a.zip", 1'400'000, "ab"};
    EXPECT_EQ(ResultCardView::resultSummary(1234, 2'100'000, archive, english),
              QStringLiteral("1,234개 파일 · 2.1 MB → 1.4 MB"));
    EXPECT_EQ(ResultCardView::resultSummary(0, 0, std::nullopt, english),
              QStringLiteral("0개 파일 · 0바이트"));
    EXPECT_EQ(
        ResultCardView::resultSummary(1, std::numeric_limits<std::uint64_t>::max(), {}, english),
        QStringLiteral("1개 파일 · 9.22 EB"));
}

TEST(ResultFooterTest, ShareIsOfferedOnlyForAPresentUnejectedArchiveNotAlreadySharing) {
    const VerifiedArchive mine{Uuid::random(), "/out/a.zip", 1, "ab"};
    const VerifiedArchive other{Uuid::random(), "/out/b.zip", 1, "ab"};
    const std::optional<std::string> output = mine.url;
    using K = Transfer::Kind;
    EXPECT_FALSE(ResultFooter::canOfferShare(std::nullopt, true, false, {}));
    EXPECT_FALSE(ResultFooter::canOfferShare(output, false, false, {}));
    EXPECT_FALSE(ResultFooter::canOfferShare(output, true, true, {}));
    EXPECT_TRUE(ResultFooter::canOfferShare(output, true, false, {}));
    for (const K kind : {K::uploading, K::cancelling, K::paused, K::shared, K::failed}) {
        EXPECT_FALSE(ResultFooter::canOfferShare(output, true, false, Transfer::share(kind, mine)));
        EXPECT_TRUE(ResultFooter::canOfferShare(output, true, false, Transfer::share(kind, other)));
    }
    EXPECT_TRUE(ResultFooter::canOfferShare(output, true, false,
                                            Transfer::recovery(K::recovering, mine.jobID)));
}

// A window whose pack lands on a FAT volume mounted at the test folder, and a store whose eject
// waits for the test's answer.
class SafeEjectTest : public ModelTest {
protected:
    SafeEjectTest() {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [this] {
            auto v = volume("msdos", 900'000'000);
            v.url = root.path();
            return ejected ? std::vector<ExternalVolume>() : std::vector{v};
        };
        hooks.onMount = [] {};
        hooks.archiveState = [this](const std::string& url) {
            return ArchiveVolumeState{exists(url), std::string("UUID-1")};
        };
        hooks.eject = [this](const std::string&, const std::string&) {
            std::unique_lock lock(mutex);
            answered.wait(lock, [&] { return answer.has_value() || closing; });
            const std::exception_ptr error = answer.value_or(nullptr);
            answer.reset();
            if (error) {
                std::rethrow_exception(error);
            }
            ejected = true;
        };
        volumes = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        EXPECT_TRUE(eventually([&] { return !volumes->volumes().empty(); }));
        view = std::make_unique<ContentView>(*model, *drive.model, *volumes);
        const std::string source = root.path() + "/a.txt";
        model->addInputs({source});
        backend->next()->release();
        EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
        model->startPacking(archive);
        auto pack = backend->next();
        QFile(QString::fromStdString(archive)).open(QIODevice::WriteOnly);
        pack->release();
        EXPECT_TRUE(
            eventually([&] { return model->phase() == DeliveryJobModel::Phase::complete; }));
    }
    ~SafeEjectTest() override {
        {
            const std::lock_guard lock(mutex);
            closing = true;  // ends an eject still waiting
        }
        answered.notify_all();
        view.reset();
        eventually([&] { return !volumes->isEjecting(); });
    }

    // Presses the card's eject button and waits until the store ejects.
    void pressEject() {
        ASSERT_TRUE(button(*view->resultCard(), "안전하게 제거"));
        button(*view->resultCard(), "안전하게 제거")->click();
        ASSERT_TRUE(eventually([&] { return volumes->isEjecting(); }));
        EXPECT_EQ(button(*view->resultCard(), "제거 중")->isEnabled(), false);
    }
    void answerWith(std::exception_ptr error) {
        {
            const std::lock_guard lock(mutex);
            answer = std::move(error);
        }
        answered.notify_all();
        ASSERT_TRUE(eventually([&] { return !volumes->isEjecting(); }));
    }

    std::string archive = root.path() + "/납품.zip";
    std::atomic<bool> ejected = false;
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<std::exception_ptr> answer;  // the system's next answer to an eject
    bool closing = false;
    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> volumes;
    std::unique_ptr<ContentView> view;
};

TEST_F(SafeEjectTest, ASuccessLabelsTheResultAndTakesAwayRevealEjectAndShare) {
    EXPECT_TRUE(view->canOfferShare());
    pressEject();
    answerWith(nullptr);
    EXPECT_EQ(view->ejectedVolumeName(), QStringLiteral("USB"));
    EXPECT_FALSE(button(*view->resultCard(), "파일 관리자에서 보기"));
    EXPECT_FALSE(button(*view->resultCard(), "안전하게 제거"));
    EXPECT_FALSE(button(*view->resultFooter(), "링크 만들기"));
    // A new job forgets the volume.
    view->startNewJobFromResult();
    EXPECT_FALSE(view->ejectedVolumeName());
}

TEST_F(SafeEjectTest, AFailureShowsItsTextUntilTheNextAttempt) {
    pressEject();
    answerWith(std::make_exception_ptr(std::runtime_error("target is busy")));
    EXPECT_EQ(view->ejectionError(), QStringLiteral("장치를 제거하지 못했습니다. target is busy"));
    EXPECT_FALSE(view->ejectedVolumeName());
    pressEject();  // the line goes at once, before the attempt ends
    EXPECT_FALSE(view->ejectionError());
}

TEST_F(SafeEjectTest, AnEjectThatEndsAfterTheResultChangedLabelsNothing) {
    pressEject();
    model->startNewJob();
    answerWith(nullptr);
    EXPECT_FALSE(view->ejectedVolumeName());
    EXPECT_FALSE(view->ejectionError());
}

TEST_F(SafeEjectTest, AWindowClosedWhileEjectingIsLeftAlone) {
    pressEject();
    view.reset();
    answerWith(std::make_exception_ptr(std::runtime_error("target is busy")));
    EXPECT_FALSE(volumes->isEjecting());
}

TEST_F(SafeEjectTest, NoEjectWhileDriveReadsTheArchive) {
    drive.start();
    ASSERT_TRUE(drive.model->hasActiveTransfer());
    EXPECT_FALSE(button(*view->resultCard(), "안전하게 제거")->isEnabled());
    view->safelyEject(archive);
    EXPECT_FALSE(volumes->isEjecting());
    EXPECT_FALSE(button(*view->resultFooter(), "새 작업")->isEnabled());
}

}  // namespace
}  // namespace tolvane::test
