// Shared set-up of the browser flows against the demo program; waits poll instead of sleeping.
"use strict";

const { chromium } = require("playwright-core");
const assert = require("node:assert");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");

const origin = "http://127.0.0.1:5000";

// Chromium and the demo write caches, profiles and backups below the XDG folders.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "korvaline-browser-"));
for (const name of ["XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"])
    process.env[name] = fs.mkdtempSync(path.join(scratch, "x"));
process.on("exit", () => fs.rmSync(scratch, { recursive: true, force: true }));

// Every uncaught error and console error of the program's pages fails the test in which it came
// (demoAndBrowser checks after each test), but for the failed loads a test provokes itself and
// names with page.expectError(pattern). Another site's page is none of the program's.
const pageErrors = [];
function watchErrors(page) {
    const expected = [];
    page.expectError = (pattern) => expected.push(pattern);
    const note = (text) => page.url().startsWith(origin) && !expected.some((p) => p.test(text)) &&
        pageErrors.push(`${page.url()}: ${text}`);
    page.on("pageerror", (error) => note(error.message));
    page.on("console", (message) => message.type() === "error" && note(`${message.text()} ${message.location().url}`));
}

// Opens a page (the main page unless told) at the window's size, counting its loads; `prepare` may
// watch or stub it before the first.
async function openPage(browser, prepare, address = "/", viewport = { width: 1280, height: 720 }) {
    const page = await (await browser.newContext({ viewport })).newPage();
    page.loads = 0;
    page.on("framenavigated", (frame) => (page.loads += frame === page.mainFrame() ? 1 : 0));
    watchErrors(page);
    await prepare?.(page);
    await page.goto(new URL(address, origin).href);
    return page;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// The module's settings. A reply that misses the route's 100 ms time-out on a busy machine answers
// "{}": read again until the module's answer comes.
const getAll = () => eventually(async () => {
    const all = await (await fetch(origin + "/get_all")).json();
    return Object.keys(all).length > 0 && all;
}, "the module's settings");
const firmwareImage = (name) => ({ name, mimeType: "application/octet-stream",
    buffer: Buffer.concat([Buffer.from("Korvaline firmware by Talverin Acoustics\n"), Buffer.alloc(5000, 0x5a)]) });

async function eventually(check, what, ms = 20000) {
    for (const end = Date.now() + ms; Date.now() < end; await sleep(25)) {
        const result = await Promise.resolve().then(check).catch(() => false);
        if (result) return result;
    }
    throw new Error(`${what}: not within ${ms} ms`);
}

// Waits until the main page's editor shows values read from the module (it is inert until then,
// and its controls send nothing).
const editorReady = (page) => eventually(() => page.evaluate(() => !document.querySelector("main").inert), "the editor's values");

// Waits until the page's own stream has delivered `count` noise readings: a stream whose page has
// gone takes one more text before it ends, and an event a test relies on must not be that text.
async function settle(page, count) {
    await page.evaluate(() => { window.readings = 0; ev.addEventListener("message", () => window.readings++); });
    await eventually(() => page.evaluate((n) => window.readings >= n, count), "noise readings");
}

// One headless demo program (it serves until SIGTERM), with `environment` added to its own, and one
// browser for a whole test file; the demo's output is shown when a test fails.
function demoAndBrowser(test, environment = {}) {
    const rig = { demo: null, browser: null, output: "" };
    // A file's own before hook may need the demo first: it awaits started().
    rig.started = () => (rig.starting ??= (async () => {
        const { DISPLAY, WAYLAND_DISPLAY, ...env } = process.env;
        rig.demo = spawn(process.env.KORVALINE_DEMO, [], { env: { ...env, ...environment }, stdio: ["ignore", "pipe", "pipe"] });
        for (const stream of [rig.demo.stdout, rig.demo.stderr]) stream.on("data", (d) => (rig.output += d));
        await eventually(async () => (await fetch(origin + "/get_all")).ok, "the demo serving", 60000);
        rig.browser = await chromium.launch({ executablePath: "/usr/bin/chromium", headless: true,
            args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--no-first-run"] });
    })());
    test.before(() => rig.started());
    test.afterEach((t) => t.passed === false && console.log("demo output:\n" + rig.output));
    test.afterEach(() => assert.deepStrictEqual(pageErrors.splice(0), [], "errors on the pages"));
    test.after(async () => {
        await rig.browser?.close();
        rig.demo.kill("SIGTERM");
        await new Promise((resolve) => (rig.demo.exitCode !== null ? resolve() : rig.demo.once("exit", resolve)));
    });
    return rig;
}

module.exports = { origin, scratch, openPage, sleep, getAll, firmwareImage, eventually, editorReady, settle, demoAndBrowser };
