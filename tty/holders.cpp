#include "tty/holders.hpp"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kq2741::tty {
namespace {

struct CloseDir {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, CloseDir>;

DirHandle open_dir(const std::string& path) {
    return DirHandle(opendir(path.c_str()));
}

bool is_pid(std::string_view name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// Linux numbers the slaves of /dev/ptmx from major 136 on, 256 to a major.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;
const dev_t kPtmx = makedev(5, 2);

// The pseudo-terminal index of a slave device, -1 for any other device.
long pty_index(dev_t rdev) {
    const unsigned m = major(rdev);
    if (m < kFirstPtySlaveMajor || m >= kFirstPtySlaveMajor + kPtySlaveMajors) return -1;
    return static_cast<long>((m - kFirstPtySlaveMajor) * 256 + minor(rdev));
}

// The index /proc gives for a master (ptmx) descriptor, -1 when it says none.
long master_index(const std::string& pid, const char* fd) {
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    for (std::string line; std::getline(info, line);)
        if (line.starts_with("tty-index:")) return std::strtol(line.c_str() + 10, nullptr, 10);
    return -1;
}

// Uses the device: has it open, and is not the pseudo-terminal's owner.
bool uses(const std::string& pid, dev_t tty) {
    const std::string fd_dir = "/proc/" + pid + "/fd";
    auto dir = open_dir(fd_dir);
    if (!dir) return false;
    const long index = pty_index(tty);
    bool holds = false;
    while (const dirent* e = readdir(dir.get())) {
        struct stat st{};
        // Relative to the open folder: kq2741ctl pays for this scan on every
        // run, and a path lookup per descriptor is a quarter of it.
        if (e->d_name[0] == '.' || fstatat(dirfd(dir.get()), e->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (st.st_rdev == tty) holds = true;
        if (index >= 0 && st.st_rdev == kPtmx && master_index(pid, e->d_name) == index) return false;
    }
    return holds;
}

}  // namespace

std::string other_holders(dev_t rdev) {
    auto proc = open_dir("/proc");
    if (!proc) return "";
    const std::string self = std::to_string(getpid());
    std::string found;
    while (const dirent* e = readdir(proc.get())) {
        const std::string pid = e->d_name;
        if (!is_pid(pid) || pid == self || !uses(pid, rdev)) continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
        found += (found.empty() ? "process " : ", process ") + pid + " (" + name + ")";
    }
    return found;
}

std::string other_holders(const std::string& path) {
    struct stat own{};
    if (stat(path.c_str(), &own) != 0 || !S_ISCHR(own.st_mode)) return "";
    return other_holders(own.st_rdev);
}

bool open_here_besides(dev_t rdev, int fd) {
    auto dir = open_dir("/proc/self/fd");
    if (!dir) return false;
    const int own = dirfd(dir.get());
    const long index = pty_index(rdev);
    bool holds = false;
    while (const dirent* e = readdir(dir.get())) {
        if (!is_pid(e->d_name)) continue;  // descriptor numbers are digits too
        const int other = std::atoi(e->d_name);
        struct stat st{};
        if (other == fd || other == own || fstat(other, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        if (st.st_rdev == rdev) holds = true;
        // The master side of this very pseudo-terminal: this program is the
        // line's far end (a scripted instrument in a test), not its user.
        if (index >= 0 && st.st_rdev == kPtmx && master_index("self", e->d_name) == index) return false;
    }
    return holds;
}

std::string busy_message(const std::string& path, const std::string& holders) {
    return path + " is held by another program" +
           (holders.empty() ? " (not one this user can see)" : ": " + holders) + "; wait for it to finish or stop it";
}

}  // namespace kq2741::tty
