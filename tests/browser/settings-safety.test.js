// The settings' safety features in the pages, end to end against the demo program.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const { origin, openPage, getAll, firmwareImage, eventually, editorReady, settle, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test);

// The unsaved marker: the dot on the save button, the button's tooltip and the page's title.
const marker = async (page) => [await page.locator("#save-button .unsaved-dot").isVisible(),
    await page.locator("#save-button").getAttribute("data-tooltip"), await page.title()].join(" | ");
const clean = "false | Save config | Korvaline App";

test("unsaved marker, backup restored through its preview, safety copy, port problem", async () => {
    const page = await openPage(rig.browser);
    await eventually(async () => page.loads >= 2 && (await page.evaluate(() => typeof ev !== "undefined")), "reload");
    await settle(page, 5);
    await editorReady(page);
    assert.strictEqual(await marker(page), clean);
    // Typed, then left: one change, as a drummer makes it. A change dispatched by hand was followed
    // by the browser's own when the Save click took the focus, and that /set raced the save.
    await page.locator("#midi-note").fill("51").then(() => page.locator("#midi-note").press("Tab"));
    await eventually(async () => (await marker(page)) === "true | Unsaved changes | • Korvaline App", "marker shown");
    await page.locator("#save-button").click();
    await page.locator('#save-modal button[aria-label="Save"]').click();
    await eventually(async () => (await marker(page)) === clean && !(await page.locator("#save-modal").isVisible()), "saved");

    // A gain between two hundredths and an impossible threshold, to be rounded and skipped.
    const saved = await getAll();
    await page.goto(origin + "/settings.html");
    const [download] = await Promise.all([page.waitForEvent("download"), page.locator("#backup-download").click()]);
    assert.match(download.suggestedFilename(), /^korvaline-settings-\d{8}-\d{6}\.json$/);
    const backup = JSON.parse(fs.readFileSync(await download.path(), "utf8"));
    const silent = "The module did not answer: no backup was made.";
    page.expectError(/503 \(Service Unavailable\) \S+\/backup$/);
    await page.route("**/backup", (r) => r.fulfill({ status: 503, json: { type: "error", error: silent } }));
    await page.locator("#backup-download").click();
    await eventually(async () => (await page.locator("#backup-message").textContent()) === silent, "the refusal shown");
    await page.unroute("**/backup");
    backup.settings.snare.gain = 40000;
    backup.settings.snare.threshold = 900;
    await fetch(origin + "/set/kick/note/60");
    await fetch(`${origin}/set/kick/threshold/${saved.kick.threshold === 77 ? 78 : 77}`);

    await page.locator("#restore_file").setInputFiles({ name: "backup.json", mimeType: "application/json", buffer: Buffer.from(JSON.stringify(backup)) });
    await page.locator("#restore-file-button").click();
    await eventually(() => page.locator("#restore-modal").isVisible(), "preview");
    const lines = (id) => page.locator(`#${id} li`).allTextContents();
    assert.deepStrictEqual(await page.locator("#restore-changes h3").allTextContents(), ["Kick", "Snare"]);
    const changes = await lines("restore-changes");
    assert.ok(changes.includes("Kick note 60 → 51"), changes.join("\n"));
    assert.ok(changes.some((l) => /^Snare gain \S+ → 1\.22 \(rounded from 1\.2207/.test(l)), changes.join("\n"));
    assert.deepStrictEqual((await lines("restore-skipped")).map((l) => l.split(":")[0]), ["Snare threshold 900"]);
    await page.locator("#restore-apply").click();
    await eventually(async () => /^Restored \d+ values\.$/.test(await page.locator("#restore-result").textContent()), "result");
    const restored = await getAll();
    assert.deepStrictEqual([restored.kick, restored.snare.gain, restored.snare.threshold],
        [saved.kick, Math.round(1.22 * 32768), saved.snare.threshold]);
    await page.locator("#restore-cancel").click();

    // A firmware transfer begins with a copy of the settings, named in its dialog and listed.
    await page.locator("#firmware_file").setInputFiles(firmwareImage("Korvaline.bin"));
    await page.locator("#fw_upload_button").click();
    await eventually(() => page.locator("#safety-copy-message").isVisible(), "safety copy");
    const copy = /^The settings were copied to "(auto-korvaline-settings-\d{8}-\d{6}\.json)"/.exec(await page.locator("#safety-copy-message").textContent())[1];
    await eventually(async () => (await page.locator("#stored-copies").textContent()).includes(copy), "copy listed");
    // Once the transfer has ended and the module is back, whichever came last, the page follows
    // the module to the editor: only then does the copy's preview find the module. The editor is
    // left once it has read the module, its noise logger restarted.
    await page.waitForURL(origin + "/", { timeout: 60000 });
    await editorReady(page);
    await page.goto(origin + "/settings.html");
    await page.locator(`button[aria-label="Restore ${copy}"]`).click();
    await eventually(() => page.locator("#restore-modal").isVisible(), "preview of the copy");
    assert.deepStrictEqual([await lines("restore-changes"), await page.locator("#restore-apply").isDisabled()], [[], true]);
    await page.locator("#restore-cancel").click();

    // The demo's module always opens: the reason for one that does not is the answer of "/state".
    await settle(page, 5);
    await page.route((url) => url.pathname === "/state", (route) => route.fulfill({ json: { connected: false, unsaved: false, problem: "busy" } }));
    rig.demo.kill("SIGUSR1");
    await eventually(() => page.locator("#disconnected-problem").isVisible(), "problem line");
    assert.match(await page.locator("#disconnected").textContent(), /board is connected.*another program holds/is);
});
