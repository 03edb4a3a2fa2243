// The settings' safety features in the pages, end to end against the demo program: the unsaved
// marker on the main page, a backup downloaded and restored through the preview dialog, and the
// reason for a module that cannot be opened in the disconnected dialog.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const { spawn } = require("node:child_process");
const { launchBrowser, openPage, eventually } = require("./helpers.js");

const demoPath = process.env.KORVALINE_DEMO;
const origin = "http://127.0.0.1:5000";
let demo;
let browser;

const getAll = async () => (await fetch(origin + "/get_all")).json();
const set = (pad, param, value) => fetch(`${origin}/set/${pad}/${param}/${value}`);

test.before(async () => {
    if (!demoPath) {
        return;
    }
    const env = { ...process.env };
    delete env.DISPLAY;
    demo = spawn(demoPath, [], { env, stdio: "ignore" });
    await eventually(async () => (await fetch(origin + "/")).ok, 20000, "demo serving");
    browser = await launchBrowser();
});

test.after(async () => {
    await browser?.close();
    if (demo && demo.exitCode === null) {
        const exited = new Promise((resolve) => demo.once("exit", resolve));
        demo.kill("SIGTERM");
        await exited;
    }
});

// Waits until the page's own event stream has delivered noise readings: a stream of a page that
// was left takes one more message before it ends, and the checks below rely on every event.
async function openSettled(pathname) {
    let loads = 0;
    const page = await openPage(browser, origin, pathname, undefined,
        (p) => p.on("framenavigated", (frame) => (loads += frame === p.mainFrame() ? 1 : 0)));
    await eventually(async () => loads >= 2 && (await page.evaluate(() => typeof ev !== "undefined")), 20000, "reload on connect");
    await page.evaluate(() => {
        window.seen = 0;
        ev.addEventListener("message", () => (window.seen += 1));
    });
    await eventually(() => page.evaluate(() => window.seen >= 5), 15000, "noise readings");
    return page;
}

const marker = async (page) => ({
    dot: await page.locator("#save-button .unsaved-dot").isVisible(),
    tooltip: await page.locator("#save-button").getAttribute("data-tooltip"),
    title: await page.title(),
});

test("the unsaved marker, and a downloaded backup restored through the preview", { skip: !demoPath && "KORVALINE_DEMO is not set" }, async () => {
    const page = await openSettled("/");
    assert.deepStrictEqual(await marker(page), { dot: false, tooltip: "Save config", title: "Korvaline App" });
    await page.locator("#midi-note").fill("51");
    await page.locator("#midi-note").dispatchEvent("change");
    await eventually(async () => (await marker(page)).dot, 10000, "marker shown");
    assert.deepStrictEqual(await marker(page), { dot: true, tooltip: "Unsaved changes", title: "• Korvaline App" });
    await page.locator("#save-button").click();
    await page.locator('#save-modal button[aria-label="Save"]').click();
    await eventually(async () => !(await marker(page)).dot, 10000, "marker gone");
    assert.deepStrictEqual(await marker(page), { dot: false, tooltip: "Save config", title: "Korvaline App" });

    // The backup holds what the module holds; a gain between two hundredths and an impossible
    // threshold are written into the file to see them rounded and skipped.
    const saved = await getAll();
    await page.goto(origin + "/settings.html");
    const [download] = await Promise.all([page.waitForEvent("download"), page.locator("#backup-download").click()]);
    assert.match(download.suggestedFilename(), /^korvaline-settings-\d{8}-\d{6}\.json$/);
    const backup = JSON.parse(fs.readFileSync(await download.path(), "utf8"));
    assert.deepStrictEqual(backup.settings.kick, saved.kick);
    backup.settings.snare.gain = 40000;
    backup.settings.snare.threshold = 900;
    await set("kick", "note", 60);
    await set("kick", "threshold", saved.kick.threshold === 77 ? 78 : 77);

    await page.locator("#restore_file").setInputFiles({ name: "backup.json", mimeType: "application/json", buffer: Buffer.from(JSON.stringify(backup)) });
    await page.locator("#restore-file-button").click();
    await eventually(() => page.locator("#restore-modal").isVisible(), 10000, "preview");
    const lines = (id) => page.locator(`#${id} li`).allTextContents();
    assert.deepStrictEqual(await page.locator("#restore-changes h3").allTextContents(), ["Kick", "Snare"]);
    const changes = await lines("restore-changes");
    assert.ok(changes.includes("Kick note 60 → 51"), changes.join("\n"));
    assert.ok(changes.some((l) => /^Snare gain \S+ → 1\.22 \(rounded from 1\.2207/.test(l)), changes.join("\n"));
    assert.deepStrictEqual((await lines("restore-skipped")).map((l) => l.split(":")[0]), ["Snare threshold 900"]);
    await page.locator("#restore-apply").click();
    await eventually(async () => /^Restored \d+ values\.$/.test(await page.locator("#restore-result").textContent()), 20000, "result");
    const restored = await getAll();
    assert.deepStrictEqual(restored.kick, saved.kick);
    assert.strictEqual(restored.snare.gain, Math.round(1.22 * 32768));
    assert.strictEqual(restored.snare.threshold, saved.snare.threshold);
    await page.locator("#restore-cancel").click();
    assert.ok(!(await page.locator("#restore-modal").isVisible()));

    // The demo's module always opens: the reason for one that does not is the answer of "/state".
    await page.route("**/state", (route) => route.fulfill({ json: { connected: false, unsaved: false, problem: "busy" } }));
    demo.kill("SIGUSR1");
    await eventually(() => page.locator("#disconnected-problem").isVisible(), 10000, "problem line");
    assert.match(await page.locator("#disconnected").textContent(), /board is connected.*another program holds/is);
});
