// Shared set-up of the browser tests: one headless Chromium per test file, pages of the app's
// window size, and small waits that poll instead of sleeping for fixed times.
"use strict";

const { chromium } = require("playwright-core");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");

// Chromium and the demo program write caches and profiles below the XDG folders: give each test
// file folders of its own, removed when it ends.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "korvaline-browser-"));
for (const [name, sub] of [["XDG_CONFIG_HOME", "config"], ["XDG_CACHE_HOME", "cache"],
                           ["XDG_DATA_HOME", "data"], ["XDG_RUNTIME_DIR", "runtime"]]) {
    const dir = path.join(scratch, sub);
    fs.mkdirSync(dir, { mode: 0o700 });
    process.env[name] = dir;
}
process.on("exit", () => fs.rmSync(scratch, { recursive: true, force: true }));

const launchOptions = {
    executablePath: process.env.KORVALINE_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: [
        "--no-sandbox",
        "--disable-gpu",
        "--disable-background-networking",
        "--disable-component-update",
        "--no-first-run",
        "--disable-sync",
    ],
};

function launchBrowser() {
    return chromium.launch(launchOptions);
}

// Opens a page of the window's size. Any request that leaves the app's own origin fails the
// test: the pages must work without a network.
async function openPage(browser, origin, pathname = "/", viewport = { width: 1280, height: 720 }, prepare = null) {
    const context = await browser.newContext({ viewport });
    const page = await context.newPage();
    page.foreignRequests = [];
    page.consoleLines = [];
    page.on("request", (request) => {
        if (!request.url().startsWith(origin) && !request.url().startsWith("data:")) {
            page.foreignRequests.push(request.url());
        }
    });
    page.on("console", (message) => page.consoleLines.push(message.text()));
    if (prepare) {
        prepare(page);
    }
    await page.goto(origin + pathname);
    return page;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function eventually(check, timeoutMs = 10000, what = "condition") {
    const end = Date.now() + timeoutMs;
    let lastError = null;
    while (Date.now() < end) {
        try {
            const result = await check();
            if (result) {
                return result;
            }
        } catch (error) {
            lastError = error;
        }
        await sleep(25);
    }
    throw new Error(`${what} not met within ${timeoutMs} ms` + (lastError ? `: ${lastError.message}` : ""));
}

// The centre of an element in page coordinates.
async function centre(locator) {
    const box = await locator.boundingBox();
    return { x: box.x + box.width / 2, y: box.y + box.height / 2, box };
}

// One mock server on `port` and one browser for a whole test file, started before its first test
// and stopped after its last. The returned object's fields are filled in by then.
function mockServerAndBrowser(test, port) {
    const { MockServer } = require("./mock-server.js");
    const shared = { server: null, browser: null };
    test.before(async () => {
        shared.server = new MockServer(port);
        await shared.server.start();
        shared.browser = await launchBrowser();
    });
    test.after(async () => {
        await shared.browser.close();
        await shared.server.stop();
    });
    return shared;
}

module.exports = { scratch, launchBrowser, openPage, sleep, eventually, centre, mockServerAndBrowser };
