// The noise history beside the threshold slider: the selected pad's noise readings of the last
// 30 seconds as a strip chart, with the threshold as a dashed line and the highest reading marked.
// The readings arrive about eight times a second; each one only asks for a redraw in the next
// animation frame, so a burst of them costs one drawing. Choosing another pad starts over.

// Calls back with every noise reading, as a number, that the page's event stream delivers. The
// stream is the one events.js opened, which is loaded before this file.
function onNoiseReading(callback) {
    ev.addEventListener("message", (e) => {
        try {
            const message = JSON.parse(e.data);
            const reading = Number(message.value);
            if (!("event" in message) && "value" in message && Number.isFinite(reading)) {
                callback(reading);
            }
        } catch (error) {
            // events.js already logs messages that are not JSON.
        }
    });
}

class NoiseHistory {
    static span = 30000;

    constructor(canvas, slider) {
        this.canvas = canvas;
        this.slider = slider;
        this.readings = []; // { t: milliseconds on the page's clock, v: reading }, oldest first
        this.frame = 0;
        // The slider updates its announced value on every move, by hand or by program.
        new MutationObserver(() => this.redraw()).observe(slider, { attributeFilter: ["aria-valuenow"] });
        new ResizeObserver(() => this.redraw()).observe(canvas);
    }

    add(reading) {
        const now = performance.now();
        this.readings.push({ t: now, v: reading });
        while (this.readings[0].t < now - NoiseHistory.span) {
            this.readings.shift();
        }
        this.redraw();
    }

    clear() {
        this.readings = [];
        this.redraw();
    }

    redraw() {
        if (!this.frame) {
            this.frame = requestAnimationFrame(() => {
                this.frame = 0;
                this.draw();
            });
        }
    }

    draw() {
        const { canvas, readings } = this;
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
        const colour = (name) => style.getPropertyValue(name).trim();

        const threshold = this.slider.threshold;
        const highest = readings.reduce((best, r) => (best === null || r.v >= best.v ? r : best), null);
        // The scale leaves room above the threshold and the highest reading, whichever is higher.
        const top = Math.max(10, threshold, highest ? highest.v : 0) * 1.25;
        const y = (v) => height - (Math.max(0, v) / top) * height;
        const now = performance.now();
        const x = (t) => width - ((now - t) / NoiseHistory.span) * width;

        g.lineWidth = 1.5;
        g.strokeStyle = colour("--pico-primary");
        g.beginPath();
        readings.forEach((r, i) => (i ? g.lineTo(x(r.t), y(r.v)) : g.moveTo(x(r.t), y(r.v))));
        g.stroke();

        g.strokeStyle = colour("--pico-del-color");
        g.setLineDash([4, 3]);
        g.beginPath();
        g.moveTo(0, y(threshold));
        g.lineTo(width, y(threshold));
        g.stroke();
        g.setLineDash([]);

        if (highest) {
            g.fillStyle = colour("--pico-color");
            g.beginPath();
            g.arc(x(highest.t), y(highest.v), 3, 0, 2 * Math.PI);
            g.fill();
            g.font = `12px ${style.fontFamily}`;
            g.textAlign = x(highest.t) > width / 2 ? "right" : "left";
            g.fillText(`max ${highest.v}`, x(highest.t) + (g.textAlign === "left" ? 5 : -5), Math.max(12, y(highest.v) - 5));
        }
    }
}

const noiseHistory = new NoiseHistory(document.getElementById("noise-history"), triggerThreshold);
onNoiseReading((reading) => noiseHistory.add(reading));
sensorsSelect.addEventListener("change", () => noiseHistory.clear());
