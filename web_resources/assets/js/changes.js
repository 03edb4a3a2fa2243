// How a change of the module's settings is shown before it is made, and the request that makes
// it: shared by the settings page's restore and the main page's kit check, which both preview
// with a restore request first and apply with the same request and "apply" = "1".

const padNames = {
    kick: "Kick",
    snare: "Snare",
    ride: "Ride",
    crash1: "Crash 1",
    crash2: "Crash 2",
    tom1: "Tom 1",
    tom2: "Tom 2",
    tom3: "Tom 3",
    hihat: "Hi-hat",
    hhc: "Hi-hat Controller",
    hhc_trig: "Hi-hat Controller trigger",
};

const padName = (pad) => padNames[pad] || String(pad);

// Values as the main page shows them: gains as decimals, times in milliseconds, curves as points.
function formatValue(param, value) {
    if (value === null || value === undefined) {
        return "none";
    }
    if (param === "gain" && Number.isInteger(value)) {
        return fixedToFloat(value, 16, 15);
    }
    if (["scan", "mask", "decay"].includes(param) && typeof value === "number") {
        return value / 1000 + " ms";
    }
    if (value && Array.isArray(value.p)) {
        return value.p.map((point) => "(" + point.join(", ") + ")").join(" ");
    }
    return typeof value === "object" && value !== null ? JSON.stringify(value) : String(value);
}

function listItems(items, describe) {
    const list = document.createElement("ul");
    for (const item of items) {
        const entry = document.createElement("li");
        entry.textContent = describe(item);
        list.append(entry);
    }
    return list;
}

// One heading and one list per pad, in the order in which the pads first appear.
function groupedByPad(items, describe) {
    const groups = new Map();
    for (const item of items) {
        groups.set(item.pad, [...(groups.get(item.pad) || []), item]);
    }
    const nodes = [];
    for (const [pad, group] of groups) {
        const heading = document.createElement("h3");
        heading.textContent = padName(pad);
        nodes.push(heading, listItems(group, describe));
    }
    return nodes;
}

// A gain goes to the module with two decimals ("sent"); a file's gain between two such steps is
// rounded, and the line says so with the file's own value.
function describeChange(change) {
    const to = change.sent !== undefined ? change.sent : formatValue(change.param, change.to);
    const text = `${padName(change.pad)} ${change.param} ${formatValue(change.param, change.from)} → ${to}`;
    return change.rounded
        ? `${text} (rounded from ${(change.to / 32768).toFixed(4)}: the module takes gains in steps of 0.01)`
        : text;
}

// A skipped entry names no parameter when a whole pad's entry is unusable.
function describeSkipped(item) {
    const param = item.param === null ? "" : " " + item.param;
    return `${padName(item.pad)}${param} ${formatValue(item.param, item.value)}: ${item.why}`;
}

// Posts a restore form and returns its answer's JSON, or throws an error whose message is the
// sentence to show: the server's own, or one for an answer without it.
async function postRestore(form) {
    let response;
    try {
        response = await fetch("/restore", { method: "POST", body: form });
    } catch (error) {
        throw new Error("The request failed: " + error.message);
    }
    let answer = null;
    try {
        answer = await response.json();
    } catch (error) {
        answer = null;
    }
    if (answer && answer.type === "error") {
        throw new Error(String(answer.error));
    }
    if (!response.ok || !answer) {
        throw new Error(`The restore failed (HTTP ${response.status}).`);
    }
    return answer;
}
