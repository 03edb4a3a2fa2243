// The question before the app window closes (Edge's app window on Windows): the pages ask through
// the browser while the module holds unsaved changes, only in the window the program opened at
// "/?window=app", and never on a move between the program's own pages.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { origin, openPage, eventually, demoAndBrowser } = require("./helpers.js");

const rig = demoAndBrowser(test);

const unsaved = async () => (await (await fetch(origin + "/state")).json()).unsaved;

// Opens the page, answering each question the browser asks with `answer` and noting it.
const questioned = (address, questions, answer) => openPage(rig.browser, (page) => page.on("dialog", (dialog) => {
    questions.push(`${dialog.type()} on ${new URL(page.url()).pathname}`);
    return answer.keep ? dialog.dismiss() : dialog.accept();
}), address);
// The browser asks before unloading only a page the user has used.
const use = (page) => page.locator("h1").click();
// The page knows what the module holds: the main page marks it in its title, the settings page has
// read "/state".
const marked = (page, value) => eventually(async () => (await page.title()).startsWith("•") === value, `marker ${value}`);
const closing = async (page) => {
    const closed = new Promise((resolve) => page.once("close", resolve));
    await page.close({ runBeforeUnload: true });
    return closed;
};

test("the app window asks before closing with unsaved changes, and only then", async () => {
    await rig.started();
    await fetch(origin + "/set/kick/note/40");
    await eventually(unsaved, "unsaved changes");

    const questions = [];
    const answer = { keep: true };
    const window = await questioned("/?window=app", questions, answer);
    // The first page of a fresh program reloads on the module's connect.
    await eventually(() => window.loads >= 2, "reload on connect");
    await marked(window, true);
    await use(window);
    // Moves between the program's pages ask nothing: a button to the settings...
    await Promise.all([window.waitForResponse("**/state"), window.locator('button[aria-label="Advanced settings"]').click()]);
    await use(window);
    // ... where closing asks, and "Cancel" keeps the window; then back (a step through the
    // history), and a reload.
    await window.close({ runBeforeUnload: true });
    await eventually(() => questions.length === 1, "the question");
    assert.strictEqual(await window.evaluate(() => location.pathname), "/settings.html");
    await Promise.all([window.waitForURL((url) => url.pathname === "/"), window.locator('button[aria-label="Back"]').click()]);
    await use(window);
    await Promise.all([window.waitForEvent("load"), window.evaluate(() => location.reload())]);
    await marked(window, true);
    await use(window);
    answer.keep = false;
    await closing(window);
    assert.deepStrictEqual(questions, ["beforeunload on /settings.html", "beforeunload on /"]);

    // A browser's tab never asks, as the Linux window must not (it asks itself).
    const tab = await questioned("/", questions, answer);
    await marked(tab, true);
    await use(tab);
    await closing(tab);

    // Nothing unsaved, nothing asked.
    await fetch(origin + "/save_params_all");
    await eventually(async () => !(await unsaved()), "saved");
    const saved = await questioned("/?window=app", questions, answer);
    await marked(saved, false);
    await use(saved);
    await closing(saved);
    assert.strictEqual(questions.length, 2, questions.join("\n"));
});
