// kq2741ctl: the KQ2741 attenuator from the shell, one exchange at a time,
// each returning as soon as its answer frame is complete.
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include "cleanup.hpp"
#include "failure.hpp"
#include "invocation.hpp"
#include "link.hpp"
#include "output.hpp"
#include "port.hpp"
#include "run.hpp"
#include "sim_process.hpp"
#include "trace.hpp"

#ifndef KQ2741_VERSION
#define KQ2741_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace kq2741ctl;
    try {
        const Invocation inv = parse_invocation(argc, argv);
        if (inv.help) {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        if (inv.version) {
            std::puts("kq2741ctl " KQ2741_VERSION);
            return 0;
        }
        cleanup::install();
        const Trace trace(inv.verbose);
        // Declared before the port, so the simulator outlives our use of its port.
        std::optional<SimProcess> sim;
        if (inv.sim) sim.emplace(trace);
        Port port(inv.sim ? sim->port() : inv.port);
        Link link(port, {inv.timeout, inv.lenient}, trace);
        const Output out(inv.json);
        if (inv.command.verb == Verb::Batch) run_batch(std::cin, link, out);
        else run(inv.command, link, out);
        return 0;
    } catch (const Failure& f) {
        std::fprintf(stderr, "kq2741ctl: %s\n", f.what());
        return static_cast<int>(f.status);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kq2741ctl: %s\n", e.what());
        return static_cast<int>(Exit::Answer);
    }
}
