#pragma once

#include <string>
#include <vector>

#include "settings/backup.h"

namespace settings {

// One command of a restore. Set commands are answered by the module and must be read as queries,
// or their answer would lead the next reply; selections and curves are not answered.
struct command {
    std::string text;
    bool answered;
};

// What a value of the file is to the editor: a whole number within the limits of its control, a
// gain (fixed point, sent with two decimals) or a velocity curve.
enum class value_kind { whole, gain, curve };

// One value of the file that differs from the module's, with the commands that set it.
struct change {
    std::string pad;
    std::string param;
    json from;  // the module's value; null when the module reported none
    json to;    // the file's value
    value_kind kind;
    std::vector<command> commands;
    // A gain goes as the nearest value with two decimals; rounded says that this is not exactly
    // the file's value.
    std::string sent_gain;
    bool rounded = false;
};

// One value of the file the editor could never send, with the reason in words.
struct skip {
    std::string pad;
    json param;  // null when a whole pad's entry is unusable
    json value;
    std::string why;
};

struct plan {
    std::vector<change> changes;
    std::vector<skip> skipped;
};

// Compares the settings of a file with the module's and lists, in the order they are to be sent,
// the commands that make the module hold the file's values: pads in the module's table order,
// each pad's values in the editor's order, a selection before each curve. Values equal to the
// module's (for a gain: equal at two decimals), absent pads and values, and members the editor
// does not know cause nothing.
plan make_plan(const json& file, const json& module);

// Whether the module's settings hold the value of the change now, by the same measure as
// make_plan.
bool holds(const json& module, const change& c);

json to_json(const change& c);
json to_json(const skip& s);

}  // namespace settings
