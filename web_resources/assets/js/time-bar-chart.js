// The scan, mask and decay chart. Each time is a bar on a time axis measured in milliseconds; the
// bars sit side by side, can be resized by their handles or through their number fields, and the
// decay curve over the last bar shows how the module's threshold falls back after a hit. The
// live curve draws the noise logger's latest run of readings on the same axis.
class TimeBarChart extends HTMLElement {
    constructor() {
        super();
        this.name = this.getAttribute("name");
        this.maxDuration = parseFloat(this.getAttribute("max-duration")) || 400;
        this.normHeight = parseFloat(this.getAttribute("norm-height")) || 2048;
        this.maxThreshold = parseFloat(this.getAttribute("max-threshold")) || 100;
        this.threshold = 300;
        this.liveValues = [];
        this.bars = [];
        this.resizing = false;
        this.resizeBar = null;
        this.resizeStartX = 0;
        this.resizeStartWidth = 0;
        this.onMouseDown = this.onMouseDown.bind(this);
        this.onMouseMove = this.onMouseMove.bind(this);
        this.onMouseUp = this.onMouseUp.bind(this);
    }

    connectedCallback() {
        if (this.svg) {
            // Already built once: only the observers and window handlers need to come back.
            this.startObserving();
            return;
        }
        this.svg = document.getElementById("timeline");
        this.curvePath = document.querySelector(".curve");
        this.livePath = document.getElementById("live-curve");

        const viewBox = this.svg.viewBox.baseVal;
        this.height = (viewBox && viewBox.height) || this.svg.clientHeight || 300;
        this.svg.setAttribute("viewBox", `0 0 ${this.maxDuration} ${this.height}`);
        this.width = this.svg.getBoundingClientRect().width || 600;
        this.svg.style.height = `${this.height}px`;

        this.dispatchChange = debounce(() => {
            const detail = {};
            for (const bar of this.bars) {
                detail[bar.name] = this.drawnWidth(bar) / bar.scale;
            }
            this.dispatchEvent(new CustomEvent(this.name, { detail, bubbles: true, composed: true }));
        });

        for (const group of this.svg.querySelectorAll("g")) {
            const name = group.dataset.name;
            const field = document.querySelector(`input[name="${name}"]`);
            const bar = {
                name,
                group,
                rect: group.querySelector("rect.bar"),
                handle: group.querySelector("rect.resize-handle"),
                field,
                scale: parseFloat(group.dataset.scale) || 1,
                minWidth: parseFloat(field.min) || 0,
                maxWidth: field.max !== "" ? parseFloat(field.max) : null,
            };
            this.bars.push(bar);
            field.value = this.drawnWidth(bar).toFixed(1);
            field.addEventListener("input", () => {
                const requested = parseFloat(field.value);
                if (!Number.isNaN(requested)) {
                    this.setWidth(bar, requested);
                }
            });
            field.addEventListener("change", () => this.dispatchChange());
            field.addEventListener("focus", () => bar.handle.classList.add("active-time-bar"));
            field.addEventListener("blur", () => bar.handle.classList.remove("active-time-bar"));
            Object.defineProperty(this, name, {
                configurable: true,
                get: () => this.drawnWidth(bar),
                set: (v) => {
                    field.value = this.setWidth(bar, v).toFixed(1);
                },
            });
        }
        this.positionBars();
        this.drawDecayCurve();
        this.startObserving();
    }

    startObserving() {
        this.resizeObserver = new ResizeObserver(() => {
            this.width = this.svg.getBoundingClientRect().width || this.width;
            this.drawLiveCurve();
        });
        this.resizeObserver.observe(this.svg);
        this.svg.addEventListener("mousedown", this.onMouseDown);
        window.addEventListener("mousemove", this.onMouseMove);
        window.addEventListener("mouseup", this.onMouseUp);
    }

    disconnectedCallback() {
        if (this.resizeObserver) {
            this.resizeObserver.disconnect();
            this.resizeObserver = null;
        }
        this.svg.removeEventListener("mousedown", this.onMouseDown);
        window.removeEventListener("mousemove", this.onMouseMove);
        window.removeEventListener("mouseup", this.onMouseUp);
        this.resizing = false;
    }

    drawnWidth(bar) {
        return bar.rect.width.baseVal.value;
    }

    // w is in milliseconds. The bar may not take more room than the others leave, and never less
    // than its field's minimum.
    setWidth(bar, w) {
        let others = 0;
        for (const other of this.bars) {
            if (other !== bar) {
                others += this.drawnWidth(other);
            }
        }
        const maxWidth = bar.maxWidth === null ? this.width : bar.maxWidth;
        const allowed = Math.min(maxWidth, this.width - others);
        const width = Math.max(bar.minWidth, Math.min(Number(w), allowed));
        bar.rect.setAttribute("width", width * bar.scale);
        this.positionBars();
        this.drawDecayCurve();
        return width;
    }

    positionBars() {
        let x = 0;
        for (const bar of this.bars) {
            const width = this.drawnWidth(bar);
            bar.group.setAttribute("transform", `translate(${x},0)`);
            bar.handle.setAttribute("x", width - bar.handle.width.baseVal.value);
            x += width;
        }
    }

    setThreshold(v) {
        this.threshold = Number(v);
        this.drawDecayCurve();
    }

    // The values are applied a little later so that they land after the layout of a freshly
    // switched mode has settled; anything set in between is overwritten.
    setData(data) {
        setTimeout(() => {
            for (const bar of this.bars) {
                if (bar.name in data) {
                    this.setWidth(bar, data[bar.name]);
                    bar.field.value = Number(data[bar.name]).toFixed(1);
                }
            }
        }, 100);
    }

    drawDecayCurve() {
        if (!this.curvePath || this.bars.length === 0) {
            return;
        }
        const last = this.bars[this.bars.length - 1];
        let startX = 0;
        for (const bar of this.bars) {
            if (bar !== last) {
                startX += this.drawnWidth(bar);
            }
        }
        const width = this.drawnWidth(last);
        if (width <= 0) {
            this.curvePath.setAttribute("d", "");
            return;
        }
        const numPoints = Math.max(20, Math.floor(width / 2));
        const k = 3;
        const normalizedThreshold = (Math.min(this.threshold, this.maxThreshold) / this.normHeight) * this.height;
        const effectiveHeight = this.height - normalizedThreshold;
        const a = effectiveHeight / (1 - Math.exp(-k));
        let d = `M ${startX},0`;
        for (let i = 1; i <= numPoints; i++) {
            const t = i / numPoints;
            d += ` L ${startX + t * width},${a * (1 - Math.exp(-k * t))}`;
        }
        this.curvePath.setAttribute("d", d);
    }

    setLiveCurve(values) {
        if (!values || values.length === 0) {
            return;
        }
        this.liveValues = values;
        this.drawLiveCurve();
    }

    drawLiveCurve() {
        const values = this.liveValues;
        if (!this.livePath || values.length === 0) {
            return;
        }
        const y = (reading) => this.height - (reading / this.normHeight) * this.height;
        if (values.length === 1) {
            // One reading has no spacing to derive; it spans one millisecond like any other.
            this.livePath.setAttribute("d", `M 0,${y(values[0])} L 1,${y(values[0])}`);
            return;
        }
        const n = values.length;
        const step = n / (n - 1);
        let d = `M 0,${y(values[0])}`;
        for (let i = 1; i < n; i++) {
            d += ` L ${i * step},${y(values[i])}`;
        }
        this.livePath.setAttribute("d", d);
    }

    onMouseDown(event) {
        if (!event.target.classList || !event.target.classList.contains("resize-handle")) {
            return;
        }
        const bar = this.bars.find((b) => b.handle === event.target);
        if (!bar) {
            return;
        }
        this.resizeBar = bar;
        this.resizeStartWidth = this.drawnWidth(bar);
        this.resizeStartX = event.clientX;
        this.resizing = true;
        event.preventDefault();
    }

    onMouseMove(event) {
        if (!this.resizing) {
            return;
        }
        const bar = this.resizeBar;
        const ratio = this.width / this.maxDuration;
        const dx = (event.clientX - this.resizeStartX) / ratio;
        const applied = this.setWidth(bar, this.resizeStartWidth / bar.scale + dx / bar.scale);
        bar.field.value = applied.toFixed(1);
        bar.field.focus();
        this.dispatchChange();
    }

    onMouseUp() {
        this.resizing = false;
    }
}

customElements.define("time-bar-chart", TimeBarChart);
