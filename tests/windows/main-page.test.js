// The main page as the Windows program serves it under Wine, in headless Chromium: the kick's
// values come from the simulated module through COM5, and a change made on the page reaches it.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const readline = require("node:readline");
const { spawn } = require("node:child_process");
const { chromium } = require("playwright-core");
const { origin, openPage, getAll, eventually, editorReady } = require("../browser/helpers.js");

const rig = { output: "" };
const lines = [];

// The module's commands since the last call, as the tool lists them.
async function commands() {
    const from = lines.length;
    rig.module.stdin.write("commands\nclear\n");
    await eventually(() => lines.slice(from).includes("cleared"), "the module's list of commands");
    const answer = lines.slice(from);
    return answer.slice(0, answer.indexOf("end")).map((l) => l.replace(/^command /, ""));
}

test.before(async () => {
    const link = path.join(process.env.KORVALINE_WINEPREFIX, "dosdevices", "com5");
    rig.module = spawn(process.env.KORVALINE_SIM_MODULE, ["--link", link], { stdio: ["pipe", "pipe", "inherit"] });
    readline.createInterface({ input: rig.module.stdout }).on("line", (line) => lines.push(line));
    await eventually(() => lines.some((l) => l.startsWith("tty ")), "the simulated module");
    rig.program = spawn(process.env.KORVALINE_WINE_RUN, [process.env.KORVALINE_EXE, "--headless", "--port", "COM5"],
        { stdio: ["ignore", "pipe", "pipe"] });
    for (const stream of [rig.program.stdout, rig.program.stderr]) stream.on("data", (d) => (rig.output += d));
    await eventually(async () => (await fetch(origin + "/state")).ok, "the Windows program serving", 120000);
    rig.browser = await chromium.launch({ executablePath: "/usr/bin/chromium", headless: true,
        args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--no-first-run"] });
});

test.afterEach((t) => t.passed === false && console.log("program output:\n" + rig.output));

test.after(async () => {
    await rig.browser?.close();
    if (rig.program) {
        // Asked to close as Windows asks a program: Wine makes no Ctrl+C of a SIGINT for a program
        // without a console.
        const ended = new Promise((resolve) => (rig.program.exitCode !== null ? resolve() : rig.program.once("exit", resolve)));
        spawn(process.env.KORVALINE_WINE_RUN, ["taskkill", "/im", "korvaline.exe"], { stdio: "ignore" });
        await ended;
    }
    rig.module?.stdin.end();
});

test("the kick's values load from the module and a change reaches it", async () => {
    const page = await openPage(rig.browser);
    await editorReady(page);
    const kick = (await getAll()).kick;
    await eventually(async () => (await page.locator("#midi-note").inputValue()) === String(kick.note), "the kick's note");
    const label = page.locator('range-slider[name="threshold"] .label');
    assert.strictEqual(await label.textContent(), String(kick.threshold));

    await commands();
    await page.locator('range-slider[name="threshold"]').press("ArrowUp");
    const wanted = `/set kick threshold ${kick.threshold + 1}`;
    const seen = [];
    await eventually(async () => seen.push(...(await commands())) && seen.includes(wanted), wanted);
    assert.strictEqual((await getAll()).kick.threshold, kick.threshold + 1);
    await page.context().close();
});
