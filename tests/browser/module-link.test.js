// The main page against a demo module that answers every command 250 ms late, and that keeps the
// changes it has not saved across an unplug.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { origin, openPage, getAll, eventually, editorReady, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test, { KORVALINE_SIM_REPLY_DELAY_MS: "250" });
const dot = (page) => page.locator("#save-button .unsaved-dot").isVisible();
const state = async () => (await fetch(origin + "/state")).json();
let page;

// Types a note for the kick and leaves the field, as a drummer does; the module takes it.
async function changeNote(note) {
    await page.locator("#midi-note").fill(String(note));
    await page.locator("#midi-note").press("Tab");
    await eventually(async () => (await getAll()).kick.note === note, `note ${note} held`);
}

// The page's first stream brings the start-up "disconnect" and "connect" only once the page has
// begun to read the module (its "/select"), long after a read of "/state" at load would have been
// answered: the page still asks "/state" at most once a load.
test("the editor loads, edits and saves, and says that the module answers slowly", async () => {
    page = await openPage(rig.browser, async (p) => {
        let begun;
        const reading = new Promise((resolve) => (begun = resolve));
        await p.route("**/event", (r) => reading.then(() => r.continue()), { times: 1 });
        p.stateReads = [];
        p.on("request", (r) => (/\/select\//.test(r.url()) && begun(), new URL(r.url()).pathname === "/state" && p.stateReads.push(p.loads)));
    });
    await eventually(() => page.loads >= 2, "the reload when the module connects");
    await editorReady(page);
    const kick = (await getAll()).kick;
    assert.strictEqual(await page.locator("#midi-note").inputValue(), String(kick.note));
    await eventually(async () => /^The module answers slowly \(about \d*0 ms\)\.$/.test(await page.locator("#slow-line").textContent()), "slow");
    assert.deepStrictEqual(page.stateReads, [...new Set(page.stateReads)], "reads of /state in each load");

    await changeNote(kick.note === 51 ? 52 : 51);
    await eventually(() => dot(page), "the unsaved dot");
    await page.locator("#save-button").click();
    await page.locator('#save-modal button[aria-label="Save"]').click();
    await eventually(async () => !(await dot(page)) && !(await page.locator("#save-modal").isVisible()), "saved");
    assert.ok(await page.locator("#held-line").isHidden());
});

test("a module replugged with changes it has not saved is marked, and said to hold them", async () => {
    await changeNote((await getAll()).kick.note + 1);
    const loads = page.loads;
    rig.demo.kill("SIGUSR1");
    await eventually(() => page.locator("#disconnected").isVisible(), "unplugged");
    rig.demo.kill("SIGUSR1");
    await eventually(() => page.loads > loads, "the reload when the module is back");
    await eventually(async () => (await dot(page)) &&
        (await page.locator("#held-line").textContent()) === "The module holds changes that are not saved.", "held");
    assert.deepStrictEqual(await state().then(({ unsaved, held }) => ({ unsaved, held })), { unsaved: true, held: true });
});
