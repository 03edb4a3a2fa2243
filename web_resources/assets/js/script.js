// The main page: the pad editor. Every control writes through to the module at once; the page
// reads the settings of all pads from "/get_all" and shows those of the chosen pad.

// The number by which the module selects a pad. The hi-hat controller has none: its own
// requests name their targets ("fsrc", "fsrt").
const sensor_map = {
    kick: 0,
    snare: 1,
    hihat: 2,
    crash1: 4,
    tom1: 5,
    tom3: 6,
    ride: 7,
    tom2: 8,
    crash2: 9,
};

const sensorsSelect = document.getElementById("sensors-select");
// The chosen pad is kept in the page's address ("/#pad=snare"), so that the editor opens on it
// again when the drummer comes back from another page, or the page reloads.
const padInAddress = new URLSearchParams(location.hash.slice(1)).get("pad");
if ([...sensorsSelect.options].some((option) => option.value === padInAddress)) {
    sensorsSelect.value = padInAddress;
}
const defaultMode = document.getElementById("default-mode");
const hhcMode = document.getElementById("hhc-mode");
const midiNote = document.getElementById("midi-note");
const bezierCurve = document.getElementById("bezier-curve");
const gainSlider = document.querySelector('range-slider[name="gain"]');
const triggerThreshold = document.querySelector('range-slider[name="threshold"]');
const parameters = document.querySelector('time-bar-chart[name="parameters"]');
const hhcTimeout = document.querySelector('range-slider[name="hhc-timeout"]');
const hhcThreshold = document.querySelector('range-slider[name="hhc-threshold"]');
const hhcOffset = document.querySelector('range-slider[name="hhc-offset"]');
const hhcTrigThreshold = document.querySelector('range-slider[name="hhc_trig-threshold"]');
const aboutModal = document.getElementById("about-modal");
const saveModal = document.getElementById("save-modal");

let currentSensor = sensorsSelect.value;
let data = null;

// The pad whose values, read from the module, the controls show; null while they show none (at
// load, after another pad was chosen, while a read fails). The controls are disabled and marked
// unknown until then, and nothing is sent: no request ever carries a value that was neither read
// from the module nor set by the drummer.
let shownSensor = null;
const editor = document.querySelector("main");
const settingsStatus = document.getElementById("settings-status");
const readAgain = document.getElementById("read-again");

// A reply that misses the server's time-out answers "{}" (or lacks the pad): read again a few times.
const readAttempts = 3;
const readPause = 150;
let readGeneration = 0;

function valuesKnown() {
    return shownSensor !== null && shownSensor === currentSensor;
}

// "reading", "failed" or "known".
function showSettingsState(state) {
    const known = state === "known";
    editor.classList.toggle("unknown", !known);
    editor.inert = !known;
    editor.setAttribute("aria-busy", String(state === "reading"));
    settingsStatus.hidden = known;
    document.getElementById("settings-status-text").textContent =
        state === "failed" ? "Could not read the module's settings." : "Reading the module's settings…";
    readAgain.hidden = state !== "failed";
}

// Forgets what the controls show, and lets any read under way know it is no longer wanted.
function forgetShownValues() {
    shownSensor = null;
    readGeneration++;
    showSettingsState("reading");
}

function toggleModal(dialog) {
    if (dialog.hasAttribute("open")) {
        dialog.removeAttribute("open");
    } else {
        dialog.setAttribute("open", "");
    }
}

function toggleAboutModal() {
    toggleModal(aboutModal);
}

function toggleSaveModal() {
    toggleModal(saveModal);
}

async function saveSettings() {
    console.log("Save settings");
    await fetch("/save_params_all");
    toggleSaveModal();
}

function setMode(hhc) {
    if (hhc) {
        defaultMode.setAttribute("disabled", "");
        hhcMode.removeAttribute("disabled");
    } else {
        hhcMode.setAttribute("disabled", "");
        defaultMode.removeAttribute("disabled");
    }
}

function holdsValuesOf(answer, sensor) {
    const has = (name) => Object.prototype.hasOwnProperty.call(answer, name);
    return answer !== null && typeof answer === "object" && has(sensor) && (sensor !== "hhc" || has("hhc_trig"));
}

// Shows the settings of the chosen pad. Setting a widget by program sends nothing.
function updateSensorData() {
    const sensor = data[currentSensor];
    shownSensor = currentSensor;
    showSettingsState("known");
    if (currentSensor === "hhc") {
        setMode(true);
        hhcTimeout.threshold = sensor.timeout;
        hhcThreshold.threshold = sensor.threshold;
        hhcOffset.threshold = sensor.offset;
        hhcTrigThreshold.threshold = data.hhc_trig.threshold;
        return;
    }
    setMode(false);
    midiNote.value = sensor.note;
    bezierCurve.values = sensor.curve ? sensor.curve.p : undefined;
    gainSlider.threshold = fixedToFloat(sensor.gain, 16, 15);
    triggerThreshold.threshold = sensor.threshold;
    parameters.setThreshold(sensor.threshold);
    parameters.setData({
        scan: sensor.scan / 1000,
        mask: sensor.mask / 1000,
        decay: sensor.decay / 1000,
    });
}

// The settings of every pad, read again while an answer lacks what `wanted` asks of it; null when
// no attempt had it, undefined when `superseded` says that the read is no longer wanted.
async function readSettings(wanted, superseded = () => false) {
    for (let attempt = 1; attempt <= readAttempts; attempt++) {
        if (attempt > 1) {
            await new Promise((resolve) => setTimeout(resolve, readPause));
        }
        let answer = null;
        try {
            answer = await (await fetch("/get_all")).json();
        } catch (error) {
            console.log("error: " + error);
        }
        if (superseded()) {
            return undefined;
        }
        if (wanted(answer)) {
            return answer;
        }
    }
    return null;
}

// Reads the settings of every pad and shows the chosen one's; a newer read, or another pad chosen
// meanwhile, takes over. The page asks "/state" after its first read, which teaches the program
// how late the module answers, and after a read that failed: a module that answers late is read
// once more, as the program gives it its time from then on.
async function getConfig() {
    forgetShownValues();
    const generation = readGeneration;
    const wanted = (a) => holdsValuesOf(a, currentSensor);
    const superseded = () => generation !== readGeneration;
    let answer = await readSettings(wanted, superseded);
    if (answer === null || !stateAsked) {
        const state = loadState();
        if (answer === null) {
            const slow = typeof (await state)?.slow_ms === "number";
            answer = superseded() ? undefined : slow ? await readSettings(wanted, superseded) : null;
        }
    }
    if (answer) {
        data = answer;
        updateSensorData();
    } else if (answer === null) {
        showSettingsState("failed");
    }
}

readAgain.addEventListener("click", () => getConfig());

function setParam(sensor, param, value) {
    if (!valuesKnown()) {
        return Promise.resolve();
    }
    return fetch(`/set/${sensor}/${param}/${value}`);
}

sensorsSelect.addEventListener("change", async () => {
    currentSensor = sensorsSelect.value;
    history.replaceState(null, "", "#pad=" + currentSensor);
    forgetShownValues();
    await fetch(`/select/${sensor_map[currentSensor]}`);
    await getConfig();
});

midiNote.addEventListener("change", () => {
    if (currentSensor === "hhc") {
        return;
    }
    setParam(currentSensor, "note", Number(midiNote.value));
});

bezierCurve.addEventListener("curve", (event) => {
    if (currentSensor === "hhc" || !valuesKnown()) {
        return;
    }
    const p = event.detail.curve.map((point) => [Math.trunc(point[0]), Math.trunc(point[1])]);
    const form = new FormData();
    form.append("file", new Blob([JSON.stringify({ p })], { type: "application/json" }), "json_curve");
    // The server closes a connection after a second of quiet, and a post that crosses the close
    // is never read; the engine resends only requests that are safe to repeat. A curve is: its
    // second copy sets the same curve.
    const send = () => fetch("/curve", { method: "POST", body: form });
    send().catch(send);
});

gainSlider.addEventListener("gain", () => {
    if (currentSensor === "hhc") {
        return;
    }
    setParam(currentSensor, "gain", gainSlider.threshold.toFixed(2));
});

triggerThreshold.addEventListener("threshold", () => {
    if (currentSensor === "hhc") {
        return;
    }
    parameters.setThreshold(triggerThreshold.threshold);
    setParam(currentSensor, "threshold", Math.round(triggerThreshold.threshold));
});

parameters.addEventListener("parameters", async (event) => {
    if (currentSensor === "hhc") {
        return;
    }
    const sensor = currentSensor;
    await setParam(sensor, "scan", Math.round(event.detail.scan * 1000));
    await setParam(sensor, "mask", Math.round(event.detail.mask * 1000));
    await setParam(sensor, "decay", Math.round(event.detail.decay * 1000));
});

for (const [slider, target, param] of [
    [hhcTimeout, "fsrc", "timeout"],
    [hhcThreshold, "fsrc", "threshold"],
    [hhcOffset, "fsrc", "offset"],
    [hhcTrigThreshold, "fsrt", "threshold"],
]) {
    slider.addEventListener(slider.name, () => {
        if (currentSensor !== "hhc") {
            return;
        }
        setParam(target, param, Math.round(slider.threshold));
    });
}

// The server may still be starting when the window shows the page, so the first requests wait
// a moment. The noise logger is stopped before it is started so that exactly one runs.
setTimeout(async () => {
    try {
        await fetch(`/select/${sensor_map[currentSensor] ?? 0}`);
        await fetch("/stop_noise_logger");
        await fetch("/start_noise_logger");
    } catch (error) {
        console.log("error: " + error);
        return;
    }
    await getConfig();
}, 250);

// The noise history beside the threshold slider: the selected pad's noise readings of the last
// 30 seconds as a strip chart, with the threshold as a dashed line and the highest reading marked.
// The readings arrive about eight times a second; each one only asks for a redraw in the next
// animation frame, so a burst of them costs one drawing. Choosing another pad starts over. The
// readings come from the threshold slider, which events.js feeds with every one.
class NoiseHistory extends CanvasChart {
    static span = 30000;

    constructor(canvas, slider) {
        super(canvas);
        this.slider = slider;
        this.readings = []; // { t: milliseconds on the page's clock, v: reading }, oldest first
        // The slider updates its announced value on every move, by hand or by program.
        new MutationObserver(() => this.redraw()).observe(slider, { attributeFilter: ["aria-valuenow"] });
    }

    add(reading) {
        const now = performance.now();
        this.readings.push({ t: now, v: reading });
        while (this.readings[0].t < now - NoiseHistory.span) {
            this.readings.shift();
        }
        this.redraw();
    }

    clear() {
        this.readings = [];
        this.redraw();
    }

    draw() {
        const { readings } = this;
        const { g, width, height, style, colour } = this.begin();

        const threshold = this.slider.threshold;
        const highest = readings.reduce((best, r) => (best === null || r.v >= best.v ? r : best), null);
        // The scale leaves room above the threshold and the highest reading, whichever is higher.
        const top = Math.max(10, threshold, highest ? highest.v : 0) * 1.25;
        const y = (v) => height - (Math.max(0, v) / top) * height;
        const now = performance.now();
        const x = (t) => width - ((now - t) / NoiseHistory.span) * width;

        g.lineWidth = 1.5;
        g.strokeStyle = colour("--pico-primary");
        g.beginPath();
        readings.forEach((r, i) => (i ? g.lineTo(x(r.t), y(r.v)) : g.moveTo(x(r.t), y(r.v))));
        g.stroke();

        g.strokeStyle = colour("--pico-del-color");
        g.setLineDash([4, 3]);
        g.beginPath();
        g.moveTo(0, y(threshold));
        g.lineTo(width, y(threshold));
        g.stroke();
        g.setLineDash([]);

        if (highest) {
            g.fillStyle = colour("--pico-color");
            g.beginPath();
            g.arc(x(highest.t), y(highest.v), 3, 0, 2 * Math.PI);
            g.fill();
            g.font = `12px ${style.fontFamily}`;
            g.textAlign = x(highest.t) > width / 2 ? "right" : "left";
            g.fillText(`max ${highest.v}`, x(highest.t) + (g.textAlign === "left" ? 5 : -5), Math.max(12, y(highest.v) - 5));
        }
    }
}

const noiseHistory = new NoiseHistory(document.getElementById("noise-history"), triggerThreshold);
triggerThreshold.addEventListener("reading", (event) => noiseHistory.add(event.detail));
sensorsSelect.addEventListener("change", () => noiseHistory.clear());

// The automatic threshold: the user keeps the pad quiet for a few seconds, the page measures its
// noise from the readings it receives, and proposes the highest reading times a margin, rounded
// up. "Apply" moves the threshold slider there and sends it as a drag would; "Cancel" sends
// nothing. Too few readings (no module, or the noise logger stopped) give no proposal.
class AutoThreshold {
    static duration = 5000;
    static fewest = 10;

    constructor() {
        const $ = (id) => document.getElementById(id);
        this.dialog = $("auto-threshold-modal");
        this.progress = $("auto-threshold-progress");
        this.result = $("auto-threshold-result");
        this.tooFew = $("auto-threshold-too-few");
        this.margin = $("auto-threshold-margin");
        this.marginShown = $("auto-threshold-margin-value");
        this.apply = $("auto-threshold-apply");
        this.opener = $("auto-threshold");
        this.samples = [];
        this.measuring = false;
        this.highest = null;
        this.proposal = null;
        this.timer = null;
        this.opener.addEventListener("click", () => this.start());
        $("auto-threshold-cancel").addEventListener("click", () => this.close());
        this.apply.addEventListener("click", () => this.applyProposal());
        this.margin.addEventListener("input", () => this.propose());
        triggerThreshold.addEventListener("reading", (event) => this.measuring && this.samples.push(event.detail));
    }

    start() {
        this.samples = [];
        this.highest = null;
        this.proposal = null;
        this.result.hidden = true;
        this.tooFew.hidden = true;
        this.progress.value = 0;
        this.apply.setAttribute("aria-disabled", "true");
        this.propose();
        this.dialog.setAttribute("open", "");
        document.getElementById("auto-threshold-cancel").focus();
        const begun = performance.now();
        this.measuring = true;
        this.timer = setInterval(() => {
            const elapsed = performance.now() - begun;
            this.progress.value = Math.min(100, (elapsed / AutoThreshold.duration) * 100);
            if (elapsed >= AutoThreshold.duration) {
                this.finish();
            }
        }, 100);
    }

    finish() {
        clearInterval(this.timer);
        this.measuring = false;
        const n = this.samples.length;
        if (n < AutoThreshold.fewest) {
            this.tooFew.textContent = `Only ${n} noise readings arrived in 5 seconds, too few to propose a threshold. ` +
                "Is the module connected?";
            this.tooFew.hidden = false;
            return;
        }
        const sorted = [...this.samples].sort((a, b) => a - b);
        this.highest = sorted[n - 1];
        document.getElementById("auto-threshold-highest").textContent = String(this.highest);
        // The 95th percentile by nearest rank: the smallest reading that 95 % of them do not exceed.
        document.getElementById("auto-threshold-typical").textContent = String(sorted[Math.ceil(0.95 * n) - 1]);
        this.result.hidden = false;
        this.propose();
    }

    // The margin is taken in hundredths, so that 10 x 1.2 is 12 and not a hair above it.
    propose() {
        const hundredths = Math.round(Number(this.margin.value) * 100);
        this.marginShown.textContent = `×${(hundredths / 100).toFixed(1)}`;
        if (this.highest === null) {
            return;
        }
        const slider = triggerThreshold;
        this.proposal = Math.min(slider.max, Math.max(slider.min, Math.ceil((this.highest * hundredths) / 100)));
        document.getElementById("auto-threshold-proposal").textContent = String(this.proposal);
        this.apply.removeAttribute("aria-disabled");
    }

    applyProposal() {
        if (this.proposal === null || this.measuring || !valuesKnown()) {
            return;
        }
        triggerThreshold.threshold = this.proposal;
        triggerThreshold.dispatchChange();
        this.close();
    }

    close() {
        clearInterval(this.timer);
        this.measuring = false;
        this.dialog.removeAttribute("open");
        this.opener.focus();
    }
}

const autoThreshold = new AutoThreshold();
