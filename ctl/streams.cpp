#include "streams.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "failure.hpp"

namespace kq2741::ctl::streams {

bool keep_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is fd: the ones below are open.
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (null == fd) continue;
        if (null >= 0) close(null);
        return false;
    }
    return true;
}

void check_stdout() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    const int err = errno;
    throw Failure(Exit::Local, std::string("cannot write to stdout: ") + std::strerror(err));
}

void check_stdin() {
    if (!std::ferror(stdin)) return;
    const int err = errno;
    throw Failure(Exit::Local, std::string("cannot read stdin: ") + std::strerror(err));
}

void report(const char* message) {
    std::string line = "kq2741ctl: ";
    for (const char* c = message; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '\n') line += "\\n";
        else if (byte == '\t') line += "\\t";
        else if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += *c;
        }
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

}  // namespace kq2741::ctl::streams
