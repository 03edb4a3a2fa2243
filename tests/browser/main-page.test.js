// The main page against the mock server: the start sequence, loading a pad into the editor,
// every control's request, the dialogs, the live events and the narrow-window layouts.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { parseMultipart } = require("./mock-server.js");
const { openPage, sleep, eventually, centre, mockServerAndBrowser } = require("./helpers.js");

const PORT = 5810;
const shared = mockServerAndBrowser(test, PORT);

const paths = () => shared.server.apiRequests().map((r) => `${r.method} ${r.path}`);
const sets = () => paths().filter((p) => p.startsWith("GET /set/"));

// Loads the main page and waits until the start sequence has applied the first answer.
async function loadMain(viewport) {
    shared.server.reset();
    const page = await openPage(shared.browser, shared.server.origin, "/", viewport);
    await shared.server.waitFor((r) => r.path === "/get_all");
    await eventually(() => page.locator("#scan-time").inputValue().then((v) => v === "3.0"), 5000, "kick loaded");
    shared.server.requests = [];
    return page;
}

// Moves the pointer through the points in one burst inside the page, so that no pause between the
// moves can reach the widgets' 200 ms debounce however slow the machine is; the press and the
// release before and after it are real mouse input.
async function burst(page, type, points) {
    await page.evaluate(({ type, points }) => {
        for (const [x, y] of points) {
            const init = { clientX: x, clientY: y, bubbles: true, buttons: 1 };
            const event = type === "pointermove" ? new PointerEvent(type, init) : new MouseEvent(type, init);
            document.elementFromPoint(Math.max(0, x), Math.max(0, y))?.dispatchEvent(event) ?? window.dispatchEvent(event);
        }
    }, { type, points });
}

const sliderLabel = (page, name) => page.locator(`range-slider[name="${name}"] .label`).textContent();
const curveValues = (page) => page.evaluate(() => document.getElementById("bezier-curve").values);
// What the pad editor shows, as one object to compare.
const editor = async (page) => ({
    note: await page.locator("#midi-note").inputValue(),
    gain: await sliderLabel(page, "gain"),
    threshold: await sliderLabel(page, "threshold"),
    mask: await page.locator("#mask-time").inputValue(),
    decay: await page.locator("#decay").inputValue(),
    curve: await curveValues(page),
});

test("the start sequence runs in order, each request after the previous answer", async () => {
    shared.server.reset();
    const releaseStop = shared.server.hold(/^\/stop_noise_logger$/);
    const started = Date.now();
    const page = await openPage(shared.browser, shared.server.origin, "/");
    await shared.server.waitFor((r) => r.path === "/stop_noise_logger");
    const first = shared.server.apiRequests()[0];
    assert.ok(first.time - started >= 200, `the first request waits for the server (${first.time - started} ms)`);
    await sleep(400);
    assert.deepStrictEqual(paths(), ["GET /select/0", "GET /stop_noise_logger"], "start waits for the stop's answer");
    releaseStop();
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(paths(), [
        "GET /select/0",
        "GET /stop_noise_logger",
        "GET /start_noise_logger",
        "GET /get_all",
    ]);

    // The Kick settings fill the editor; loading sends no set request.
    await eventually(() => page.locator("#scan-time").inputValue().then((v) => v === "3.0"));
    assert.deepStrictEqual(await editor(page), { note: "36", gain: "2", threshold: "10", mask: "20.0",
        decay: "130.0", curve: [[0, 0], [192, 192], [128, 64], [255, 255]] });
    assert.strictEqual(await page.locator("#timeline .bar").first().getAttribute("width"), "12");
    assert.ok(await page.locator("#default-mode").isVisible());
    assert.ok(!(await page.locator("#hhc-mode").isVisible()));
    await sleep(300);
    assert.deepStrictEqual(sets(), []);
    assert.deepStrictEqual(page.foreignRequests, [], "nothing is loaded from the network");
    await page.context().close();
});

test("choosing a pad selects it and loads its values into every control", async () => {
    const page = await loadMain();
    await page.selectOption("#sensors-select", "snare");
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(paths(), ["GET /select/1", "GET /get_all"]);
    await eventually(() => page.locator("#scan-time").inputValue().then((v) => v === "2.5"));
    assert.deepStrictEqual(await editor(page), { note: "38", gain: "1.5", threshold: "42", mask: "30.0",
        decay: "90.0", curve: [[0, 10], [100, 20], [150, 200], [255, 250]] });

    // The hi-hat's curve is a text, which the editor ignores; the rest still loads.
    shared.server.requests = [];
    await page.selectOption("#sensors-select", "hihat");
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(paths(), ["GET /select/2", "GET /get_all"]);
    await eventually(() => page.locator("#scan-time").inputValue().then((v) => v === "4.0"));
    assert.strictEqual(await sliderLabel(page, "threshold"), "55");
    assert.deepStrictEqual(await curveValues(page), [[0, 10], [100, 20], [150, 200], [255, 250]]);

    // An empty answer (module silent) changes nothing on screen.
    shared.server.getAllBody = "{}";
    await page.selectOption("#sensors-select", "kick");
    await shared.server.waitFor((r) => r.path === "/select/0");
    await sleep(400);
    assert.strictEqual(await page.locator("#midi-note").inputValue(), "42");
    await sleep(300);
    assert.deepStrictEqual(sets(), []);
    await page.context().close();
});

test("Hi-hat Controller switches the mode only after the answer, and the editors send only in their mode", async () => {
    const page = await loadMain();
    const releaseGetAll = shared.server.hold(/^\/get_all$/);
    await page.selectOption("#sensors-select", "hhc");
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(paths(), ["GET /select/undefined", "GET /get_all"]);
    await sleep(300);
    assert.ok(await page.locator("#default-mode").isVisible(), "the pad editor stays until the answer");
    assert.ok(!(await page.locator("#hhc-mode").isVisible()));
    releaseGetAll();
    await eventually(() => page.locator("#hhc-mode").isVisible());
    assert.ok(!(await page.locator("#default-mode").isVisible()));
    const hhcSliders = ["hhc-timeout", "hhc-threshold", "hhc-offset", "hhc_trig-threshold"];
    assert.deepStrictEqual(await Promise.all(hhcSliders.map((n) => sliderLabel(page, n))), ["9000", "30", "105", "400"]);

    // A hi-hat controller slider names its module target; the pad editor's note sends nothing.
    shared.server.requests = [];
    const marker = page.locator('range-slider[name="hhc-offset"] .marker');
    const slider = await page.locator('range-slider[name="hhc-offset"] .slider-container').boundingBox();
    const start = await centre(marker);
    await page.mouse.move(start.x, start.y);
    await page.mouse.down();
    await burst(page, "pointermove", [[start.x, start.y - 20], [start.x, slider.y - 40]]);
    await page.mouse.up();
    await shared.server.waitFor((r) => r.path.startsWith("/set/"));
    await page.evaluate(() => {
        const note = document.getElementById("midi-note");
        note.value = "50";
        note.dispatchEvent(new Event("change"));
    });
    await sleep(400);
    assert.deepStrictEqual(sets(), ["GET /set/fsrc/offset/127"]);

    // Back on a pad, the hi-hat controller sliders are silent and the pad editor returns.
    shared.server.requests = [];
    await page.selectOption("#sensors-select", "kick");
    await eventually(() => page.locator("#default-mode").isVisible());
    await page.evaluate(() => {
        const slider = document.querySelector('range-slider[name="hhc-offset"]');
        slider.dispatchEvent(new CustomEvent("hhc-offset", { bubbles: true }));
    });
    await sleep(300);
    assert.deepStrictEqual(sets(), []);

    // An answer without "hhc_trig" switches the mode but moves no slider, and says why.
    delete shared.server.settings.hhc_trig;
    shared.server.settings.hhc.timeout = 20000;
    await page.selectOption("#sensors-select", "hhc");
    await eventually(() => page.locator("#hhc-mode").isVisible());
    await eventually(() => page.consoleLines.some((l) => l.startsWith("error: ")));
    assert.strictEqual(await sliderLabel(page, "hhc-timeout"), "9000");
    await page.context().close();
});

// Drags a slider's marker in several moves to just inside one end, then in one move past it, so
// that the last move is the one that changes the position.
async function dragMarkerPast(page, name, direction) {
    const marker = page.locator(`range-slider[name="${name}"] .marker`);
    const track = await page.locator(`range-slider[name="${name}"] .slider-container`).boundingBox();
    const start = await centre(marker);
    await page.mouse.move(start.x, start.y);
    await page.mouse.down();
    const inside = direction === "up" ? track.y + 3 : track.y + track.height - 3;
    const beyond = direction === "up" ? track.y - 60 : track.y + track.height + 60;
    const steps = [1, 2, 3, 4].map((i) => [start.x + i, start.y + ((inside - start.y) * i) / 4]);
    await burst(page, "pointermove", [...steps, [start.x - 30, beyond]]);
    await page.mouse.up();
}

// Records, in the page's own clock, every pointer move and every request the page makes.
async function recordTimes(page) {
    await page.evaluate(() => {
        window.moveTimes = [];
        window.fetchTimes = [];
        window.addEventListener("pointermove", () => window.moveTimes.push(performance.now()), true);
        const originalFetch = window.fetch;
        window.fetch = (...args) => {
            window.fetchTimes.push([String(args[0]), performance.now()]);
            return originalFetch(...args);
        };
    });
}

test("a slider dragged past its ends sends one request with the clamped value after the pause", async () => {
    const page = await loadMain();
    await recordTimes(page);
    await dragMarkerPast(page, "threshold", "up");
    await shared.server.waitFor((r) => r.path.startsWith("/set/"));
    await sleep(500);
    assert.deepStrictEqual(sets(), ["GET /set/kick/threshold/100"]);
    const { moveTimes, fetchTimes } = await page.evaluate(() => ({ moveTimes, fetchTimes }));
    assert.strictEqual(fetchTimes.length, 1);
    const pause = fetchTimes[0][1] - moveTimes.at(-1);
    assert.ok(pause >= 199, `sent ${pause} ms after the last move`);
    assert.strictEqual(await sliderLabel(page, "threshold"), "100");

    // Down to the other end, and the gain, which is sent with two decimals.
    for (const [name, direction, sent, label] of [["threshold", "down", "/set/kick/threshold/1", "1"],
                                                  ["gain", "up", "/set/kick/gain/5.00", "5"]]) {
        shared.server.requests = [];
        await dragMarkerPast(page, name, direction);
        await shared.server.waitFor((r) => r.path.startsWith("/set/"));
        await sleep(500);
        assert.deepStrictEqual(sets(), ["GET " + sent]);
        assert.strictEqual(await sliderLabel(page, name), label);
    }

    // A press and release without a change of position sends nothing.
    shared.server.requests = [];
    const marker = await centre(page.locator('range-slider[name="gain"] .marker'));
    await page.mouse.move(marker.x, marker.y);
    await page.mouse.down();
    await page.mouse.up();
    await sleep(500);
    assert.deepStrictEqual(sets(), []);
    await page.context().close();
});

test("a curve drag sends one POST with the points as a JSON file part", async () => {
    const page = await loadMain();
    const anchor = await centre(page.locator("#p1"));
    await page.mouse.move(anchor.x, anchor.y);
    await page.mouse.down();
    await burst(page, "mousemove", [[anchor.x - 10, anchor.y + 5], [anchor.x - 37, anchor.y + 23], [anchor.x - 41.3, anchor.y + 29.7]]);
    await page.mouse.up();
    const [request] = await shared.server.waitFor((r) => r.path === "/curve");
    await sleep(500);
    assert.deepStrictEqual(paths(), ["POST /curve"]);
    const values = await curveValues(page);
    assert.notDeepStrictEqual(values[1], [192, 192], "the anchor moved");
    const parts = parseMultipart(request.contentType, request.body);
    assert.strictEqual(parts.length, 1);
    assert.strictEqual(parts[0].name, "file");
    assert.strictEqual(parts[0].filename, "json_curve");
    assert.strictEqual(parts[0].contentType, "application/json");
    const expected = JSON.stringify({ p: values.map(([x, y]) => [Math.trunc(x), Math.trunc(y)]) });
    assert.strictEqual(parts[0].content.toString(), expected);
    assert.match(expected, /^\{"p":\[\[0,0\],\[\d+,\d+\],\[128,64\],\[255,255\]\]\}$/);

    // The end points move only up and down.
    shared.server.requests = [];
    const end = await centre(page.locator("#p0"));
    await page.mouse.move(end.x, end.y);
    await page.mouse.down();
    await burst(page, "mousemove", [[end.x + 40, end.y - 20], [end.x + 80, end.y - 50]]);
    await page.mouse.up();
    await shared.server.waitFor((r) => r.path === "/curve");
    const moved = await curveValues(page);
    assert.strictEqual(moved[0][0], 0);
    assert.ok(moved[0][1] > 0);
    await page.context().close();
});

test("typing 500 into Scan draws 10 ms and sends scan, mask and decay in turn", async () => {
    const page = await loadMain();
    const releaseScan = shared.server.hold(/^\/set\/kick\/scan\//);
    await page.locator("#scan-time").fill("500");
    await page.locator("#scan-time").press("Tab");
    assert.strictEqual(await page.locator('#timeline g[data-name="scan"] .bar').getAttribute("width"), "40");
    assert.strictEqual(await page.locator("#scan-time").inputValue(), "500");
    await shared.server.waitFor((r) => r.path.startsWith("/set/"));
    await sleep(300);
    assert.deepStrictEqual(sets(), ["GET /set/kick/scan/10000"], "mask waits for the scan's answer");
    releaseScan();
    await shared.server.waitFor((r) => r.path.startsWith("/set/kick/decay/"));
    assert.deepStrictEqual(sets(), [
        "GET /set/kick/scan/10000",
        "GET /set/kick/mask/20000",
        "GET /set/kick/decay/130000",
    ]);

    // The note is sent on commit, as typed, even above the field's max.
    shared.server.requests = [];
    await page.locator("#midi-note").fill("300");
    await page.locator("#midi-note").press("Enter");
    await shared.server.waitFor((r) => r.path.startsWith("/set/"));
    assert.deepStrictEqual(sets(), ["GET /set/kick/note/300"]);
    await page.context().close();
});

test("a handle drag resizes its bar within its field's limits", async () => {
    const page = await loadMain();
    const handle = await centre(page.locator('#timeline g[data-name="mask"] .resize-handle'));
    await page.mouse.move(handle.x, handle.y);
    await page.mouse.down();
    await burst(page, "mousemove", [[handle.x + 100, handle.y], [handle.x + 600, handle.y]]);
    await page.mouse.up();
    await shared.server.waitFor((r) => r.path.startsWith("/set/kick/decay/"));
    assert.deepStrictEqual(sets(), ["GET /set/kick/scan/3000", "GET /set/kick/mask/50000", "GET /set/kick/decay/130000"]);
    assert.strictEqual(await page.locator("#mask-time").inputValue(), "50.0");
    assert.strictEqual(await page.locator('#timeline g[data-name="mask"] .resize-handle.active-time-bar').count(), 1);
    await page.context().close();
});

test("the save dialog closes only after the server has answered", async () => {
    const page = await loadMain();
    await page.locator('button[data-tooltip="Save config"]').click();
    assert.ok(await page.locator("#save-modal").isVisible());
    // Cancel closes it without a request.
    await page.locator('#save-modal button.secondary').click();
    assert.strictEqual(await page.locator("#save-modal").getAttribute("open"), null);
    await page.locator('button[data-tooltip="Save config"]').click();
    const release = shared.server.hold(/^\/save_params_all$/);
    await page.locator('#save-modal footer button:not(.secondary)').click();
    await shared.server.waitFor((r) => r.path === "/save_params_all");
    await sleep(300);
    assert.strictEqual(await page.locator("#save-modal").getAttribute("open"), "");
    release();
    await eventually(async () => (await page.locator("#save-modal").getAttribute("open")) === null);
    assert.deepStrictEqual(paths(), ["GET /save_params_all"]);

    // The about dialog toggles and lists what the program really uses.
    await page.locator("#about").click();
    assert.ok(await page.locator("#about-modal").isVisible());
    const entries = await page.locator("#about-modal li").allTextContents();
    for (const name of ["cpp-httplib", "WebKitGTK", "libudev", "hidapi", "Pico CSS", "Source Sans Pro"]) {
        assert.ok(entries.some((e) => e.includes(name)), name);
    }
    assert.ok(!entries.some((e) => /Pololu|CMakeRC/.test(e)));
    await page.locator('#about-modal button[rel="prev"]').click();
    assert.strictEqual(await page.locator("#about-modal").getAttribute("open"), null);
    await page.context().close();
});

test("live events: the disconnected dialog, reload on connect, noise and live curve", async () => {
    const page = await loadMain();
    shared.server.publish('{"event" : "disconnect"}');
    await eventually(() => page.locator("#disconnected").isVisible());
    assert.strictEqual(await page.locator("#disconnected strong").textContent(), "Cannot detect board");

    // The noise reading fills the threshold slider; the curve is scaled to 300 of 256.
    shared.server.publish('{"value": "50"}');
    await eventually(async () =>
        (await page.locator('range-slider[name="threshold"] .slider-container').getAttribute("style")).includes("orange"));
    shared.server.publish('{"curve": "[1,2,4]"}');
    await eventually(async () => (await page.locator("#live-curve").getAttribute("d")) !== null);
    const scale = (r) => 300 - (r / 256) * 300;
    assert.strictEqual(await page.locator("#live-curve").getAttribute("d"),
        `M 0,${scale(75)} L 1.5,${scale(150)} L 3,${scale(300)}`);
    // A silent run draws a flat line at the bottom, a single reading a short level line.
    shared.server.publish('{"curve": "[0,0,0]"}');
    await eventually(async () => (await page.locator("#live-curve").getAttribute("d")) === "M 0,300 L 1.5,300 L 3,300");
    shared.server.publish('{"curve": "[7]"}');
    await eventually(async () => (await page.locator("#live-curve").getAttribute("d")) === `M 0,${scale(300)} L 1,${scale(300)}`);
    shared.server.publish('{"curve": "not json"}');
    await eventually(() => page.consoleLines.some((l) => l.startsWith("event error: ")));

    // During an upload the module's comings and goings change nothing.
    shared.server.publish('{"event" : "firmware_upload_begin"}');
    shared.server.publish('{"event" : "connect"}');
    await sleep(500);
    assert.ok(await page.locator("#disconnected").isVisible());
    shared.server.publish('{"event" : "firmware_upload_end"}');
    shared.server.requests = [];
    shared.server.publish('{"event" : "connect"}');
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(paths().slice(0, 4), [
        "GET /select/0", "GET /stop_noise_logger", "GET /start_noise_logger", "GET /get_all"]);
    assert.ok(!(await page.locator("#disconnected").isVisible()), "the reloaded page starts without the dialog");
    await page.context().close();
});

test("narrow windows move the buttons to a bottom bar and the select to a second row; the page never scrolls", async () => {
    const page = await loadMain({ width: 700, height: 720 });
    const buttons = await page.locator("#save-reset-buttons").boundingBox();
    assert.strictEqual(await page.locator("#save-reset-buttons").evaluate((e) => getComputedStyle(e).position), "fixed");
    assert.ok(Math.abs(buttons.y + buttons.height - 720) < 1 && buttons.x === 0 && Math.abs(buttons.width - 700) < 1);
    const select = await page.locator("#sensors-select").boundingBox();
    const about = await page.locator("#about").boundingBox();
    assert.ok(Math.abs(select.y - about.y) < 20, "at 700px the select shares the header row");

    await page.setViewportSize({ width: 500, height: 720 });
    await eventually(async () => {
        const s = await page.locator("#sensors-select").boundingBox();
        const h = await page.locator("header hgroup").boundingBox();
        return s.y >= h.y + h.height;
    }, 5000, "select on the second row");

    await page.mouse.move(250, 400);
    await page.mouse.wheel(0, 2000);
    await sleep(200);
    assert.strictEqual(await page.evaluate(() => window.scrollY), 0);
    assert.strictEqual(await page.evaluate(() => getComputedStyle(document.body).overflow), "hidden");
    await page.context().close();
});

test("the widgets clamp and draw what they are given by program", async () => {
    const page = await loadMain();
    const result = await page.evaluate(async () => {
        const curve = document.getElementById("bezier-curve");
        curve.values = [[9, 300], [64, -5], [192, 192], [256, 128]];
        const clamped = curve.values;
        const path = document.getElementById("bezier-curve-path").getAttribute("d");
        let shortError = null;
        try {
            curve.values = [[0, 10], [20, 20]];
        } catch (error) {
            shortError = String(error);
        }
        const afterShort = curve.values;

        const gain = document.querySelector('range-slider[name="gain"]');
        gain.threshold = "2.00";
        const gainLabel = gain.querySelector(".label").textContent;
        gain.threshold = 0.01;
        const gainMin = gain.threshold;
        const threshold = document.querySelector('range-slider[name="threshold"]');
        threshold.threshold = 41.6;
        const thresholdLabel = threshold.querySelector(".label").textContent;
        threshold.value = 500;
        const fullFill = threshold.querySelector(".slider-container").style.background;

        const chart = document.querySelector("time-bar-chart");
        chart.setThreshold(10);
        const decay = chart.querySelector(".curve").getAttribute("d").split(" ").at(-1);
        chart.setThreshold(1000);
        const capped = chart.querySelector(".curve").getAttribute("d").split(" ").at(-1);
        chart.setData({ scan: 20, mask: 1, decay: 500 });
        await new Promise((resolve) => setTimeout(resolve, 300));
        return {
            clamped, path, shortError, afterShort, gainLabel, gainMin, thresholdLabel, fullFill, decay, capped,
            scan: [chart.scan, document.getElementById("scan-time").value],
            mask: [chart.mask, document.getElementById("mask-time").value],
            decayBar: [chart.decay, document.getElementById("decay").value],
        };
    });
    assert.deepStrictEqual(result.clamped, [[0, 255], [64, 0], [192, 192], [255, 128]]);
    assert.strictEqual(result.path, "M 0,0 C 64,255 192,63 255,127");
    assert.ok(result.shortError, "fewer than four points fail");
    assert.deepStrictEqual(result.afterShort[0], [0, 10], "points before the missing one have changed");
    assert.strictEqual(result.gainLabel, "2");
    assert.strictEqual(result.gainMin, 0.1);
    assert.strictEqual(result.thresholdLabel, "42");
    assert.match(result.fullFill, /orange 100%/);
    // With a threshold of 10 the decay curve ends 300 * 10 / 256 = 11.72 units above the bottom.
    assert.strictEqual(Number(result.decay.split(",")[1]).toFixed(2), (300 - 11.71875).toFixed(2));
    assert.strictEqual(Number(result.capped.split(",")[1]).toFixed(2), (300 - 117.1875).toFixed(2));
    assert.deepStrictEqual(result.scan, [40, "20.0"], "scan is drawn at 10 ms but shows what was given");
    assert.deepStrictEqual(result.mask, [10, "1.0"]);
    assert.deepStrictEqual(result.decayBar, [150, "500.0"]);
    await sleep(300);
    assert.deepStrictEqual(sets(), [], "nothing set by program is sent");
    await page.context().close();
});
