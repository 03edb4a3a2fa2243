// Shared set-up of the browser flows that drive the demo program: temporary XDG folders, one
// headless Chromium, pages of the window's size, and waits that poll instead of sleeping.
"use strict";

const { chromium } = require("playwright-core");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");

// Chromium and the demo write caches, profiles and backups below the XDG folders.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "korvaline-browser-"));
for (const name of ["XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"]) {
    process.env[name] = fs.mkdtempSync(path.join(scratch, "x"));
}
process.on("exit", () => fs.rmSync(scratch, { recursive: true, force: true }));

const launchBrowser = () => chromium.launch({ executablePath: "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--no-first-run"] });

// Opens a page of the window's size; `prepare` may watch the page before its first load.
async function openPage(browser, origin, pathname = "/", viewport = { width: 1280, height: 720 }, prepare = null) {
    const page = await (await browser.newContext({ viewport })).newPage();
    prepare?.(page);
    await page.goto(origin + pathname);
    return page;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function eventually(check, timeoutMs = 10000, what = "condition") {
    for (const end = Date.now() + timeoutMs; Date.now() < end; await sleep(25)) {
        const result = await Promise.resolve().then(check).catch(() => false);
        if (result) return result;
    }
    throw new Error(`${what} not met within ${timeoutMs} ms`);
}

// The centre of an element in page coordinates.
async function centre(locator) {
    const box = await locator.boundingBox();
    return { x: box.x + box.width / 2, y: box.y + box.height / 2, box };
}

module.exports = { scratch, launchBrowser, openPage, sleep, eventually, centre };
