// The pages in headless Chromium against korvaline-demo on 127.0.0.1:5000, one flow per page and per
// live behaviour, and another site's page; answers the demo cannot give are stubbed per page.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const http = require("node:http");
const { origin, openPage, sleep, getAll, firmwareImage, eventually, editorReady, settle, demoAndBrowser } = require("./helpers.js");

const api = /^\/(select|set|curve|get_all|save_params_all|start_noise_logger|stop_noise_logger|firmware)/;
const rig = demoAndBrowser(test);
const foreign = [], contexts = [];  // contexts are closed after each test, whatever its outcome
const label = (page, name) => page.locator(`range-slider[name="${name}"] .label`).textContent();

const newPage = (address, prepare, viewport) => openPage(rig.browser, async (page) => {
    contexts.push(page.context());
    await prepare?.(page);
}, address, viewport);

// `page.api` lists the page's API requests since its last load, and any request that leaves the
// origin fails the test, as the pages must work without a network.
const open = (pathname, prepare) => newPage(pathname, async (page) => {
    await prepare?.(page);
    page.api = [];
    page.on("framenavigated", (frame) => frame === page.mainFrame() && (page.api = []));
    page.on("request", (r) => {
        if (!r.url().startsWith(origin) && !r.url().startsWith("data:")) foreign.push(r.url());
        const where = new URL(r.url()).pathname;
        if (api.test(where)) page.api.push(`${r.method()} ${where}`);
    });
});

// Presses on the element, moves through the points in one burst inside the page (so that no pause
// of a loaded machine reaches the widgets' 200 ms debounce), and releases.
async function drag(page, selector, type, points) {
    const box = await page.locator(selector).boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.down();
    await page.evaluate(({ type, points }) => {
        for (const [x, y] of points) {
            const init = { clientX: x, clientY: y, bubbles: true, buttons: 1 };
            const event = type === "pointermove" ? new PointerEvent(type, init) : new MouseEvent(type, init);
            (document.elementFromPoint(Math.max(0, x), Math.max(0, y)) ?? window).dispatchEvent(event);
        }
    }, { type, points: points(box) });
    await page.mouse.up();
}
const sliderToTop = (page, name) => drag(page, `range-slider[name="${name}"] .marker`, "pointermove",
    (b) => [[b.x + 1, b.y - 20], [b.x - 30, b.y - 400]]);

// The page's API requests with a repeated read of the settings counted once: a reply that missed
// its time-out on a busy machine is read again.
const requests = (page) => page.api.filter((p, i) => p !== "GET /get_all" || page.api[i - 1] !== p);

test.afterEach(async () => {
    while (contexts.length) await contexts.pop().close();
});
test.after(() => assert.deepStrictEqual(foreign, [], "the pages must work without a network"));

test("the main page loads each pad from the module and sends every edit to it", async () => {
    // The first stream gets the start-up "disconnect" and "connect": the page reloads once.
    const page = await open();
    await eventually(async () => page.loads >= 2 && page.api.includes("GET /get_all"), "start sequence");
    assert.deepStrictEqual(requests(page),
        ["GET /select/0", "GET /stop_noise_logger", "GET /start_noise_logger", "GET /get_all"]);

    await fetch(origin + "/set/snare/gain/1.50");
    page.api = [];
    await page.selectOption("#sensors-select", "snare");
    const snare = (await getAll()).snare;
    await eventually(async () => (await page.locator("#midi-note").inputValue()) === String(snare.note), "snare");
    assert.deepStrictEqual([await label(page, "gain"), await label(page, "threshold")], ["1.5", String(snare.threshold)]);

    // A slider dragged past its end sends one clamped value after the pause.
    await sliderToTop(page, "threshold");
    await eventually(async () => page.api.length > 2, "threshold sent");
    await sleep(500);
    assert.deepStrictEqual(requests(page), ["GET /select/1", "GET /get_all", "GET /set/snare/threshold/100"]);
    assert.strictEqual((await getAll()).snare.threshold, 100);

    // Typed times go out in the module's microseconds, scan, mask and decay in turn, each after
    // the previous answer.
    page.api = [];
    await page.locator("#scan-time").fill("500");
    await page.locator("#scan-time").press("Tab");
    await eventually(async () => page.api.length === 3, "times sent");
    assert.deepStrictEqual(page.api.map((p) => p.split("/").slice(0, 4).join("/")),
        ["GET /set/snare/scan", "GET /set/snare/mask", "GET /set/snare/decay"]);
    assert.strictEqual((await getAll()).snare.scan, 10000);
    assert.strictEqual(page.api[1], `GET /set/snare/mask/${snare.mask}`, "the mask as the module holds it");

    // The curve drawn is the module's, end points included; a drag posts the points, which the
    // module takes for the selected pad.
    assert.deepStrictEqual(await page.evaluate(() => document.getElementById("bezier-curve").values), snare.curve.p);
    page.api = [];
    await drag(page, "#p1", "mousemove", (b) => [[b.x - 10, b.y + 5], [b.x - 40, b.y + 30]]);
    await eventually(async () => page.api.length > 0, "curve sent");
    const shown = await page.evaluate(() => document.getElementById("bezier-curve").values);
    await eventually(async () => (await getAll()).snare.curve.p[1][0] === Math.trunc(shown[1][0]), "curve stored");
    assert.deepStrictEqual(page.api, ["POST /curve"]);
    // An end point keeps to its edge: dragged sideways and up, it only rises. Each curve's first
    // post is lost as one that crosses the server's close of an idle connection; its copy lands.
    const lost = new Set();
    page.expectError(/ERR_CONNECTION_RESET \S+\/curve$/);
    await page.route("**/curve", (r) => {
        const curve = r.request().postData().match(/\{"p".*\}/)[0];
        return lost.has(curve) ? r.continue() : (lost.add(curve), r.abort("connectionreset"));
    });
    await drag(page, "#p0", "mousemove", (b) => [[b.x + 40, b.y - 30]]);
    await eventually(async () => (await getAll()).snare.curve.p[0][1] > snare.curve.p[0][1], "end point raised");
    await page.unroute("**/curve");
    assert.strictEqual((await getAll()).snare.curve.p[0][0], snare.curve.p[0][0]);

    // The hi-hat controller's own editor, whose sliders name their module target.
    await page.selectOption("#sensors-select", "hhc");
    await eventually(() => page.locator("#hhc-mode").isVisible(), "hi-hat controller editor");
    assert.ok(!(await page.locator("#default-mode").isVisible()));
    const hhc = (await getAll()).hhc;
    assert.strictEqual(await label(page, "hhc-timeout"), String(hhc.timeout));
    await sliderToTop(page, "hhc-offset");
    await eventually(async () => (await getAll()).hhc.offset === 127, "offset stored");
    await sliderToTop(page, "hhc_trig-threshold");
    await eventually(async () => (await getAll()).hhc_trig.threshold === 2000, "trigger threshold stored");
});

test("each pad chosen is the pad the module selects: a curve sent then is that pad's", async () => {
    const page = await open();
    await editorReady(page);
    const pads = (await page.locator("#sensors-select option").evaluateAll((o) => o.map((e) => e.value))).filter((v) => v !== "hhc");
    for (const [i, pad] of pads.entries()) {
        await page.selectOption("#sensors-select", pad);
        await editorReady(page);
        const form = new FormData();
        form.append("file", new Blob([JSON.stringify({ p: [[0, 0], [i * 10 + 3, 100], [200, 200], [255, 255]] })]), "json_curve");
        await fetch(origin + "/curve", { method: "POST", body: form });
    }
    const all = await getAll();
    assert.deepStrictEqual(pads.map((pad) => all[pad].curve.p[1][0]), pads.map((_, i) => i * 10 + 3));
});

test("the editor shows and sends only values read from the module; a slow one is read once more", async () => {
    // The next `missing` answers of the module miss their time-out ("{}"), and "/state" says that
    // it answers `slow`ly. Keys reach the threshold slider by script, past the disabled editor: the
    // page itself must send nothing.
    let missing = Infinity, slow = null;
    const page = await open("/", async (p) => {
        await p.route("**/get_all", (r) => (missing-- > 0 ? r.fulfill({ json: {} }) : r.continue()));
        await p.route((url) => url.pathname === "/state", (r) => r.fulfill({ json: { connected: true, slow_ms: slow } }));
    });
    const status = () => page.locator("#settings-status").textContent();
    const keyToSlider = () => page.locator('range-slider[name="threshold"]')
        .evaluate((e) => e.dispatchEvent(new KeyboardEvent("keydown", { key: "End", bubbles: true })));
    const sent = () => page.api.filter((p) => /^\S+ \/(set|curve)/.test(p));
    await eventually(async () => (await status()).includes("Could not read the module's settings."), "failure");
    assert.strictEqual(page.api.filter((p) => p === "GET /get_all").length, 3);
    assert.ok(await page.locator("main").evaluate((m) => m.inert));
    await keyToSlider();
    await sleep(500);
    assert.deepStrictEqual(sent(), []);

    // Once the program has found the module slow, a read that fails is followed by another.
    [missing, slow] = [3, 254];
    await page.locator("#read-again").click();
    const kick = (await getAll()).kick;
    await eventually(async () => (await page.locator("#midi-note").inputValue()) === String(kick.note), "kick shown");
    assert.ok(!(await page.locator("#settings-status").isVisible()));
    assert.strictEqual(await page.locator("#slow-line").textContent(), "The module answers slowly (about 250 ms).");

    // Another pad whose values do not come: the kick's stay hidden, and its controls send nothing.
    missing = Infinity;
    await page.selectOption("#sensors-select", "tom1");
    await eventually(async () => (await status()).includes("Could not read"), "failure for tom1");
    assert.ok(!(await page.locator("#midi-note").isVisible()));
    await keyToSlider();
    await sleep(500);
    assert.deepStrictEqual(sent(), []);
});

test("live: noise reaches the editor, unplugging opens the dialog, replugging reloads", async () => {
    const page = await open();
    await eventually(async () => page.api.includes("GET /get_all"), "start sequence");
    await eventually(async () => (await page.locator("#live-curve").getAttribute("d")) !== null, "live curve");
    // The live curve spans its readings, one millisecond each, and every height is a number.
    const d = await page.locator("#live-curve").getAttribute("d");
    const points = [...d.matchAll(/[ML] ([^,]+),(\S+)/g)].map(([, x, y]) => [Number(x), Number(y)]);
    assert.ok(points.length > 2 && points.every(([x, y]) => isFinite(x) && isFinite(y)), d);
    assert.ok(Math.abs(points.at(-1)[0] - points.length) < 1e-6, d);
    await eventually(async () => (await page.locator('range-slider[name="threshold"] .slider-container')
        .getAttribute("style")).includes("orange"), "noise level on the threshold");
    await settle(page, 20);
    const loads = page.loads;
    rig.demo.kill("SIGUSR1");
    await eventually(() => page.locator("#disconnected").isVisible(), "disconnected dialog");
    rig.demo.kill("SIGUSR1");
    await eventually(async () => page.loads > loads && page.api.includes("GET /get_all"), "reload on connect");
    assert.ok(!(await page.locator("#disconnected").isVisible()));
});

test("a disconnect announced while the page reads the module's state shares that read", async () => {
    const reads = [];
    let answered = false;
    await newPage("/settings.html", async (p) => {
        await p.route("**/event", (r) => r.fulfill({ contentType: "text/event-stream",
            body: 'retry: 600000\ndata: {"event" : "disconnect"}\n\n' }));
        await p.route((url) => url.pathname === "/state", async (r) => {
            reads.push(r);
            if (reads.length === 1) await eventually(() => p.locator("#disconnected").isVisible(), "the disconnect");
            await r.fulfill({ json: { connected: false, unsaved: false, problem: null } });
            answered = true;
        });
    });
    await eventually(() => answered, "the read answered");
    await sleep(500);
    assert.strictEqual(reads.length, 1);
});

test("Escape closes every dialog, a pressed knob takes the keys, the pad outlasts a visit to the settings", async () => {
    const page = await open();
    await editorReady(page);
    for (const [opener, dialog] of [["#about", "#about-modal"], ["#save-button", "#save-modal"], ["#auto-threshold",
        "#auto-threshold-modal"], ["#kits-button", "#kits-modal"], ["#copy-pads-button", "#copy-modal"], ["#kit-check-open", "#kit-check-modal"]]) {
        await page.locator(opener).click();
        await eventually(() => page.locator(dialog).isVisible(), dialog);
        await page.keyboard.press("Escape");
        await eventually(() => page.locator(dialog).isHidden(), dialog + " closed");
    }
    await page.locator('range-slider[name="gain"] .marker').click();
    assert.strictEqual(await page.evaluate(() => document.activeElement.getAttribute("name")), "gain");

    await page.selectOption("#sensors-select", "tom2");
    await eventually(() => page.url() === origin + "/#pad=tom2", "the pad in the address");
    await page.getByRole("button", { name: "Advanced settings" }).click();
    await page.waitForURL("**/settings.html");
    await page.getByRole("button", { name: "Back", exact: true }).click();
    await page.waitForURL((url) => url.hash === "#pad=tom2");
    await editorReady(page);
    assert.strictEqual(await page.locator("#sensors-select").inputValue(), "tom2");
    assert.strictEqual(await page.locator("#midi-note").inputValue(), String((await getAll()).tom2.note));
    const icon = await fetch(origin + "/favicon.ico");
    assert.strictEqual(icon.headers.get("Content-Type"), "image/png");
});

// Every control that the editor shows, for a pad at its longest times and for the hi-hat
// controller: scrolled into view, it is on screen and nothing covers its middle. The chooser is
// wide enough for its longest pad name beside a long kit name, and the window's size shows the
// whole editor without scrolling, the lines about a module that holds unsaved changes and answers
// slowly included.
test("at 800x600 and 1280x720 every control of the editor can be reached and seen, the chooser read", async () => {
    const name = "Saturday rehearsal room at the back of the old hall, loud!";
    for (const [param, longest] of [["scan", 10000], ["mask", 50000], ["decay", 150000]])
        await fetch(`${origin}/set/snare/${param}/${longest}`);
    for (const [width, height] of [[800, 600], [1280, 720]]) {
        const page = await newPage("/", async (p) => {
            await p.route("**/kit", (r) => r.fulfill({ json: { name, changed: true } }));
            await p.route((url) => url.pathname === "/state", (r) => r.fulfill({ json: { connected: true, unsaved: true, held: true, slow_ms: 250 } }));
        }, { width, height });
        await eventually(async () => (await page.locator("#kit-name").getAttribute("title")) === `Kit: ${name} (changed)` &&
            (await page.locator("#slow-line").isVisible()) && (await page.locator("#held-line").isVisible()), "kit and lines");
        // The drummer's wheel reaches the page's end.
        await page.mouse.move(width - 4, height / 2);
        await page.mouse.wheel(0, 5000);
        await eventually(() => page.evaluate(() => scrollY + innerHeight >= document.documentElement.scrollHeight - 1), "the end");
        for (const pad of ["snare", "hhc"]) {
            await page.selectOption("#sensors-select", pad);
            await editorReady(page);
            // The chart takes the values a moment after the fields.
            if (pad === "snare") await eventually(async () => (await page.locator("#decay").inputValue()) === "150.0", "the chart");
            const hidden = await page.evaluate(() => [...document.querySelectorAll(`header :is(button, select),
                main :is(button, input, a, range-slider, .bezier-anchor, .resize-handle)`)].filter((e) => e.checkVisibility()).filter((e) => {
                e.scrollIntoView({ block: "center", inline: "center" });
                const r = e.getBoundingClientRect(), x = r.x + r.width / 2, y = r.y + r.height / 2;
                return !(x > 0 && y > 0 && x < innerWidth && y < innerHeight && e.contains(document.elementFromPoint(x, y)));
            }).map((e) => e.outerHTML.slice(0, 80)));
            assert.deepStrictEqual(hidden, [], `${width}x${height}, ${pad}`);
            if (width === 1280)
                assert.ok(await page.evaluate(() => document.documentElement.scrollHeight <= innerHeight), `${pad} without scrolling`);
        }
        const cut = await page.locator("#sensors-select").evaluate((select) => {
            const style = getComputedStyle(select), g = document.createElement("canvas").getContext("2d");
            g.font = style.font;
            const room = select.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
            return [...select.options].filter((o) => g.measureText(o.text).width > room).map((o) => o.text);
        });
        assert.deepStrictEqual(cut, [], `${width}x${height}`);
    }
});

test("the gauge page's threshold follows a drag within 0..100 and valid typed values", async () => {
    const page = await open("/gauge.html");
    const gauge = page.locator("gauge-bar");
    const box = await gauge.evaluate((g) => g.shadowRoot.querySelector("canvas").getBoundingClientRect().toJSON());
    const y = box.y + 30;
    await page.mouse.move(box.x + 20 + 90, y);
    await page.mouse.down();
    assert.strictEqual(await gauge.getAttribute("data-threshold"), "25");
    await page.mouse.move(box.x + 600, y + 80, { steps: 4 });
    await page.mouse.up();
    assert.strictEqual(await page.locator("#thresholdInput").inputValue(), "100");
    // A typed value within 0..100, ends included, moves it; one outside leaves it.
    for (const [typed, shown] of [["0", "0"], ["-1", "0"], ["100", "100"], ["101", "100"], ["30", "30"]]) {
        await page.locator("#thresholdInput").fill(typed);
        assert.strictEqual(await gauge.getAttribute("data-threshold"), shown, typed);
    }
});

const message = (page) => page.locator("#firmware-message");

test("the settings page reports refused, failed and broken uploads in its card", async () => {
    for (const [why, stub, name, shown] of [
        ["refused image", null, "firmware.bin", /^Invalid file\.$/],
        ["dropped connection", (p) => (p.expectError(/\/firmware$/), p.route("**/firmware", (r) => r.abort())), "Korvaline.bin", /^The upload failed/],
        ["failed transfer", (p) => p.route("**/event", (r) => r.fulfill({ contentType: "text/event-stream",
            body: ['{"event" : "firmware_upload_begin"}',
                '{"event" : "firmware_upload_error", "error": "The bootloader did not answer."}',
                '{"event" : "firmware_upload_end"}', '{"event" : "disconnect"}']
                .map((e) => `data: ${e}\n\n`).join("") })), null, /^The bootloader did not answer\.$/],
    ]) {
        const page = await newPage("/settings.html", stub);
        if (name) {
            await page.locator("#firmware_file").setInputFiles(firmwareImage(name));
            await page.locator("#fw_upload_button").click();
        }
        await eventually(() => message(page).isVisible(), why);
        assert.match(await message(page).textContent(), shown, why);
        assert.ok(!(await page.locator("#firmware-modal").isVisible()), why);
        if (name) assert.strictEqual(await page.locator("#fw_upload_button").getAttribute("aria-busy"), "false", why);
        // Once the transfer has ended, the module's comings and goings are news again.
        else await eventually(() => page.locator("#disconnected").isVisible(), "a disconnect after the end");
    }
});

test("a firmware upload runs through the simulated bootloader with its progress dialog", async () => {
    const page = await open("/settings.html");
    await settle(page, 20);
    const lines = [];
    page.on("console", (m) => lines.push(m.text()));
    await page.evaluate(() => {
        const progress = document.getElementById("firmware-progress");
        new MutationObserver(() => console.log("progress " + progress.value)).observe(progress, { attributes: true });
        const card = document.getElementById("firmware-message");
        new MutationObserver(() => console.log("card " + card.textContent)).observe(card, { attributes: true });
    });
    await page.locator("#firmware_file").setInputFiles(firmwareImage("Korvaline.bin"));
    const answered = page.waitForResponse((r) => r.url().endsWith("/firmware"));
    await page.locator("#fw_upload_button").click();
    assert.strictEqual(await (await answered).text(), '{"status": "done"}');
    // The module leaves the bus for the bootloader and comes back: the page stays until the end of
    // the transfer closes the dialog, and only then follows the module's return to the main page.
    await eventually(async () => lines.includes("close firmware modal"), "end of the transfer", 90000);
    await page.waitForURL(origin + "/");
    assert.strictEqual(lines.filter((l) => l === "open firmware modal").length, 2, lines.join());
    assert.ok(lines.filter((l) => l.startsWith("progress ")).length > 10, lines.join());
    assert.deepStrictEqual(lines.filter((l) => l.startsWith("card ") && l !== "card "), []);
    assert.match(rig.output, /checksum = \d+/);
});

test("another site's page cannot drive the module; the program's own page can", async () => {
    const hostile = http.createServer((req, res) => res.writeHead(200, { "Content-Type": "text/html" }).end(`<form id="f" method="POST"
        action="${origin}/curve" enctype="multipart/form-data" target="sink"><input name="file" value="{}"></form>
        <iframe name="sink"></iframe><img src="${origin}/set/kick/threshold/1"><script>
        fetch("${origin}/set/kick/note/2", { mode: "no-cors" }).catch(() => {});
        document.getElementById("f").submit();</script>`));
    await new Promise((resolve) => hostile.listen(5190, "127.0.0.1", resolve));
    const answers = [], before = rig.output.length;
    const watch = (page) => page.on("response", (r) => r.url().startsWith(origin) && answers.push(r.status()));
    try {
        await newPage("http://127.0.0.1:5190/", watch);
        await eventually(async () => answers.length >= 2, "the hostile requests");
        await sleep(500);
    } finally {
        hostile.close();
    }
    assert.ok(answers.every((status) => status === 403), answers.join());
    assert.ok(!rig.output.slice(before).includes("cmd = "), "a command reached the module");
    const own = await newPage("/gauge.html");
    assert.strictEqual(await own.evaluate(async () => (await fetch("/set/kick/threshold/7")).status), 200);
    await eventually(async () => rig.output.includes("cmd = '/set kick threshold 7'"), "the own request");
});
