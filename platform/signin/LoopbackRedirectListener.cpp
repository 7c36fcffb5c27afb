#include "platform/signin/LoopbackRedirectListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "core/common/Cancellation.h"
#include "core/common/Posix.h"
#include "platform/signin/OAuthText.h"

namespace tolvane {

namespace {

// A request head longer than this is not a redirect from a browser.
constexpr std::size_t maxRequestBytes = 16 * 1024;

const std::string strayPage =
    "<!doctype html><html lang=\"ko\"><meta charset=\"utf-8\"><title>Veska</title>"
    "<p>이 주소로 온 요청은 로그인 응답이 아닙니다.</p></html>";

void answer(int connection, int status, const std::string& body) noexcept {
    const std::string head = "HTTP/1.1 " + std::to_string(status) +
                             (status == 200   ? " OK"
                              : status == 404 ? " Not Found"
                                              : " Bad Request") +
                             "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size()) +
                             "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    const std::string message = head + body;
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::send(connection, message.data() + sent, message.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the browser went away; nothing depends on it reading the page
        }
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

struct LoopbackRedirectListener::Connection {
    UniqueFd fd;
    std::string head;
    std::chrono::steady_clock::time_point deadline;
};

LoopbackRedirectListener::LoopbackRedirectListener(std::chrono::milliseconds requestTimeout)
    : requestTimeout_(requestTimeout),
      socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
      wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!socket_ || !wakeup_) {
        posix::throwLastError("loopback redirect listener");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket_.get(), 8) != 0 ||
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        posix::throwLastError("loopback redirect listener");
    }
    port_ = ntohs(address.sin_port);
}

std::string LoopbackRedirectListener::redirectURI() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void LoopbackRedirectListener::wake() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeup_.get(), &one, sizeof one);
}

void LoopbackRedirectListener::cancel() noexcept {
    {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    wake();
}

void LoopbackRedirectListener::deliver(Query query) noexcept {
    {
        const std::lock_guard lock(mutex_);
        delivered_ = std::move(query);
    }
    wake();
}

LoopbackRedirectListener::Query LoopbackRedirectListener::wait(
    const std::function<bool(const Query&)>& isOurs, const std::string& page) {
    using Clock = std::chrono::steady_clock;
    std::vector<Connection> open;
    std::vector<pollfd> fds;
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) {
                throw OperationCancelled();
            }
            if (delivered_) {
                Query query = std::move(*delivered_);
                delivered_.reset();
                if (isOurs(query)) {
                    return query;
                }
            }
        }
        // A connection past its time is closed unanswered, whatever it is still sending.
        const Clock::time_point now = Clock::now();
        std::erase_if(open, [&](const Connection& c) { return c.deadline <= now; });
        int timeout = -1;
        fds = {{socket_.get(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}};
        for (const Connection& connection : open) {
            fds.push_back({connection.fd.get(), POLLIN, 0});
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(connection.deadline - now).count();
            timeout =
                timeout < 0 ? static_cast<int>(left) : std::min(timeout, static_cast<int>(left));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            posix::throwLastError("loopback redirect listener");
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wakeup_.get(), &count, sizeof count);
            continue;
        }
        // Served from the back, so that erasing leaves the indexes still to visit in place.
        for (std::size_t i = open.size(); i-- > 0;) {
            if (fds[i + 2].revents == 0) {
                continue;
            }
            std::optional<Query> ours;
            if (serve(open[i], isOurs, page, ours)) {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if (ours) {
                return std::move(*ours);
            }
        }
        if (fds[0].revents != 0) {
            UniqueFd accepted(
                ::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            // Nothing taken: the peer gave up before we took it, or descriptors ran out for now.
            if (accepted) {
                if (open.size() >= maxConnections) {
                    open.erase(open.begin());
                }
                open.push_back({std::move(accepted), {}, Clock::now() + requestTimeout_});
            }
        }
    }
}

bool LoopbackRedirectListener::serve(Connection& connection,
                                     const std::function<bool(const Query&)>& isOurs,
                                     const std::string& page, std::optional<Query>& ours) {
    const int fd = connection.fd.get();
    std::string& head = connection.head;
    char buffer[2048];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
        return errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
    }
    if (n == 0) {
        return true;
    }
    head.append(buffer, static_cast<std::size_t>(n));
    if (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > maxRequestBytes) {
            answer(fd, 400, strayPage);
            return true;
        }
        return false;
    }
    // "GET /?code=...&state=... HTTP/1.1"
    const std::string line = head.substr(0, head.find("\r\n"));
    const std::size_t space = line.find(' ');
    const std::size_t end = line.find(' ', space + 1);
    if (line.compare(0, space, "GET") != 0 || space == std::string::npos ||
        end == std::string::npos) {
        answer(fd, 400, strayPage);
        return true;
    }
    const std::string target = line.substr(space + 1, end - space - 1);
    const std::size_t question = target.find('?');
    if (target.substr(0, question) != "/") {
        answer(fd, 404, strayPage);
        return true;
    }
    auto query = OAuthText::parseQuery(question == std::string::npos
                                           ? std::string_view{}
                                           : std::string_view(target).substr(question + 1));
    if (!query || !isOurs(*query)) {
        answer(fd, 400, strayPage);
        return true;
    }
    answer(fd, 200, page);
    ours = std::move(query);
    return true;
}

}  // namespace tolvane
