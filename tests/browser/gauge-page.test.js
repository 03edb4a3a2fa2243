// The stand-alone gauge test page: dragging its threshold and typing it into the field.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { MockServer } = require("./mock-server.js");
const { launchBrowser, openPage, sleep } = require("./helpers.js");

const PORT = 5812;

test("the gauge's threshold follows a drag within 0..100 and valid typed values", async () => {
    const server = new MockServer(PORT);
    await server.start();
    const browser = await launchBrowser();
    try {
        const page = await openPage(browser, server.origin, "/gauge.html");
        const gauge = page.locator("gauge-bar");
        const threshold = () => gauge.getAttribute("data-threshold");
        const box = await page.locator("gauge-bar").evaluate((g) => {
            const r = g.shadowRoot.querySelector("canvas").getBoundingClientRect();
            return { x: r.left, y: r.top, width: r.width, height: r.height };
        });
        assert.deepStrictEqual([box.width, box.height], [400, 60]);
        const y = box.y + 30;

        // A press left of the bar starts no drag.
        await page.mouse.move(box.x + 10, y);
        await page.mouse.down();
        await page.mouse.move(box.x + 200, y, { steps: 3 });
        await page.mouse.up();
        assert.strictEqual(await threshold(), "50");

        // A press on the bar sets the threshold there, and the drag continues past its end.
        await page.mouse.move(box.x + 20 + 90, y);
        await page.mouse.down();
        assert.strictEqual(await threshold(), "25");
        assert.strictEqual(await page.locator("#thresholdInput").inputValue(), "25");
        await page.mouse.move(box.x + 600, y + 80, { steps: 4 });
        await page.mouse.up();
        assert.strictEqual(await threshold(), "100");
        assert.strictEqual(await page.locator("#thresholdInput").inputValue(), "100");
        await page.mouse.move(box.x + 100, y);
        assert.strictEqual(await threshold(), "100", "the release ends the drag");

        await page.locator("#thresholdInput").fill("150");
        assert.strictEqual(await threshold(), "100");
        await page.locator("#thresholdInput").fill("30");
        assert.strictEqual(await threshold(), "30");

        // The value moves by itself, and nothing else is requested.
        const before = await gauge.getAttribute("data-value");
        await sleep(400);
        assert.notStrictEqual(await gauge.getAttribute("data-value"), before);
        assert.deepStrictEqual(server.requests.map((r) => r.path).filter((p) => p !== "/favicon.ico"), ["/gauge.html"]);
        assert.deepStrictEqual(page.foreignRequests, []);
        await page.screenshot({ path: require("node:path").join(require("node:os").tmpdir(), "korvaline-gauge.png") });
    } finally {
        await browser.close();
        await server.stop();
    }
});
