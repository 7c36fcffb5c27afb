#pragma once

#include <memory>
#include <string_view>

namespace tolvane {

// The application's diagnostic log: two categories, error level only. Production writes to
// syslog(3); tests install a capturing sink. Logging never throws.
class Log {
public:
    enum class Category { sourceChange, googleAuth };

    static constexpr std::string_view applicationIdentifier = "com.tolvane.Veska";

    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void write(Category category, std::string_view message) noexcept = 0;
    };

    static void error(Category category, std::string_view message) noexcept;

    // Replaces the sink; nullptr restores the syslog sink. Returns the previous one.
    static std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink);

    // "SourceChange" or "GoogleAuth".
    static std::string_view categoryName(Category category) noexcept;
};

}  // namespace tolvane
