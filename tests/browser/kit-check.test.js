// "Check my kit" on the main page against the demo program, with the hits fed through the page's
// event stream and the page's clock: a round with three planted faults, their proposals reviewed
// and applied, and a clean second round.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { origin, openPage, getAll, eventually, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test);

// Thirty seconds of eighths at 100 BPM: hi-hat throughout, kick on one, snare on three, crash
// every other bar. With faults, every other snare stroke sounds twice 25 ms later, the other ones
// make tom1 sound 5 ms later, and every other crash comes out at 127.
function groove(faults) {
    const notes = { kick: 36, snare: 38, hihat: 42, tom1: 48, crash1: 49 };
    const hits = [];
    const add = (pad, velocity, t) => hits.push({ event: "hit", pad, note: notes[pad], velocity, t });
    for (let i = 0; i < 100; i++) {
        const t = 1000 + i * 300;
        add("hihat", 60 + ((i * 37) % 50), t);
        if (i % 4 === 0) add("kick", 90 + ((i * 13) % 37), t);
        if (i % 8 === 0) add("crash1", faults && i % 16 === 0 ? 127 : 105 + (i % 7), t + 1);
        if (i % 4 === 2) {
            add("snare", 110 + ((i * 7) % 17), t);
            if (faults) add(i % 8 === 2 ? "snare" : "tom1", 20, t + (i % 8 === 2 ? 25 : 5));
        }
    }
    return hits.sort((a, b) => a.t - b.t);
}

test("check my kit: findings, review, apply, check again", async () => {
    // The page's event stream answers with what the test queued, then reconnects at once.
    const queued = [];
    let wake = null;
    const page = await openPage(rig.browser, async (p) => {
        await p.clock.install();
        await p.route("**/midi/state", (r) => r.fulfill({ json: { port: null, connected: false } }));
        await p.route("**/event", async (route) => {
            while (queued.length === 0) await new Promise((resolve) => (wake = resolve));
            const body = "retry: 20\n\n" + queued.splice(0).map((m) => `data: ${JSON.stringify(m)}\n\n`).join("");
            await route.fulfill({ status: 200, headers: { "Content-Type": "text/event-stream" }, body });
        });
    });
    const feed = (hits) => { queued.push(...hits); wake?.(); };
    const text = (id) => page.locator("#kit-check-" + id).textContent();
    const round = async (hits) => {
        feed(hits);
        await eventually(async () => (await text("status")).endsWith(`${hits.length} hits.`), "hits counted");
        assert.ok(await page.locator("#kit-check-done").isDisabled(), "Done before 20 s");
        await page.clock.fastForward(20500);
        await page.locator("#kit-check-done").click();
        await eventually(() => page.locator("#kit-check-findings").isVisible(), "findings");
    };
    const before = await getAll();

    // Without a MIDI input the check says so at once, with the way to the MIDI card, until one comes.
    await eventually(() => page.locator('[data-hits="missing"]').isVisible(), "no MIDI input");
    await page.locator("#kit-check-open").click();
    const midi = page.locator("#kit-check-midi");
    assert.strictEqual(await midi.textContent(), "No MIDI input. Choose one in Settings.");
    assert.strictEqual(await midi.getByRole("link").getAttribute("href"), "/settings.html#midi-card");
    feed([{ event: "midi", port: "Korvaline demo groove", connected: true }]);
    await eventually(() => midi.isHidden(), "an input chosen");
    await round(groove(true));
    assert.match(await text("counts"), /^Kick: 25Snare: 38Crash 1: 13Tom 1: 12Hi-hat: 100$/);
    const findings = await page.locator("#kit-check-list li").allTextContents();
    assert.strictEqual(findings.length, 3, findings.join("\n"));
    assert.match(findings[0], /^Snare double-triggers: 13 times .* 25 ms .*\(velocities 20 after 1\d\d–1\d\d\)\. Proposed: Snare mask 18 ms → 30 ms\.$/);
    assert.match(findings[1], /^Crash 1 clips: 7 of its 13 strokes .* Proposed: Crash 1 gain 1\.20 → 1\.02\.$/);
    assert.match(findings[2], /^Tom 1 sounds from the snare: 12 times .* 5 ms .*\(velocities 20 after 1\d\d–1\d\d\)\. Proposed: Tom 1 threshold 16 → 20\. A second check/);

    // Unchecked, a proposal stays out of the review; nothing reaches the module before "Apply".
    await page.locator("#kit-check-list input").nth(1).uncheck();
    await page.locator("#kit-check-review-button").click();
    await eventually(() => page.locator("#kit-check-apply").isEnabled(), "preview");
    assert.deepStrictEqual(await page.locator("#kit-check-changes li").allTextContents(),
        ["Snare mask 18 ms → 30 ms", "Tom 1 threshold 16 → 20"]);
    assert.deepStrictEqual(await getAll(), before);
    await page.locator("#kit-check-apply").click();
    await eventually(async () => (await text("result")).startsWith("Changed 2 values."), "applied");
    const after = await getAll();
    assert.deepStrictEqual([after.snare.mask, after.tom1.threshold, after.crash1.gain], [30000, 20, before.crash1.gain]);
    // The marker follows the "unsaved" event, which this page's stand-in stream does not carry.
    assert.strictEqual((await (await fetch(origin + "/state")).json()).unsaved, true);

    await page.locator("#kit-check-again").click();
    assert.strictEqual(await text("status"), "0 s played, 0 hits.");
    await round(groove(false));
    assert.strictEqual(await text("summary"), "No double triggers, crosstalk or clipping found in 163 hits.");
});
