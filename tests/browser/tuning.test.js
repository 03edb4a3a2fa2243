// The tuning aids against the demo program, whose simulated module starts with lifelike settings.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const { origin, openPage, sleep, getAll, eventually, editorReady, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test);
let page, sent = []; // the page, and the settings requests it sent as method and path

const shown = (selector) => page.locator(selector).evaluate((e) => Number(e.getAttribute("aria-valuenow") ?? e.value));

// Waits until the page has sent these requests, then a little longer, and expects nothing else.
async function expectSent(expected) {
    await eventually(() => sent.length >= expected.length, `requests ${expected}`);
    await sleep(500);
    assert.deepStrictEqual(sent, expected);
    sent = [];
}

test.before(async () => {
    await rig.started();
    page = await openPage(rig.browser, (p) => p.on("request", (r) => {
        const path = new URL(r.url()).pathname;
        if (/^\/(set|curve)\//.test(path + "/")) sent.push(`${r.method()} ${path}`);
    }));
    await eventually(() => page.loads >= 2, "the reload when the module connects");
    await editorReady(page);
});

test("the demo starts every pad inside the ranges of the editor's controls", async () => {
    const controls = [["#midi-note", (pad) => pad.note], ['range-slider[name="gain"]', (pad) => pad.gain / 32768],
        ['range-slider[name="threshold"]', (pad) => pad.threshold], ["#scan-time", (pad) => pad.scan / 1000],
        ["#mask-time", (pad) => pad.mask / 1000], ["#decay", (pad) => pad.decay / 1000]];
    const inside = (selector, value) => page.locator(selector)
        .evaluate((e, v) => v > Number(e.getAttribute("min")) && v < Number(e.getAttribute("max")), value);
    const all = await getAll();
    const pads = (await page.locator("#sensors-select option").evaluateAll((o) => o.map((e) => e.value))).filter((v) => v !== "hhc");
    for (const pad of pads) for (const [selector, value] of controls)
        assert.ok(await inside(selector, value(all[pad])), `${pad}: ${selector} ${value(all[pad])}`);
});

test("the noise history fills and starts over on a pad change", async () => {
    const kick = await eventually(async () => {
        const readings = await page.evaluate(() => noiseHistory.readings.map((r) => r.v));
        return readings.length >= 4 && readings;
    }, "four readings of the kick");
    const changed = await page.evaluate(() => performance.now());
    await page.selectOption("#sensors-select", "hihat");
    const hihat = await eventually(async () => {
        const since = await page.evaluate((t) => noiseHistory.readings.map((r) => (r.t >= t ? r.v : "old")), changed);
        return since.length >= 4 && !since.includes("old") && since;
    }, "a new history");
    const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
    assert.ok(median(hihat) > median(kick), `${hihat} against ${kick}`);
});

test("the automatic threshold proposes more than every reading it measured; Apply sends it once", async () => {
    sent = [];
    await page.click("#auto-threshold");
    await eventually(() => page.locator("#auto-threshold-proposal").isVisible(), "proposal");
    const measured = await page.evaluate(() => autoThreshold.samples);
    const highest = Math.max(...measured);
    assert.ok(measured.length >= 10, String(measured));
    assert.strictEqual(await page.locator("#auto-threshold-highest").textContent(), String(highest));
    assert.ok(Number(await page.locator("#auto-threshold-proposal").textContent()) > highest);
    await page.locator("#auto-threshold-margin").fill("2");
    const proposal = Math.min(100, 2 * highest);
    assert.strictEqual(await page.locator("#auto-threshold-proposal").textContent(), String(proposal));
    await page.click("#auto-threshold-apply");
    await expectSent([`GET /set/hihat/threshold/${proposal}`]);
    assert.strictEqual(await shown('range-slider[name="threshold"]'), proposal);
});

test("without noise readings the dialog proposes nothing, and Cancel sends nothing", async (t) => {
    await fetch(origin + "/stop_noise_logger");
    t.after(() => fetch(origin + "/start_noise_logger"));
    await page.click("#auto-threshold");
    await eventually(() => page.locator("#auto-threshold-too-few").isVisible(), "too few readings");
    assert.ok(!(await page.locator("#auto-threshold-result").isVisible()));
    await page.click("#auto-threshold-cancel");
    await expectSent([]);
});

test("keys on a slider and on a curve anchor send the requests a drag sends", async () => {
    await page.locator('range-slider[name="threshold"]').focus();
    for (const [key, value] of [["Home", 1], ["ArrowUp", 2], ["ArrowRight", 3], ["ArrowDown", 2], ["ArrowLeft", 1],
                                ["PageUp", 11], ["PageDown", 1], ["End", 100]])
        await page.keyboard.press(key).then(() => expectSent([`GET /set/hihat/threshold/${value}`]));
    const gain = await shown('range-slider[name="gain"]');
    await page.locator('range-slider[name="gain"]').press("ArrowUp");
    await expectSent([`GET /set/hihat/gain/${(gain + 0.05).toFixed(2)}`]);

    // P1 moves both ways; the end point P0 only up and down, and a sideways key sends nothing.
    const points = await page.evaluate(() => bezierCurve.values);
    for (const [anchor, key, index, axis, by] of [["#p1", "ArrowUp", 1, 1, 1], ["#p1", "Shift+ArrowRight", 1, 0, 10],
                                                  ["#p0", "ArrowRight", 0, 0, 0], ["#p0", "ArrowDown", 0, 1, -1]]) {
        await page.locator(anchor).press(key);
        points[index][axis] += by;
        await expectSent(by === 0 ? [] : ["POST /curve"]);
        // Sent is not yet received: the module holds the points once the server has passed them on.
        await eventually(async () => JSON.stringify((await getAll()).hihat.curve.p) === JSON.stringify(points), "the curve held");
    }
});

test("axe-core finds no serious or critical violation on the three pages", async () => {
    const axe = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");
    const check = async (what) => {
        await page.addScriptTag({ content: axe });
        const { violations } = await page.evaluate(() => axe.run());
        const grave = violations.filter((v) => v.impact === "serious" || v.impact === "critical");
        assert.deepStrictEqual(grave.map((v) => `${what}: ${v.id} at ${v.nodes.map((n) => n.target).join(" ")}`), []);
    };
    await check("main page");
    await page.click("#auto-threshold");
    await check("automatic threshold dialog");
    await page.click("#auto-threshold-cancel");
    for (const path of ["/settings.html", "/gauge.html"]) await page.goto(origin + path).then(() => check(path));
});

// Last, since its page selects the kick in the module. Its stream brings no readings: the test gives them.
test("the automatic threshold needs ten readings, and rounds the highest times the margin up", async () => {
    const quiet = await openPage(rig.browser, (p) => p.route("**/event", (r) => r.fulfill({ contentType: "text/event-stream", body: "retry: 3600000\n\n" })));
    await editorReady(quiet);
    for (const [readings, shown] of [[[2, 3, 7, 5, 4, 6, 3, 2, 1], "#auto-threshold-too-few"], [[2, 3, 7, 5, 4, 6, 3, 2, 1, 4], "#auto-threshold-proposal"]]) {
        await quiet.click("#auto-threshold");
        await quiet.evaluate((values) => values.forEach((v) => (triggerThreshold.value = v)), readings);
        await eventually(() => quiet.locator(shown).isVisible(), `${readings.length} readings`);
        if (readings.length < 10) await quiet.click("#auto-threshold-cancel");
    }
    await quiet.locator("#auto-threshold-margin").fill("1.3");
    assert.strictEqual(await quiet.locator("#auto-threshold-proposal").textContent(), "10", "7 x 1.3 = 9.1");
});
