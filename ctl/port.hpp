// The serial port, held exclusively from open to close.
#pragma once

#include <optional>
#include <string>
#include <termios.h>

namespace kq2741ctl {

class Port {
public:
    // Opens, claims and sets raw 115200 8N1. Throws a Failure (Exit::Port)
    // that says what to check, having given back whatever it took.
    explicit Port(std::string path);
    // Puts the line settings back as they were found and gives up the claim.
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    void claim();
    void refuse_if_shared();
    void set_line();
    void release() noexcept;
    [[noreturn]] void fail(const std::string& what);
    [[noreturn]] void busy(const std::string& holders);

    std::string path_;
    int fd_ = -1;
    std::optional<termios> found_;  // the settings before ours
    bool locked_ = false;
    bool exclusive_ = false;
};

}  // namespace kq2741ctl
