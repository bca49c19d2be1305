#include "parked.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace kq2741::sim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

union Control {
    cmsghdr header;
    char space[CMSG_SPACE(sizeof(int))];
};

}  // namespace

Parked::Parked(int fd) {
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair_) != 0) {
        close(fd);
        fail("socketpair");
    }
    park(fd);
}

Parked::~Parked() {
    // Closing the receiving end closes the descriptor still in it.
    for (int end : pair_)
        if (end >= 0) close(end);
}

void Parked::park(int fd) {
    char byte = 0;
    iovec data{&byte, 1};
    Control control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    const ssize_t sent = sendmsg(pair_[0], &message, 0);
    const int err = errno;
    close(fd);  // in flight now, or lost
    errno = err;
    if (sent != 1) fail("parking a descriptor");
}

int Parked::take() {
    char byte = 0;
    iovec data{&byte, 1};
    Control control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    if (recvmsg(pair_[1], &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT) != 1) fail("taking a parked descriptor");
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_type != SCM_RIGHTS) {
        errno = EBADMSG;
        fail("taking a parked descriptor");
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

}  // namespace kq2741::sim
