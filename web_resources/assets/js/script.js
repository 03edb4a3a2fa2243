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

// Shows the settings of the chosen pad. Setting a widget by program sends nothing.
function updateSensorData() {
    if (!data || !Object.prototype.hasOwnProperty.call(data, currentSensor)) {
        return;
    }
    const sensor = data[currentSensor];
    if (currentSensor === "hhc") {
        setMode(true);
        // Read first, so that an answer without "hhc_trig" moves no slider at all.
        const trigThreshold = data.hhc_trig.threshold;
        hhcTimeout.threshold = sensor.timeout;
        hhcThreshold.threshold = sensor.threshold;
        hhcOffset.threshold = sensor.offset;
        hhcTrigThreshold.threshold = trigThreshold;
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

async function getConfig() {
    try {
        const response = await fetch("/get_all");
        data = JSON.parse(await response.text());
        updateSensorData();
    } catch (error) {
        console.log("error: " + error);
    }
}

function setParam(sensor, param, value) {
    return fetch(`/set/${sensor}/${param}/${value}`);
}

sensorsSelect.addEventListener("change", async () => {
    currentSensor = sensorsSelect.value;
    await fetch(`/select/${sensor_map[currentSensor]}`);
    console.log(currentSensor);
    await getConfig();
});

midiNote.addEventListener("change", () => {
    if (currentSensor === "hhc") {
        return;
    }
    setParam(currentSensor, "note", Number(midiNote.value));
});

bezierCurve.addEventListener("curve", (event) => {
    if (currentSensor === "hhc") {
        return;
    }
    const p = event.detail.curve.map((point) => [Math.trunc(point[0]), Math.trunc(point[1])]);
    const form = new FormData();
    form.append("file", new Blob([JSON.stringify({ p })], { type: "application/json" }), "json_curve");
    fetch("/curve", { method: "POST", body: form });
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
        await fetch("/select/0");
        await fetch("/stop_noise_logger");
        await fetch("/start_noise_logger");
    } catch (error) {
        console.log("error: " + error);
        return;
    }
    await getConfig();
}, 250);
