// End-to-end flows against the demo program, which runs the whole application with a simulated
// module on 127.0.0.1:5000: the start sequence, a setting that reaches the module, unplugging
// and replugging (SIGUSR1), and a firmware upload through the simulated bootloader.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { spawn } = require("node:child_process");
const { launchBrowser, openPage, sleep, eventually, centre } = require("./helpers.js");

const demoPath = process.env.KORVALINE_DEMO;
const origin = "http://127.0.0.1:5000";
let demo;
let demoOutput = "";
let browser;
let page;
let apiPaths = [];

async function getAll() {
    const response = await fetch(origin + "/get_all");
    return JSON.parse(await response.text());
}

// Counts the messages that the page's own event stream delivers. After a page has been left, the
// server's stream for it still waits and takes one more message before it ends, so the tests wait
// for the noise readings to have flushed such streams before they rely on an event.
async function watchMessages(target) {
    await target.waitForFunction(() => typeof ev !== "undefined");
    await target.evaluate(() => {
        window.seenMessages = [];
        ev.addEventListener("message", (e) => window.seenMessages.push(e.data));
    });
}

async function settle(target, count = 10) {
    await eventually(() => target.evaluate((n) => window.seenMessages.length >= n, count), 15000, "noise readings");
}

test.before(async () => {
    if (!demoPath) {
        return;
    }
    const env = { ...process.env };
    delete env.DISPLAY;
    demo = spawn(demoPath, [], { env, stdio: ["ignore", "pipe", "pipe"] });
    demo.stdout.on("data", (d) => (demoOutput += d));
    demo.stderr.on("data", (d) => (demoOutput += d));
    const exited = new Promise((resolve) => demo.once("exit", (code) => resolve(code)));
    const serving = eventually(async () => (await fetch(origin + "/")).ok, 20000, "demo serving");
    const first = await Promise.race([serving, exited.then((code) => ({ code }))]);
    if (first && first.code !== undefined) {
        throw new Error(`the demo ended with ${first.code} before serving:\n${demoOutput}`);
    }
    browser = await launchBrowser();
});

test.afterEach((t) => {
    // The demo's own lines explain most failures of these flows.
    if (demo && t.passed === false) {
        console.log("demo output so far:\n" + demoOutput);
    }
});

test.after(async () => {
    if (browser) {
        await browser.close();
    }
    if (demo && demo.exitCode === null) {
        const exited = new Promise((resolve) => demo.once("exit", resolve));
        demo.kill("SIGTERM");
        const timer = setTimeout(() => demo.kill("SIGKILL"), 15000);
        await exited;
        clearTimeout(timer);
    }
});

const options = { skip: demoPath ? false : "KORVALINE_DEMO is not set" };

test("the first page sees the module arrive, reloads and runs its start sequence", options, async () => {
    let loads = 0;
    page = await openPage(browser, origin, "/", undefined, (p) => {
        p.on("framenavigated", (frame) => {
            if (frame === p.mainFrame()) {
                loads += 1;
                apiPaths = [];
            }
        });
        p.on("request", (r) => {
            const path = new URL(r.url()).pathname;
            if (/^\/(select|set|curve|get_all|save_params_all|start_noise_logger|stop_noise_logger|firmware)/.test(path)) {
                apiPaths.push(`${r.method()} ${path}`);
            }
        });
    });
    // At start the queue holds "disconnect" and then "connect": the page shows the dialog and
    // loads once more.
    await eventually(() => loads >= 2, 20000, "reload on connect");
    await eventually(() => apiPaths.includes("GET /get_all"), 10000, "settings load");
    assert.deepStrictEqual(apiPaths.slice(0, 4),
        ["GET /select/0", "GET /stop_noise_logger", "GET /start_noise_logger", "GET /get_all"]);
    const settings = await getAll();
    await eventually(async () => (await page.locator("#midi-note").inputValue()) === String(settings.kick.note),
        5000, "kick note shown");
    assert.strictEqual(await page.locator('range-slider[name="threshold"] .label').textContent(),
        String(settings.kick.threshold));
    assert.ok(!(await page.locator("#disconnected").isVisible()));
    assert.deepStrictEqual(page.foreignRequests, []);
});

test("a slider change reaches the module and /get_all reflects it", options, async () => {
    const marker = await centre(page.locator('range-slider[name="threshold"] .marker'));
    const track = await page.locator('range-slider[name="threshold"] .slider-container').boundingBox();
    const answered = page.waitForResponse((r) => r.url().endsWith("/set/kick/threshold/100"));
    await page.mouse.move(marker.x, marker.y);
    await page.mouse.down();
    await page.mouse.move(marker.x, track.y - 50, { steps: 5 });
    await page.mouse.up();
    const response = await answered;
    assert.strictEqual(await response.text(), '{"type": "message", "message": "success"}');
    assert.strictEqual((await getAll()).kick.threshold, 100);

    // The noise readings reach the threshold slider's fill and the live curve.
    await watchMessages(page);
    await settle(page, 5);
    await eventually(async () => (await page.locator("#live-curve").getAttribute("d")) !== null, 10000, "live curve");
});

test("unplugging opens the dialog and replugging reloads the page", options, async () => {
    await settle(page, 20);
    const loaded = page.waitForEvent("framenavigated", { timeout: 20000 });
    demo.kill("SIGUSR1");
    try {
        await eventually(() => page.locator("#disconnected").isVisible(), 10000, "disconnected dialog");
    } catch (error) {
        console.log("messages seen: " + (await page.evaluate(() => window.seenMessages.filter((m) => m.includes("event")))));
        throw error;
    }
    demo.kill("SIGUSR1");
    await loaded;
    await eventually(() => apiPaths.includes("GET /get_all"), 10000, "start sequence after the reload");
    assert.ok(!(await page.locator("#disconnected").isVisible()));
});

test("a firmware upload runs through the simulated bootloader with its progress dialog", options, async () => {
    await page.locator('button[data-tooltip="Advanced settings"]').click();
    await page.waitForURL(origin + "/settings.html");
    await watchMessages(page);
    await settle(page, 10);
    await page.evaluate(() => {
        window.progressSeen = [];
        const progress = document.getElementById("firmware-progress");
        new MutationObserver(() => window.progressSeen.push(progress.value)).observe(progress, { attributes: true });
        const dialog = document.getElementById("firmware-modal");
        window.dialogOpened = false;
        new MutationObserver(() => (window.dialogOpened ||= dialog.open)).observe(dialog, { attributes: true });
    });
    const image = Buffer.concat([Buffer.from("Korvaline firmware image by Talverin Acoustics\n"), Buffer.alloc(5000, 0x5a)]);
    await page.locator("#firmware_file").setInputFiles({ name: "Korvaline.bin", mimeType: "application/octet-stream", buffer: image });
    const answered = page.waitForResponse((r) => r.url().endsWith("/firmware"));
    await page.locator("#fw_upload_button").click();
    assert.strictEqual(await (await answered).text(), '{"status": "done"}');
    await eventually(() => page.evaluate(() => window.dialogOpened), 10000, "firmware dialog");
    await eventually(async () => {
        const seen = await page.evaluate(() => window.dialogOpened && !document.getElementById("firmware-modal").open);
        return seen || new URL(page.url()).pathname === "/";
    }, 60000, "end of the transfer");
    if (new URL(page.url()).pathname === "/settings.html") {
        const message = page.locator("#firmware-message");
        if (await message.isVisible()) {
            // A failed transfer must say why, in one of the transfer's sentences.
            assert.match(await message.textContent(), /\S/);
            console.log("transfer reported: " + (await message.textContent()));
        } else {
            assert.ok((await page.evaluate(() => window.progressSeen.length)) > 0, "progress was shown");
        }
        assert.strictEqual(await page.locator("#fw_upload_button").getAttribute("aria-busy"), "false");
    }

    // A refused image is reported in the card.
    if (new URL(page.url()).pathname !== "/settings.html") {
        await page.goto(origin + "/settings.html");
    }
    await page.locator("#firmware_file").setInputFiles({ name: "firmware.bin", mimeType: "application/octet-stream", buffer: image });
    await page.locator("#fw_upload_button").click();
    await eventually(() => page.locator("#firmware-message").isVisible(), 10000, "refusal shown");
    assert.strictEqual(await page.locator("#firmware-message").textContent(), "Invalid file.");
});
