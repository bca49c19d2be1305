// kq2741ctl: the KQ2741 attenuator from the shell, one exchange at a time,
// each returning as soon as its answer frame is complete.
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <string>

#include "cleanup.hpp"
#include "failure.hpp"
#include "invocation.hpp"
#include "output.hpp"
#include "run.hpp"
#include "session.hpp"
#include "sim_process.hpp"
#include "streams.hpp"
#include "trace.hpp"

#ifndef KQ2741_VERSION
#define KQ2741_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace kq2741::ctl;
    if (!streams::keep_standard_descriptors()) return static_cast<int>(Exit::Local);
    try {
        const Invocation inv = parse_invocation(argc, argv);
        if (inv.help || inv.version) {
            std::fputs(inv.help ? usage().c_str() : "kq2741ctl " KQ2741_VERSION "\n", stdout);
            streams::check_stdout();
            return 0;
        }
        cleanup::install();
        const Trace trace(inv.verbose);
        // Declared before the port, so the simulator outlives our use of its port.
        std::optional<SimProcess> sim;
        if (inv.sim) sim.emplace(trace);
        const kq2741::tty::Port port = open_port(inv.sim ? sim->port() : inv.port);
        // Before the port is released, the signal handler forgets it.
        const struct Unwatch {
            ~Unwatch() { cleanup::unwatch_port(); }
        } unwatch;
        Session session(port, inv.timeout, inv.lenient, trace);
        const Output out(inv.json);
        if (inv.command.verb == Verb::Batch) {
            run_batch(std::cin, session, out);
            streams::check_stdin();
        } else {
            run(inv.command, session, out);
        }
        if (inv.verbose && std::ferror(stderr)) return static_cast<int>(Exit::Local);
        return 0;
    } catch (const Failure& f) {
        streams::report(f.what());
        return static_cast<int>(f.status);
    } catch (const std::bad_alloc&) {
        streams::report("out of memory");
        return static_cast<int>(Exit::Local);
    } catch (const std::exception& e) {
        // Not the instrument's doing (1 would say so): a fault of our own.
        streams::report((std::string("internal error: ") + e.what()).c_str());
        return static_cast<int>(Exit::Local);
    }
}
