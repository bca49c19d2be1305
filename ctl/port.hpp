// The serial port, held exclusively from open to close.
#pragma once

#include <string>

namespace kq2741ctl {

class Port {
public:
    // Opens, locks and sets raw 115200 8N1. Throws a Failure (Exit::Port)
    // that says what to check.
    explicit Port(std::string path);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    void claim();
    void set_line();
    [[noreturn]] void fail(const std::string& what) const;
    [[noreturn]] void busy() const;

    std::string path_;
    int fd_ = -1;
    bool exclusive_ = false;
};

}  // namespace kq2741ctl
