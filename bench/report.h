#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bench/stats.h"

namespace bench {

// One line of the result: a figure (named as the JSON key), which statistic of it (p50, p99,
// attached, ...), its runs, and the limit that bounds it. The ratio is always measured / limit,
// so for times 1.0 is the floor and more is slower, and for rates 1.0 is the ceiling.
struct row {
    std::string figure;
    std::string stat;
    std::string unit;
    summary value;
    double limit = 0;  // 0: no limit known
    std::string note;  // shown after the table when not empty
};

class report {
  public:
    void add(row r) { rows_.push_back(std::move(r)); }
    // What the limits of a figure are made of, in one sentence, for the JSON and the table.
    void explain(const std::string& figure, std::string basis);
    // A fact about the conditions of the run (reply delay, loopback time, ...).
    void condition(const std::string& name, double value);
    void condition(const std::string& name, const std::string& value);

    std::string table() const;
    std::string json() const;

  private:
    std::vector<row> rows_;
    std::vector<std::pair<std::string, std::string>> bases_;
    std::vector<std::pair<std::string, std::string>> conditions_;  // values already JSON
};

}  // namespace bench
