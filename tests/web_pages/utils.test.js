// The shared helpers of the pages, run in a plain script context as the browser runs them.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");

const source = fs.readFileSync(path.join(__dirname, "..", "..", "web_resources", "assets", "js", "utils.js"), "utf8");

// A fresh context per test, with a fake clock so that the debounce is tested without sleeping.
function loadUtils() {
    const timers = new Map();
    let now = 0;
    let nextId = 1;
    const context = {
        setTimeout: (fn, delay) => {
            const id = nextId++;
            timers.set(id, { fn, at: now + delay });
            return id;
        },
        clearTimeout: (id) => timers.delete(id),
        Math,
        Number,
    };
    vm.createContext(context);
    vm.runInContext(source, context);
    context.advance = (ms) => {
        now += ms;
        for (const [id, timer] of [...timers].sort((a, b) => a[1].at - b[1].at)) {
            if (timer.at <= now) {
                timers.delete(id);
                timer.fn();
            }
        }
    };
    context.pendingTimers = () => timers.size;
    return context;
}

test("fixedToFloat converts gains with 15 fraction bits to two decimals", () => {
    const { fixedToFloat } = loadUtils();
    assert.strictEqual(fixedToFloat(65536, 16, 15), "2.00");
    assert.strictEqual(fixedToFloat(49152, 16, 15), "1.50");
    assert.strictEqual(fixedToFloat(32768, 16, 15), "1.00");
    assert.strictEqual(fixedToFloat(0, 16, 15), "0.00");
    // 0.125 lies exactly between two texts; the tie rounds up.
    assert.strictEqual(fixedToFloat(4096, 16, 15), "0.13");
    // The integer part is an arithmetic shift of the 32-bit form, as the module computes it.
    assert.strictEqual(fixedToFloat(0xffffffff, 16, 15), (-1 + 32767 / 32768).toFixed(2));
    assert.strictEqual(fixedToFloat(163840, 0, 15), "5.00", "intBits takes no part");
});

test("debounce runs once, on the trailing edge, with the last receiver and arguments", () => {
    const utils = loadUtils();
    const calls = [];
    const receiverA = { name: "a" };
    const receiverB = { name: "b" };
    const debounced = utils.debounce(function (...args) {
        calls.push({ receiver: this, args });
    });
    debounced.call(receiverA, 1);
    utils.advance(150);
    debounced.call(receiverB, 2, 3);
    utils.advance(199);
    assert.strictEqual(calls.length, 0, "each call restarts the 200 ms default delay");
    utils.advance(1);
    assert.strictEqual(calls.length, 1);
    assert.strictEqual(calls[0].receiver, receiverB);
    assert.deepStrictEqual(calls[0].args, [2, 3]);
    utils.advance(1000);
    assert.strictEqual(calls.length, 1, "no further call without a new one");
    assert.strictEqual(utils.pendingTimers(), 0);

    const quick = utils.debounce(() => calls.push("quick"), 50);
    quick();
    utils.advance(50);
    assert.strictEqual(calls.at(-1), "quick", "the delay can be given");

    // Two debounced functions keep separate timers.
    const first = utils.debounce(() => calls.push("first"));
    const second = utils.debounce(() => calls.push("second"));
    first();
    second();
    utils.advance(200);
    assert.deepStrictEqual(calls.slice(-2), ["first", "second"]);
});

test("normalizeArrayToMax scales so that the largest reading becomes the maximum", () => {
    const { normalizeArrayToMax } = loadUtils();
    assert.deepStrictEqual([...normalizeArrayToMax([1, 2, 4], 300)], [75, 150, 300]);
    assert.deepStrictEqual([...normalizeArrayToMax([5], 300)], [300]);
    const input = [3, 6];
    normalizeArrayToMax(input, 300);
    assert.deepStrictEqual(input, [3, 6], "the input is left alone");
    // A silent pad gives only zeros; the chart then draws a flat line instead of nothing.
    assert.deepStrictEqual([...normalizeArrayToMax([0, 0, 0], 300)], [0, 0, 0]);
    assert.deepStrictEqual([...normalizeArrayToMax([], 300)], []);
    const large = Array.from({ length: 200000 }, (_, i) => i);
    assert.strictEqual(normalizeArrayToMax(large, 300).at(-1), 300, "long runs do not overflow the stack");
});
