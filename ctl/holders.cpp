#include "holders.hpp"

#include <dirent.h>
#include <fstream>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kq2741ctl {
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

bool holds(const std::string& pid, dev_t tty) {
    const std::string fd_dir = "/proc/" + pid + "/fd";
    auto dir = open_dir(fd_dir);
    if (!dir) return false;
    while (const dirent* e = readdir(dir.get())) {
        struct stat st{};
        if (stat((fd_dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == tty)
            return true;
    }
    return false;
}

}  // namespace

std::string holders_of(const std::string& tty_path) {
    struct stat own{};
    if (stat(tty_path.c_str(), &own) != 0 || !S_ISCHR(own.st_mode)) return "";
    auto proc = open_dir("/proc");
    if (!proc) return "";
    const std::string self = std::to_string(getpid());
    std::string found;
    while (const dirent* e = readdir(proc.get())) {
        const std::string pid = e->d_name;
        if (!is_pid(pid) || pid == self || !holds(pid, own.st_rdev)) continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
        found += (found.empty() ? "process " : ", process ") + pid + " (" + name + ")";
    }
    return found;
}

}  // namespace kq2741ctl
