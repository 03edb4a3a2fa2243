// A page of another site, open in the user's ordinary browser, must not reach the module through
// the program's local server: neither by a form post, a script request nor an image, nor through a
// host name rebound to 127.0.0.1. The program's own pages keep working.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const http = require("node:http");
const { spawn } = require("node:child_process");
const { launchBrowser, eventually } = require("../browser/helpers.js");

const program = process.env.KORVALINE_DEMO_BIN;
const hostilePort = 5190;

const hostilePage = `<!DOCTYPE html><html><body>
<form id="f" method="POST" action="http://127.0.0.1:5000/curve" enctype="multipart/form-data" target="sink">
  <input name="file" value='{"p":[[0,0],[0,0],[0,0],[0,0]]}'>
</form>
<iframe name="sink"></iframe>
<img src="http://127.0.0.1:5000/set/kick/threshold/1">
<script>
  fetch("http://127.0.0.1:5000/set/kick/note/2", {mode: "no-cors"}).catch(() => {});
  fetch("http://127.0.0.1:5000/save_params_all", {mode: "no-cors"}).catch(() => {});
  document.getElementById("f").submit();
</script></body></html>`;

// Headless, with the temporary XDG folders the browser helpers set for this process.
function startProgram() {
    const env = { ...process.env };
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    const child = spawn(program, [], { env, stdio: ["ignore", "pipe", "pipe"] });
    child.output = "";
    child.stdout.on("data", (d) => (child.output += d));
    child.stderr.on("data", (d) => (child.output += d));
    return child;
}

test("another site's page cannot drive the module", async () => {
    const child = startProgram();
    const hostile = http.createServer((req, res) => {
        res.writeHead(200, { "Content-Type": "text/html" });
        res.end(hostilePage);
    });
    await new Promise((r) => hostile.listen(hostilePort, "127.0.0.1", r));
    const browser = await launchBrowser();
    try {
        await eventually(() => child.output.includes("serving the Korvaline pages"), 60000, "start-up");
        const context = await browser.newContext();
        const page = await context.newPage();
        const answers = [];
        page.on("response", (r) => {
            if (r.url().startsWith("http://127.0.0.1:5000/")) answers.push(r.status());
        });
        await page.goto(`http://127.0.0.1:${hostilePort}/`);
        await eventually(() => answers.length >= 2, 10000, "the hostile requests");
        await page.waitForTimeout(500);
        assert.ok(answers.every((s) => s === 403), "answers: " + answers.join(","));
        // The set route logs every command it sends; none may have run.
        assert.ok(!child.output.includes("cmd = "), child.output);

        // The same request from the program's own page goes through.
        const own = await context.newPage();
        await own.goto("http://127.0.0.1:5000/gauge.html");
        const status = await own.evaluate(async () => (await fetch("/set/kick/threshold/7")).status);
        assert.strictEqual(status, 200);
        await eventually(() => child.output.includes("cmd = '/set kick threshold 7'"), 5000, "the own request");
    } finally {
        await browser.close();
        hostile.close();
        child.kill("SIGTERM");
        await new Promise((r) => child.on("exit", r));
    }
});
