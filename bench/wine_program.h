#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

// Where the Windows program and the Wine prefix to run it in are; empty when not measured.
struct wine_setup {
    std::string exe;       // build-windows/korvaline.exe
    std::string prefix;    // its tree's prefix
    std::string wine_run;  // scripts/wine-run
};

// The Windows program under Wine, serving the simulated module through COM5: the time from the
// start of wine to the first answered "/" of each run, and the round trips of /set requests.
struct wine_figures {
    std::vector<double> start_ms;
    std::vector<double> set_ms;
    std::string failure;  // why nothing was measured
};

wine_figures measure_wine(const wine_setup& setup, int runs, int set_samples);

}  // namespace bench
