// The settings page against the mock server: the firmware upload with its progress dialog, a
// refused, failed or aborted upload, and the live events.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { parseMultipart } = require("./mock-server.js");
const { openPage, sleep, eventually, mockServerAndBrowser } = require("./helpers.js");

const PORT = 5811;
const shared = mockServerAndBrowser(test, PORT);

const image = { name: "Korvaline.bin", mimeType: "application/octet-stream", buffer: Buffer.from("Korvaline by Talverin Acoustics") };

async function loadSettings() {
    shared.server.reset();
    const page = await openPage(shared.browser, shared.server.origin, "/settings.html");
    await eventually(() => shared.server.requests.some((r) => r.path === "/event"), 5000, "event stream open");
    return page;
}

const busy = (page) => page.locator("#fw_upload_button").getAttribute("aria-busy");
const message = (page) => page.locator("#firmware-message");

test("an accepted upload shows the progress dialog and closes it at the end", async () => {
    const page = await loadSettings();
    let answerUpload;
    shared.server.firmwareHandler = (req, res, body) => {
        answerUpload = () => {
            res.writeHead(200, { "Content-Type": "application/json" });
            res.end('{"status": "done"}');
        };
    };
    await page.locator("#firmware_file").setInputFiles(image);
    await page.locator("#fw_upload_button").click();
    const [request] = await shared.server.waitFor((r) => r.path === "/firmware");
    assert.strictEqual(await busy(page), "true");
    const parts = parseMultipart(request.contentType, request.body);
    assert.deepStrictEqual(parts.map((p) => [p.name, p.filename, p.contentType]),
        [["firmware_file", "Korvaline.bin", "application/octet-stream"]]);
    assert.strictEqual(parts[0].content.toString(), image.buffer.toString());

    // The events may come before the answer; the dialog follows them alone.
    shared.server.publish('{"event" : "firmware_upload_begin"}');
    shared.server.publish('{"event" : "firmware_upload_begin"}');
    await eventually(() => page.locator("#firmware-modal").isVisible());
    answerUpload();
    await eventually(async () => (await busy(page)) === "false");
    shared.server.publish('{"event" : "firmware_upload_progress", "value":42}');
    await eventually(async () => (await page.locator("#firmware-progress").evaluate((p) => p.value)) === 42);
    // The module re-enumerates during the transfer; that must not reload the page.
    shared.server.publish('{"event" : "disconnect"}');
    shared.server.publish('{"event" : "connect"}');
    shared.server.publish('{"event" : "firmware_upload_progress", "value":99}');
    await eventually(async () => (await page.locator("#firmware-progress").evaluate((p) => p.value)) === 99);
    assert.ok(!(await page.locator("#disconnected").isVisible()));
    assert.strictEqual(new URL(page.url()).pathname, "/settings.html");
    shared.server.publish('{"event" : "firmware_upload_end"}');
    await eventually(async () => (await page.locator("#firmware-modal").getAttribute("open")) === null);
    assert.ok(!(await message(page).isVisible()), "a good upload shows no message");
    assert.ok(page.consoleLines.includes("open firmware modal") && page.consoleLines.includes("close firmware modal"));
    await page.context().close();
});

test("a refused or failed upload request shows why and leaves the button's busy state", async () => {
    const answer = (status, type, text) => (req, res) => {
        res.writeHead(status, { "Content-Type": type });
        res.end(text);
    };
    for (const [why, handler, shown] of [
        ["refused", answer(200, "application/json", '{"type": "error", "error": "Invalid file."}'), /^Invalid file\.$/],
        ["connection dropped", (req) => req.socket.destroy(), /^The upload failed/],
        ["answer not JSON", answer(500, "text/plain", "Internal Server Error"), /./],
    ]) {
        const page = await loadSettings();
        shared.server.firmwareHandler = handler;
        await page.locator("#firmware_file").setInputFiles(image);
        await page.locator("#fw_upload_button").click();
        await eventually(() => message(page).isVisible(), 10000, why);
        assert.match(await message(page).textContent(), shown, why);
        await eventually(async () => (await busy(page)) === "false", 5000, why);
        assert.ok(!(await page.locator("#firmware-modal").isVisible()), why);
        await page.context().close();
    }
});

test("a transfer that fails shows its sentence in the card after the dialog closes", async () => {
    const page = await loadSettings();
    shared.server.publish('{"event" : "firmware_upload_begin"}');
    await eventually(() => page.locator("#firmware-modal").isVisible());
    shared.server.publish('{"event" : "firmware_upload_error", "error": "The bootloader did not answer."}');
    shared.server.publish('{"event" : "firmware_upload_end"}');
    await eventually(async () => (await page.locator("#firmware-modal").getAttribute("open")) === null);
    assert.strictEqual(await message(page).textContent(), "The bootloader did not answer.");
    assert.ok(await message(page).isVisible());
    // The next transfer starts with a clean card.
    shared.server.publish('{"event" : "firmware_upload_begin"}');
    await eventually(async () => !(await message(page).isVisible()));
    shared.server.publish('{"event" : "firmware_upload_end"}');
    await page.context().close();
});

test("disconnect opens the dialog, noise is ignored, and connect returns to the main page", async () => {
    const page = await loadSettings();
    await page.locator("#about").click();
    assert.ok(await page.locator("#about-modal").isVisible());
    await page.locator('#about-modal button[rel="prev"]').click();
    assert.strictEqual(await page.locator("#about-modal").getAttribute("open"), null);

    shared.server.publish('{"event" : "disconnect"}');
    await eventually(() => page.locator("#disconnected").isVisible());
    shared.server.publish('{"value": "12"}');
    shared.server.publish('{"curve": "[1,2,3]"}');
    shared.server.publish('{"event" : "exit"}');
    await eventually(async () => (await page.locator("#disconnected").getAttribute("open")) === null);
    assert.ok(!page.consoleLines.some((l) => l.startsWith("event error")), page.consoleLines.join("\n"));
    shared.server.publish('{"event" : "connect"}');
    await page.waitForURL(shared.server.origin + "/");
    await shared.server.waitFor((r) => r.path === "/get_all");
    assert.deepStrictEqual(page.foreignRequests, []);
    await page.context().close();
});
