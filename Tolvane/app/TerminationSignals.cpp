#include "Tolvane/app/TerminationSignals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>

#include "core/common/Posix.h"

namespace tolvane {

namespace {

constexpr std::array watched{SIGTERM, SIGINT, SIGHUP};

// The handler may only write: the byte wakes the notifier on the GUI thread.
int writeEnd = -1;
int readEnd = -1;

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        posix::throwLastError("socketpair for termination signals");
    }
    writeEnd = ends[0];
    readEnd = ends[1];
    notifier_ = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(readEnd, bytes, sizeof bytes) > 0) {
        }
        emit requested();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : watched) {
        ::sigaction(number, &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : watched) {
        ::sigaction(number, &action, nullptr);
    }
    delete notifier_;
    ::close(writeEnd);
    ::close(readEnd);
    writeEnd = readEnd = -1;
}

}  // namespace tolvane
