// "Check my kit": the drummer plays for a while, the page collects the module's hits from the
// event stream, and the program says which pads double-trigger, hear other pads, clip or never get
// loud, each with one proposed change. The accepted changes go to the module as a restore of a
// settings file that holds just them: previewed first, sent only on "Apply", checked against the
// editor's limits and read back by the program.

const kitCheck = {
    least_seconds: 20,
    least_hits: 30,
    most_seconds: 120,
    stage: "closed",
    hits: [],
    started: 0,
    timer: null,
    findings: [],
    form: null,
};

const kitElement = (name) => document.getElementById("kit-check-" + name);

// The button belongs in the hits panel's header.
function placeKitCheckButton() {
    const button = document.createElement("button");
    button.id = "kit-check-open";
    button.className = "secondary outline";
    button.textContent = "Check my kit";
    button.addEventListener("click", startKitCheck);
    document.getElementById("kit-check-slot").append(button);
}

// Shows the parts and buttons of one stage: playing, checking, findings, review, applying, done.
function setKitCheckStage(stage) {
    kitCheck.stage = stage;
    const shown = {
        play: ["playing", "checking"],
        findings: ["findings"],
        review: ["review", "applying", "done"],
        cancel: ["playing", "checking", "findings", "review", "done"],
        done: ["playing", "checking"],
        again: ["findings", "done"],
        "review-button": ["findings"],
        back: ["review"],
        apply: ["review", "applying"],
        progress: ["applying"],
    };
    for (const [name, stages] of Object.entries(shown)) {
        kitElement(name).hidden = !stages.includes(stage);
    }
    kitElement("cancel").textContent = ["playing", "checking"].includes(stage) ? "Cancel" : "Close";
    kitElement("done").setAttribute("aria-busy", String(stage === "checking"));
    if (stage === "checking") {
        kitElement("done").disabled = true;
    }
    kitElement("apply").disabled = stage !== "review" || kitCheck.form === null;
    setOpen("kit-check-modal", stage !== "closed");
}

function startKitCheck() {
    kitCheck.hits = [];
    kitCheck.findings = [];
    kitCheck.form = null;
    kitCheck.started = performance.now();
    clearInterval(kitCheck.timer);
    kitCheck.timer = setInterval(showKitCheckRound, 250);
    kitElement("message").textContent = "";
    // Without a MIDI input no hit can arrive: said at once, with the way to choose one.
    showMidiState(kitElement("midi"), hitsPanel?.midi);
    setKitCheckStage("playing");
    showKitCheckRound();
    kitElement("cancel").focus();
}

function closeKitCheck() {
    clearInterval(kitCheck.timer);
    setKitCheckStage("closed");
    document.getElementById("kit-check-open")?.focus();
}

// The time played, the hits per pad in the kit's order, and whether "Done" may be pressed yet.
function showKitCheckRound() {
    if (kitCheck.stage !== "playing") {
        return;
    }
    const seconds = Math.floor((performance.now() - kitCheck.started) / 1000);
    if (seconds >= kitCheck.most_seconds) {
        finishKitCheck();
        return;
    }
    const count = kitCheck.hits.length;
    kitElement("time").value = seconds;
    kitElement("status").textContent = `${seconds} s played, ${count} hit${count === 1 ? "" : "s"}.`;
    const perPad = new Map();
    for (const hit of kitCheck.hits) {
        const name = hit.pad === null ? "Other notes" : padName(hit.pad);
        perPad.set(name, (perPad.get(name) || 0) + 1);
    }
    const order = [...Object.keys(padNames).map(padName), "Other notes"];
    const names = [...perPad.keys()].sort((a, b) => order.indexOf(a) - order.indexOf(b));
    kitElement("counts").replaceChildren(...names.map((name) => {
        const row = document.createElement("li");
        row.textContent = `${name}: ${perPad.get(name)}`;
        return row;
    }));
    const ready = seconds >= kitCheck.least_seconds && count >= kitCheck.least_hits;
    if (ready && kitElement("done").disabled) {
        kitElement("ready").textContent = "Press Done when you have played every pad.";
    }
    kitElement("done").disabled = !ready;
}

function collectKitCheckHit(message) {
    if (kitCheck.stage === "playing" && message.event === "hit") {
        kitCheck.hits.push({ pad: message.pad ?? null, note: message.note, velocity: message.velocity, t: message.t });
    } else if (message.event === "midi") {
        showMidiState(kitElement("midi"), message);
    }
}

// "12–29" for a span of evidence, "12" when both ends agree.
function kitSpan([low, high]) {
    const text = (value) => String(Math.round(value));
    return text(low) === text(high) ? text(low) : `${text(low)}–${text(high)}`;
}

function describeFinding(finding) {
    const pad = padName(finding.pad);
    const e = finding.evidence;
    const times = (n) => `${n} time${n === 1 ? "" : "s"}`;
    switch (finding.kind) {
        case "double_trigger":
            return `${pad} double-triggers: ${times(e.count)} a second note came ${kitSpan(e.gap_ms)} ms after a stroke, ` +
                `at most half as loud (velocities ${kitSpan(e.echoes)} after ${kitSpan(e.strokes)}).` +
                (finding.change?.param === "decay" ? " The mask already covers these notes or is at its longest, so the decay is to hold them down." : "");
        case "crosstalk":
            return `${pad} sounds from the ${padName(e.from).toLowerCase()}: ${times(e.count)} a note came ${kitSpan(e.gap_ms)} ms after ` +
                `a stroke there, at most 30% as loud (velocities ${kitSpan(e.echoes)} after ${kitSpan(e.strokes)}).`;
        case "clipping":
            return `${pad} clips: ${e.count} of its ${e.of} strokes (${Math.round((100 * e.count) / e.of)}%) came out at 127, the loudest a note can be.`;
        default:
            return `${pad} never gets loud: the loudest of its ${e.of} strokes came out at ${e.loudest}. ` +
                "This assumes that you played some hard strokes on it.";
    }
}

function findingItem(finding, index) {
    const item = document.createElement("li");
    const text = document.createElement("span");
    text.textContent = describeFinding(finding);
    if (!finding.change) {
        const none = document.createElement("small");
        none.textContent = " Its setting is at the end of its range already: there is nothing to propose.";
        item.append(text, none);
        return item;
    }
    const label = document.createElement("label");
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = true;
    box.dataset.finding = String(index);
    box.addEventListener("change", showKitCheckChoice);
    const proposal = document.createElement("strong");
    proposal.textContent = " Proposed: " + describeChange(finding.change) + ".";
    label.append(box, text, proposal);
    // Crosstalk differs from stroke to stroke: one round cannot tell how much higher is enough.
    if (finding.kind === "crosstalk") {
        label.append(" A second check will show whether this was enough.");
    }
    item.append(label);
    return item;
}

function showKitCheckChoice() {
    const chosen = kitElement("list").querySelectorAll("input:checked").length;
    kitElement("review-button").disabled = chosen === 0;
}

function showKitCheckFindings(answer) {
    kitCheck.findings = answer.findings || [];
    const count = answer.hits;
    kitElement("summary").textContent = !answer.enough
        ? `Too few hits to judge: ${count} of at least ${answer.least_hits}.`
        : kitCheck.findings.length === 0
            ? `No double triggers, crosstalk or clipping found in ${count} hits.`
            : `Found in ${count} hits:`;
    kitElement("list").replaceChildren(...kitCheck.findings.map(findingItem));
    setKitCheckStage("findings");
    showKitCheckChoice();
    (kitElement("review-button").disabled ? kitElement("again") : kitElement("review-button")).focus();
}

async function finishKitCheck() {
    clearInterval(kitCheck.timer);
    setKitCheckStage("checking");
    kitElement("message").textContent = "";
    try {
        const response = await fetch("/kit_check", {
            method: "POST",
            headers: { "Content-Type": "application/json" },
            body: JSON.stringify({ hits: kitCheck.hits }),
        });
        const answer = await response.json();
        // Closed meanwhile: the answer is for nobody.
        if (kitCheck.stage !== "checking") {
            return;
        }
        if (answer.type === "error") {
            throw new Error(String(answer.error));
        }
        showKitCheckFindings(answer);
    } catch (error) {
        if (kitCheck.stage !== "checking") {
            return;
        }
        kitElement("message").textContent = "The check failed: " + error.message;
        kitElement("summary").textContent = "";
        kitElement("list").replaceChildren();
        setKitCheckStage("findings");
        kitElement("review-button").disabled = true;
    }
}

// The chosen proposals as a settings file holding only them: the restore changes these values and
// leaves every other one as the module holds it.
function kitCheckForm() {
    const settings = {};
    for (const box of kitElement("list").querySelectorAll("input:checked")) {
        const change = kitCheck.findings[Number(box.dataset.finding)].change;
        settings[change.pad] = { ...settings[change.pad], [change.param]: change.to };
    }
    const file = JSON.stringify({ format: "korvaline-settings", version: 1, settings });
    const form = new FormData();
    form.append("file", new Blob([file], { type: "application/json" }), "kit-check.json");
    return form;
}

async function reviewKitCheck() {
    kitCheck.form = null;
    const form = kitCheckForm();
    kitElement("result").replaceChildren();
    kitElement("changes").replaceChildren();
    kitElement("skipped").replaceChildren();
    kitElement("skipped-part").hidden = true;
    setKitCheckStage("review");
    try {
        const preview = await postRestore(form);
        const changes = preview.changes || [];
        const skipped = preview.skipped || [];
        kitElement("review-summary").textContent = changes.length > 0
            ? "These values will change:"
            : "The module already holds these values.";
        kitElement("changes").replaceChildren(...groupedByPad(changes, describeChange));
        kitElement("skipped").replaceChildren(listItems(skipped, describeSkipped));
        kitElement("skipped-part").hidden = skipped.length === 0;
        kitCheck.form = changes.length > 0 ? form : null;
    } catch (error) {
        kitElement("review-summary").textContent = error.message;
    }
    if (kitCheck.stage !== "review") {
        return;
    }
    setKitCheckStage("review");
    (kitElement("apply").disabled ? kitElement("back") : kitElement("apply")).focus();
}

async function applyKitCheck() {
    const form = new FormData();
    for (const [key, value] of kitCheck.form) {
        form.append(key, value);
    }
    form.append("apply", "1");
    setKitCheckStage("applying");
    const result = kitElement("result");
    try {
        const answer = await postRestore(form);
        const applied = (answer.applied || []).length;
        const failed = answer.failed || [];
        kitElement("review-summary").textContent = "Sent to the module:";
        const summary = document.createElement("p");
        summary.textContent = `Changed ${applied} value${applied === 1 ? "" : "s"}.` +
            (failed.length > 0 ? " These could not be set:" : " Check again to see what they did.");
        result.replaceChildren(summary, ...(failed.length > 0 ? [listItems(failed, describeChange)] : []));
    } catch (error) {
        const line = document.createElement("p");
        line.textContent = error.message;
        result.replaceChildren(line);
    }
    kitCheck.form = null;
    setKitCheckStage("done");
    kitElement("again").focus();
    // The editor shows the chosen pad's values, which may be among those just changed.
    if (typeof getConfig === "function") {
        getConfig();
    }
}

ev.addEventListener("message", (e) => {
    try {
        collectKitCheckHit(JSON.parse(e.data));
    } catch (error) {
        console.log("kit check event error: " + error);
    }
});
kitElement("done").addEventListener("click", finishKitCheck);
kitElement("cancel").addEventListener("click", closeKitCheck);
kitElement("again").addEventListener("click", startKitCheck);
kitElement("review-button").addEventListener("click", reviewKitCheck);
kitElement("back").addEventListener("click", () => setKitCheckStage("findings"));
kitElement("apply").addEventListener("click", applyKitCheck);
placeKitCheckButton();
