// A descriptor kept open out of sight: sent into a socket pair of our own and
// left unreceived, it is in no process's descriptor table, so neither lsof
// nor /proc lists it, yet the kernel keeps its file open.
#pragma once

namespace kq2741::sim {

class Parked {
public:
    // Takes fd over (it is closed here). Throws std::system_error.
    explicit Parked(int fd);
    ~Parked();
    Parked(const Parked&) = delete;
    Parked& operator=(const Parked&) = delete;

    // Calls use(fd) with the descriptor taken out for the call, then parks it
    // again. Throws std::system_error when it cannot be taken or put back.
    template <class Use>
    void use(Use&& use) {
        const int fd = take();
        use(fd);
        park(fd);
    }

private:
    int take();
    void park(int fd);

    int pair_[2] = {-1, -1};
};

}  // namespace kq2741::sim
