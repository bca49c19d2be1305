// A serial port held exclusively from open to release, shared by kq2741ctl
// and the Python package. Opening changes nothing on the line until the
// claim holds: a port this process already has open is found before anything
// is opened; flock keeps out every program that asks first (kq2741ctl,
// pyserial's exclusive=True); TIOCEXCL makes the kernel refuse any later open
// but root's; a program that opened the port earlier and asked for nothing
// (pyserial by default, the kq2741 module) is found in /proc. Only then is
// the line set to raw 115200 8N1, and refusing never touched the holder's.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>

namespace kq2741::tty {

// Why a port could not be had.
struct OpenError {
    enum class Kind { Missing, NoPermission, Busy, NotATerminal, Failed };
    Kind kind;
    int error = 0;        // errno, 0 when none applies
    std::string doing;    // Failed: "cannot lock", "cannot set 115200 8N1 on", ...
    std::string holders;  // Busy: "process 12 (python3)", "" when none can be seen
    bool here = false;    // Busy: another descriptor of this very process has it

    // One line that says what is wrong with path: the busy message names
    // the holders; the others are "doing path: strerror".
    std::string message(const std::string& path) const;

    static OpenError of(Kind kind, int error) { return {kind, error, "", "", false}; }
    static OpenError failed(int error, std::string doing) { return {Kind::Failed, error, std::move(doing), "", false}; }
    static OpenError busy(int error, std::string holders, bool here) {
        return {Kind::Busy, error, "", std::move(holders), here};
    }
};

class Port {
public:
    // Opens path as described above. Empty, with why, when it cannot.
    static std::optional<Port> open(const std::string& path, OpenError& why);

    Port(Port&& other) noexcept;
    Port& operator=(Port&&) = delete;
    Port(const Port&) = delete;
    ~Port() { release(); }

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // The line settings as found, before ours: what release() puts back.
    const termios& found() const { return found_; }

    // Puts the line settings back as they were found, gives the claim up
    // and closes the port; again does nothing. In a process forked from the
    // one that opened it (whose descriptor it inherited) it only closes:
    // flock and TIOCEXCL belong to the opener, who still holds the port.
    void release() noexcept;

    // What release() gives back, for a signal handler that ends the process
    // while a port is held: async-signal-safe, and it leaves fd open.
    static void release_at_exit_signal(int fd, const termios& found) noexcept;

private:
    Port(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    bool claim(OpenError& why);
    bool set_line(OpenError& why);

    std::string path_;
    int fd_ = -1;
    termios found_{};
    bool found_known_ = false;
    bool locked_ = false;
    bool exclusive_ = false;
    pid_t opener_ = 0;
};

}  // namespace kq2741::tty
