#include "bench/report.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace bench {

namespace {

std::string number(double v) {
    char buf[64];
    // Four significant digits, but never an exponent for the large counts (rps, bytes).
    std::snprintf(buf, sizeof buf, std::fabs(v) >= 1e4 ? "%.0f" : "%.4g", v);
    return buf;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string column(const std::string& s, std::size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

std::string right(const std::string& s, std::size_t width) {
    return s.size() >= width ? " " + s : std::string(width - s.size(), ' ') + s;
}

}  // namespace

void report::explain(const std::string& figure, std::string basis) {
    bases_.emplace_back(figure, std::move(basis));
}

void report::condition(const std::string& name, double value) {
    conditions_.emplace_back(name, number(value));
}

void report::condition(const std::string& name, const std::string& value) {
    conditions_.emplace_back(name, quoted(value));
}

std::string report::table() const {
    std::ostringstream out;
    out << column("figure", 22) << column("stat", 16) << right("median", 10)
        << right("min..max", 22) << right("runs", 6) << right("limit", 10) << right("ratio", 8)
        << "\n";
    out << std::string(94, '-') << "\n";
    for (const row& r : rows_) {
        out << column(r.figure, 22) << column(r.stat, 16) << right(number(r.value.median), 10)
            << right(number(r.value.min) + ".." + number(r.value.max), 22)
            << right(std::to_string(r.value.runs.size()), 6)
            << right(r.limit > 0 ? number(r.limit) : "-", 10)
            << right(r.limit > 0 ? number(r.value.median / r.limit) : "-", 8) << "\n";
    }
    out << "\nratio = median / limit. Units: ";
    std::map<std::string, std::string> units;
    for (const row& r : rows_) {
        units.emplace(r.figure, r.unit);
    }
    bool first = true;
    for (const auto& [figure, unit] : units) {
        out << (first ? "" : ", ") << figure << " " << unit;
        first = false;
    }
    out << ".\n";
    for (const auto& [figure, basis] : bases_) {
        out << "  " << figure << ": " << basis << "\n";
    }
    for (const row& r : rows_) {
        if (!r.note.empty()) {
            out << "  note, " << r.figure << " " << r.stat << ": " << r.note << "\n";
        }
    }
    return out.str();
}

std::string report::json() const {
    std::ostringstream out;
    out << "{\n  \"conditions\": {";
    for (std::size_t i = 0; i < conditions_.size(); ++i) {
        out << (i ? ",\n" : "\n") << "    " << quoted(conditions_[i].first) << ": "
            << conditions_[i].second;
    }
    out << "\n  },\n  \"figures\": {";
    // Rows of one figure are adjacent by construction; group them under the figure's key.
    std::vector<std::string> order;
    std::map<std::string, std::vector<const row*>> by_figure;
    for (const row& r : rows_) {
        if (!by_figure.count(r.figure)) {
            order.push_back(r.figure);
        }
        by_figure[r.figure].push_back(&r);
    }
    std::map<std::string, std::string> basis(bases_.begin(), bases_.end());
    for (std::size_t f = 0; f < order.size(); ++f) {
        const auto& rows = by_figure[order[f]];
        out << (f ? ",\n" : "\n") << "    " << quoted(order[f]) << ": {\n";
        out << "      \"unit\": " << quoted(rows.front()->unit) << ",\n";
        if (basis.count(order[f])) {
            out << "      \"limit_basis\": " << quoted(basis[order[f]]) << ",\n";
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const row& r = *rows[i];
            out << "      " << quoted(r.stat) << ": {\"median\": " << number(r.value.median)
                << ", \"min\": " << number(r.value.min) << ", \"max\": " << number(r.value.max)
                << ", \"runs\": [";
            for (std::size_t k = 0; k < r.value.runs.size(); ++k) {
                out << (k ? ", " : "") << number(r.value.runs[k]);
            }
            out << "]";
            if (r.limit > 0) {
                out << ", \"limit\": " << number(r.limit)
                    << ", \"ratio\": " << number(r.value.median / r.limit);
            } else {
                out << ", \"limit\": null, \"ratio\": null";
            }
            if (!r.note.empty()) {
                out << ", \"note\": " << quoted(r.note);
            }
            out << "}" << (i + 1 < rows.size() ? ",\n" : "\n");
        }
        out << "    }";
    }
    out << "\n  }\n}\n";
    return out.str();
}

}  // namespace bench
