// Measures how long the main window's GUI thread is held when the input list shows a large
// selection and when one input is removed from it, offscreen, with a pipeline that answers at
// once. Figures are the GUI thread's CPU time from the change until the window has followed it
// (the snapshot's answer included) and has painted; the median of several runs.
//
//   tolvane-input-list-bench
//
// Exits 1 when showing 10,000 inputs takes more than 100 ms or removing one more than 20 ms;
// 100,000 inputs are measured and printed only.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextStream>

#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/InputListView.h"

using namespace tolvane;

namespace {

constexpr int runs = 5;
constexpr double showLimitMs = 100;
constexpr double removeLimitMs = 20;

// A snapshot at once, without reading anything.
class InstantBackend final : public JobBackend {
public:
    ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                              const std::string& manifest, Progress&,
                                              std::stop_token) override {
        return {manifest, sources.size(), 1'000'000, "ab", 1, 2};
    }
    PackReceipt pack(const std::vector<std::string>&, const std::string&, Progress&,
                     const ArchiveInputSnapshot&, std::stop_token) override {
        return {};
    }
    UnpackReceipt unpack(const std::string&, const std::string&, Progress&,
                         std::stop_token) override {
        return {};
    }
};

double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Figures {
    double show = 0;      // GUI thread CPU, ms
    double showWall = 0;  // wall time until the first paint, ms
    double remove = 0;
    double removeWall = 0;
};

class Bench {
public:
    Bench()
        : job_(std::make_shared<InstantBackend>(), QDir::tempPath().toStdString()),
          volumes_(center_, hooks()),
          view_(job_, google_, volumes_) {
        view_.show();
        QApplication::processEvents();
    }
    ~Bench() { job_.cancel(); }

    Figures measure(int count) {
        std::vector<std::string> inputs;
        inputs.reserve(std::size_t(count));
        for (int i = 0; i < count; ++i) {
            inputs.push_back("/home/minji/문서/납품 자료/보고서 " + std::to_string(i) + ".txt");
        }
        std::vector<double> show, showWall, remove, removeWall;
        for (int run = 0; run < runs; ++run) {
            job_.clearInputs();
            settle();
            const auto [cpu, wall] = timed([&] { job_.addInputs(inputs); });
            show.push_back(cpu);
            showWall.push_back(wall);
        }
        // Scrolled to its middle, where the removals happen: the rows drawn are those that move.
        InputRowsView& rows = *view_.inputList()->rowsView();
        rows.scrollTo(rows.model()->index(count / 2, 0), QAbstractItemView::PositionAtCenter);
        QApplication::processEvents();
        view_.repaint();
        for (int run = 0; run < runs; ++run) {
            const std::string& gone = inputs[std::size_t(count / 2 + run)];
            const auto [cpu, wall] = timed([&] { job_.removeInput(gone); });
            remove.push_back(cpu);
            removeWall.push_back(wall);
        }
        job_.clearInputs();
        settle();
        return {median(show), median(showWall), median(remove), median(removeWall)};
    }

private:
    static ExternalVolumeStore::Hooks hooks() {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [] { return std::vector<ExternalVolume>(); };
        hooks.onMount = [] {};
        hooks.archiveState = [](const std::string&) { return ArchiveVolumeState(); };
        hooks.eject = [](const std::string&, const std::string&) {};
        return hooks;
    }

    // Runs the change, lets the window follow it and paint; the GUI thread's CPU time and the
    // wall time until the first paint.
    template <typename Change>
    std::pair<double, double> timed(Change change) {
        const double start = threadMilliseconds();
        QElapsedTimer wall;
        wall.start();
        change();
        QApplication::processEvents();
        view_.repaint();
        const double firstPaint = double(wall.nsecsElapsed()) / 1e6;
        // The snapshot's answer comes back to the GUI thread and is shown too.
        settle();
        view_.repaint();
        return {threadMilliseconds() - start, firstPaint};
    }

    void settle() {
        while (job_.isBusy()) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        QApplication::processEvents();
    }

    DeliveryJobModel job_;
    GoogleConnectionModel google_;
    VolumeNotificationCenter center_;
    ExternalVolumeStore volumes_;
    ContentView view_;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication application(argc, argv);
    QTextStream out(stdout);
    bool met = true;
    auto bench = std::make_unique<Bench>();
    for (const int count : {10'000, 100'000}) {
        const Figures f = bench->measure(count);
        out << QStringLiteral(
                   "input list, %1 inputs: show %2 ms (first paint after %3 ms), "
                   "remove one %4 ms (first paint after %5 ms)\n")
                   .arg(count)
                   .arg(f.show, 0, 'f', 1)
                   .arg(f.showWall, 0, 'f', 1)
                   .arg(f.remove, 0, 'f', 1)
                   .arg(f.removeWall, 0, 'f', 1);
        if (count == 10'000 && (f.show > showLimitMs || f.remove > removeLimitMs)) {
            out << QStringLiteral(
                       "input list: over the limits of %1 ms to show and %2 ms to "
                       "remove one\n")
                       .arg(showLimitMs)
                       .arg(removeLimitMs);
            met = false;
        }
        out.flush();
    }
    bench.reset();
    return met ? 0 : 1;
}
