#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/common/UniqueFd.h"

namespace tolvane {

// The HTTP listener an interactive sign-in's redirect lands on: 127.0.0.1, a port the system
// picks, descriptors close-on-exec. It serves one request per connection, answers every request
// itself and hands back only the one its caller recognises; stray requests (another path, a
// wrong `state`, a favicon) get an error page and the wait goes on.
//
// Connections are served side by side, and each has a fixed time for its whole request from the
// moment it was accepted: a local process that connects and trickles bytes, or several of them,
// cannot keep the browser's redirect from being read.
//
// wait() blocks its thread; cancel() and deliver() may be called from any other thread while it
// does. The socket closes when the listener is destroyed.
class LoopbackRedirectListener {
public:
    using Query = std::map<std::string, std::string>;

    static constexpr std::chrono::milliseconds defaultRequestTimeout{10'000};
    // Connections open at once; accepting one more drops the oldest.
    static constexpr std::size_t maxConnections = 16;

    // Throws std::system_error when no loopback port can be opened.
    explicit LoopbackRedirectListener(
        std::chrono::milliseconds requestTimeout = defaultRequestTimeout);
    LoopbackRedirectListener(const LoopbackRedirectListener&) = delete;
    LoopbackRedirectListener& operator=(const LoopbackRedirectListener&) = delete;

    int port() const noexcept { return port_; }
    // "http://127.0.0.1:<port>/"
    std::string redirectURI() const;

    // Waits until a request to "/" whose query `isOurs` accepts arrives (it is answered with
    // `page`), or until deliver() hands one over. Throws OperationCancelled once cancel() was
    // called, before or during the wait.
    Query wait(const std::function<bool(const Query&)>& isOurs, const std::string& page);

    void cancel() noexcept;
    // A redirect that reached the application another way, handed to the waiting flow.
    void deliver(Query query) noexcept;

private:
    struct Connection;

    void wake() noexcept;
    // Reads what the connection has sent; once its request is whole, answers it and says
    // whether it is done (closed) and the query when it is ours.
    static bool serve(Connection& connection, const std::function<bool(const Query&)>& isOurs,
                      const std::string& page, std::optional<Query>& ours);

    const std::chrono::milliseconds requestTimeout_;
    UniqueFd socket_;
    UniqueFd wakeup_;  // an eventfd: cancel() and deliver() interrupt wait() through it
    int port_ = 0;
    std::mutex mutex_;
    bool cancelled_ = false;
    std::optional<Query> delivered_;
};

}  // namespace tolvane
