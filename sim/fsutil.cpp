#include "fsutil.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kq2741::sim {
namespace {

std::string temp_name(const std::string& path) {
    return path + ".tmp." + std::to_string(getpid());
}

}  // namespace

bool write_file_atomic(const std::string& path, const std::string& content) {
    const std::string tmp = temp_name(path);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = close(fd) == 0 && done == content.size();
    if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

bool replace_symlink(const std::string& path, const std::string& target, std::string& error) {
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = path + " exists and is not a symlink";
        return false;
    }
    const std::string tmp = temp_name(path);
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void remove_symlink_to(const std::string& path, const std::string& target) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    if (std::string(buf, static_cast<std::size_t>(n)) == target) unlink(path.c_str());
}

}  // namespace kq2741::sim
