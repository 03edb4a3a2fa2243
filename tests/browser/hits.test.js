// The hits panel, the full view and the MIDI input card. The event stream and the MIDI routes are
// stubbed per page with the program's formats; everything else comes from the demo program.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const { openPage, eventually, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test);
const hit = (pad, note, velocity, t) => ({ event: "hit", pad, note, velocity, t });
const text = (page, name) => page.locator(`[data-hits="${name}"]`).textContent();
// How many of the lane's pixels have this colour opaque: the selected pad's marks, and only those.
const painted = (page, rgb) => page.locator(".hits-lane canvas").evaluate((canvas, rgb) => {
    const { data } = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height);
    let n = 0;
    for (let i = 0; i < data.length; i += 4)
        n += data[i] === rgb[0] && data[i + 1] === rgb[1] && data[i + 2] === rgb[2] && data[i + 3] === 255;
    return n;
}, rgb);
const kick = [232, 89, 12], snare = [28, 126, 214], hihat = [245, 160, 0];

// `state` is the answer of "/midi/state", or its status. The stream says it all at once, once the
// page has loaded (and every script listens), and then asks for no reconnection within the test.
// `said` collects what the live region announces.
async function open(address, events, state, more) {
    let loaded;
    const gate = new Promise((resolve) => (loaded = resolve));
    const page = await openPage(rig.browser, (page) => prepare(page, gate, events, state, more), address);
    loaded();
    return page;
}

async function prepare(page, gate, events, state, more) {
    const body = ["retry: 3600000\n\n", ...events.map((e) => `data: ${JSON.stringify(e)}\n\n`)].join("");
    await page.route("**/event", async (r) => gate.then(() => r.fulfill({ contentType: "text/event-stream", body })));
    await page.route("**/midi/state", (r) => r.fulfill(typeof state === "number" ? { status: state } : { json: state() }));
    await page.addInitScript(() => {
        window.said = [];
        const heard = (r) => r.target.dataset?.hits === "announce" && said.push(r.target.textContent);
        new MutationObserver((records) => records.forEach(heard)).observe(document, { childList: true, subtree: true });
    });
    await more?.(page);
}

async function axe(page, what) {
    await page.addScriptTag({ content: fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8") });
    const { violations } = await page.evaluate(() => axe.run());
    const grave = violations.filter((v) => v.impact === "serious" || v.impact === "critical");
    assert.deepStrictEqual(grave.map((v) => `${what}: ${v.id} at ${v.nodes.map((n) => n.target).join(" ")}`), []);
}

test("the main page's panel: the lane's text, the kick's figures, one announcement a second, Clear", async () => {
    const page = await open("/", [hit("kick", 36, 60, -8201), hit("kick", 36, 100, 1000), hit("snare", 38, 90, 1200),
        hit("kick", 36, 127, 1400), hit(null, 60, 50, 1500), hit("kick", 36, 126, 1600), hit("kick", 36, 127, 1800)],
    () => ({ port: "Pads", connected: true }));
    const lane = page.getByRole("img", { name: "Hits of the last 10 seconds" });
    await eventually(async () => (await text(page, "count")) === "5", "five kick hits");
    const description = page.locator(`#${await lane.getAttribute("aria-describedby")}`);
    assert.strictEqual(await description.locator("p").textContent(), "6 hits in the 10 seconds up to the newest.");
    assert.deepStrictEqual(await description.locator("li").allTextContents(),
        ["Kick, velocity 127, newest", "Kick, velocity 126, 0.20 s earlier", "Note 60, velocity 50, 0.30 s earlier",
            "Kick, velocity 127, 0.40 s earlier", "Snare, velocity 90, 0.60 s earlier"]);
    const figures = async (...names) => Promise.all(names.map((name) => text(page, name)));
    assert.deepStrictEqual(await figures("last", "highest", "full"), ["127", "127", "2"]);
    const bins = () => page.locator('[data-hits="histogram"] span').evaluateAll((s) => s.map((e) => Number(e.dataset.count)));
    assert.deepStrictEqual(await bins(), [0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 3]);
    await eventually(async () => (await painted(page, kick)) > 0, "the kick's marks in front");
    assert.strictEqual(await painted(page, snare), 0);
    // The first stroke is announced at once, the burst's last one when the second is over.
    await eventually(() => page.evaluate(() => said.length >= 2), "the second announcement");
    assert.deepStrictEqual(await page.evaluate(() => said), ["Kick, velocity 60", "Kick, velocity 127"]);
    assert.ok(await page.locator('[data-hits="missing"]').isHidden());
    await axe(page, "main page");

    await page.locator('[data-hits="clear"]').click();
    assert.deepStrictEqual([...await figures("count", "last"), (await bins()).some((n) => n > 0)], ["0", "–", false]);
    await page.selectOption("#sensors-select", "snare");
    assert.strictEqual(await text(page, "pad"), "Snare");
    await eventually(async () => (await painted(page, snare)) > 0 && (await painted(page, kick)) === 0, "the snare in front");
    assert.strictEqual(await page.locator("#hits-full-view").getAttribute("href"), "/hits.html?pad=snare");
    // While the hi-hat controller is chosen, the panel follows the hi-hat.
    await page.selectOption("#sensors-select", "hhc");
    await page.evaluate((h) => ev.dispatchEvent(new MessageEvent("message", { data: JSON.stringify(h) })), hit("hihat", 42, 77, 2000));
    assert.deepStrictEqual([await text(page, "pad"), await text(page, "last")], ["Hi-hat", "77"]);
    await eventually(async () => (await painted(page, hihat)) > 0, "the hi-hat in front");
});

test("the full view says what is missing, and stays calm without the MIDI routes", async () => {
    const missing = (page) => page.locator('[data-hits="missing"]');
    for (const [state, events, shown] of [
        [() => ({ port: null, connected: false }), [], "No MIDI input. Choose one in Settings."],
        // An event is newer than any answer, whichever comes first.
        [() => ({ port: null, connected: false }), [{ event: "midi", port: "USB MIDI", connected: false }],
            "MIDI input 'USB MIDI' is not connected."],
    ]) {
        const page = await open("/hits.html", events, state);
        await eventually(() => missing(page).isVisible(), shown);
        await eventually(async () => (await missing(page).textContent()) === shown, shown);
        await page.context().close();
    }
    let answered;
    const page = await open("/hits.html?pad=snare", [hit("snare", 38, 88, 5)], 404,
        (p) => { p.expectError(/404 \(Not Found\) \S+\/midi\/state$/); answered = p.waitForResponse("**/midi/state"); });
    await eventually(async () => (await text(page, "last")) === "88", "the snare's hit");
    assert.strictEqual(await page.locator("#hits-pad").inputValue(), "snare");
    await answered;
    assert.ok(await missing(page).isHidden());
    await axe(page, "full view");
    await page.context().close();
});

test("the settings card lists the inputs, keeps the absent choice, follows events and posts a choice", async () => {
    let state = { port: "Gone", connected: false }, asked = 0;
    const posted = [];
    const page = await open("/settings.html", [{ event: "midi", port: "Gone", connected: false }], () => state, async (p) => {
        const ports = [{ id: "0", name: "Korvaline demo groove", api: "demo" }, { id: "1", name: "USB MIDI", api: "ALSA" }];
        await p.route("**/midi/ports", (r) => ++asked && r.fulfill({ json: ports }));
        await p.route("**/midi/port", (r) => {
            posted.push(r.request().postData());
            state = { port: "Korvaline demo groove", connected: true };
            r.fulfill({ json: {} });
        });
    });
    const line = page.locator("#midi-state");
    // Once at load, once for the event.
    await eventually(async () => asked === 2 && (await line.textContent()) === "MIDI input 'Gone' is not connected.", "state");
    assert.deepStrictEqual(await page.locator("#midi-ports option").allTextContents(),
        ["None", "Korvaline demo groove (demo)", "USB MIDI (ALSA)", "Gone (not connected)"]);
    await page.selectOption("#midi-ports", "0");
    await eventually(async () => (await line.textContent()) === "Receiving from 'Korvaline demo groove'.", "new state");
    assert.deepStrictEqual(posted, ["id=0"]);
    assert.strictEqual(await page.locator("#midi-ports").inputValue(), "0");
    await axe(page, "settings page");
    await page.context().close();
});

test("on the demo, the main page and the full view in another tab receive the same groove", async () => {
    // Each page notes the hits its own event stream delivers.
    const watch = (page) => page.addInitScript(() => {
        window.hitsSeen = [];
        window.EventSource = class extends window.EventSource {
            constructor(...args) {
                super(...args);
                this.addEventListener("message", (e) => JSON.parse(e.data).event === "hit" && hitsSeen.push(JSON.parse(e.data)));
            }
        };
    });
    const pages = [await openPage(rig.browser, watch), await openPage(rig.browser, watch, "/hits.html")];
    const seen = () => Promise.all(pages.map((p) => p.evaluate(() => hitsSeen)));
    await eventually(async () => (await seen()).every((hits) => hits.length >= 30), "30 hits on each page", 60000);
    const [main, full] = await seen();
    const from = Math.max(main[0].t, full[0].t), to = Math.min(main.at(-1).t, full.at(-1).t);
    const within = (hits) => hits.filter((h) => h.t >= from && h.t <= to).map((h) => `${h.t} ${h.pad} ${h.velocity}`);
    assert.ok(within(main).length >= 10);
    assert.deepStrictEqual(within(full), within(main));
    assert.ok(["kick", "snare"].every((pad) => main.some((h) => h.pad === pad)), JSON.stringify(main));
    assert.match(await text(pages[0], "lane-text"), /^\d+ hits in the 10 seconds/);
    await Promise.all(pages.map((p) => p.context().close()));
});
