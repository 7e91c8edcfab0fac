// housectl against the wire-time limit: the simulated controller sends at
// 9600 baud (10 bits a byte) and counts the bytes each way. A full-duplex
// line cannot carry them faster than the busier direction allows, so
//   bound = max(bytes to the controller, bytes from it) x 10 / 9600 s
// and a run's ratio is its wall time (from its exec to its exit) over that
// bound.
//
//   housectl_bench [runs per option, default 5]

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

static const double byte_time_s = 10.0 / 9600;

struct figures {
    double wall_s, bound_s, cpu_s;
    long rss_kib;
    uint64_t in, out;
};

static figures run_once(const std::string &housectl, const std::vector<std::string> &args)
{
    controller_state state = controller_defaults();
    sim_faults paced;
    paced.paced = true;
    std::vector<std::string> argv{ housectl };
    argv.insert(argv.end(), args.begin(), args.end());
    sim_result r = sim_run(state, paced, argv);
    if (r.status != 0) {
        fprintf(stderr, "housectl_bench: %s failed (%d): %s\n", args[0].c_str(), r.status,
                r.err.c_str());
        exit(1);
    }
    figures f;
    f.wall_s = r.exec_seconds;
    f.in = r.bytes_in;
    f.out = r.bytes_out;
    f.bound_s = (double)std::max(r.bytes_in, r.bytes_out) * byte_time_s;
    f.cpu_s = (double)(r.usage.ru_utime.tv_sec + r.usage.ru_stime.tv_sec) +
              (double)(r.usage.ru_utime.tv_usec + r.usage.ru_stime.tv_usec) / 1e6;
    f.rss_kib = r.usage.ru_maxrss;
    return f;
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    const std::string housectl = HOUSECTL_PATH;
    const std::vector<std::vector<std::string>> cases = {
        { "-a" }, { "-l" }, { "-t" }, { "-lpower=40" },
    };

    printf("housectl at 9600 baud, median of %d runs\n", runs);
    printf("%-12s %9s %9s %10s %10s %7s %9s %9s\n", "option", "to ctrl", "from ctrl",
           "bound ms", "wall ms", "ratio", "cpu ms", "rss KiB");
    for (const auto &args : cases) {
        std::vector<figures> all;
        for (int i = 0; i < runs; i++)
            all.push_back(run_once(housectl, args));
        std::sort(all.begin(), all.end(),
                  [](const figures &a, const figures &b) { return a.wall_s < b.wall_s; });
        const figures &m = all[all.size() / 2];
        printf("%-12s %9llu %9llu %10.1f %10.1f %7.3f %9.2f %9ld\n", args[0].c_str(),
               (unsigned long long)m.in, (unsigned long long)m.out, m.bound_s * 1e3,
               m.wall_s * 1e3, m.wall_s / m.bound_s, m.cpu_s * 1e3, m.rss_kib);
    }
    return 0;
}
