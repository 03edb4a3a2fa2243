// Small helpers shared by the widgets and the page scripts. This file is loaded first, so
// everything here is a plain global function.

// Returns a function that runs `func` once, `delay` milliseconds after its last call, with the
// receiver and arguments of that last call. A drag therefore produces one call per pause.
function debounce(func, delay = 200) {
    let timer = null;
    return function (...args) {
        const receiver = this;
        clearTimeout(timer);
        timer = setTimeout(() => {
            timer = null;
            func.apply(receiver, args);
        }, delay);
    };
}

// The module stores gains as unsigned fixed-point numbers. The integer part comes from an
// arithmetic shift of the 32-bit form, the fraction from the low bits; the text always has two
// decimals. intBits is accepted for symmetry with the module's notation and is not needed.
function fixedToFloat(rawValue, intBits, fracBits) {
    const integerPart = (rawValue | 0) >> fracBits;
    const scale = Math.pow(2, fracBits);
    const fraction = (rawValue & (scale - 1)) / scale;
    return (integerPart + fraction).toFixed(2);
}

// Scales the readings so that the largest becomes desiredMax. When the largest reading is 0
// (a silent pad) or not a positive number, every reading becomes 0, so the chart draws a flat
// line at the bottom instead of a path made of NaN.
function normalizeArrayToMax(arr, desiredMax) {
    const largest = arr.reduce((a, b) => Math.max(a, b), -Infinity);
    if (!(largest > 0) || !Number.isFinite(largest)) {
        return arr.map(() => 0);
    }
    const factor = desiredMax / largest;
    return arr.map((element) => element * factor);
}

// A chart drawn on a canvas. redraw() asks for one drawing, by the subclass's draw(), in the next
// animation frame however often it is called, and a change of the canvas's size asks for one too;
// begin() fits the canvas to its box on this screen and gives a cleared context in CSS pixels.
class CanvasChart {
    constructor(canvas) {
        this.canvas = canvas;
        this.frame = 0;
        new ResizeObserver(() => this.redraw()).observe(canvas);
    }

    redraw() {
        if (!this.frame) {
            this.frame = requestAnimationFrame(() => {
                this.frame = 0;
                this.draw();
            });
        }
    }

    begin() {
        const canvas = this.canvas;
        const width = canvas.clientWidth;
        const height = canvas.clientHeight;
        const scale = window.devicePixelRatio || 1;
        if (canvas.width !== Math.round(width * scale) || canvas.height !== Math.round(height * scale)) {
            canvas.width = Math.round(width * scale);
            canvas.height = Math.round(height * scale);
        }
        const g = canvas.getContext("2d");
        g.setTransform(scale, 0, 0, scale, 0, 0);
        g.clearRect(0, 0, width, height);
        const style = getComputedStyle(canvas);
        return { g, width, height, style, colour: (name) => style.getPropertyValue(name).trim() };
    }
}
