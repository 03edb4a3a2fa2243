// A vertical slider with a live fill. The marker shows the position (the setting being edited);
// the fill, which rises from the bottom, shows a measured value such as the pad's noise, so the
// user can see where the threshold lies relative to it. Each measured value is also passed on,
// unclamped, as a "reading" event for whatever keeps a record of them. The slider is announced as
// a slider and moves by the keys that move one: the arrows by one step, Page Up and Page Down by
// ten, Home and End to the limits. A key change is sent like a drag, after the same debounce.
class RangeSlider extends HTMLElement {
    constructor() {
        super();
        this.name = this.getAttribute("name");
        this.min = parseFloat(this.getAttribute("min")) || 0;
        this.max = parseFloat(this.getAttribute("max")) || 1;
        this.integer = this.hasAttribute("integer");
        this.step = parseFloat(this.getAttribute("step")) || (this.integer ? 1 : 0.05);
        this._threshold = this.min;
        this._value = 0.1;
        this.dragging = false;
        this.labelShown = false;
        this.dispatchChange = debounce(() => {
            this.dispatchEvent(
                new CustomEvent(this.name, {
                    detail: { threshold: this._threshold },
                    bubbles: true,
                    composed: true,
                })
            );
        });
        this.onPointerDown = this.onPointerDown.bind(this);
        this.onPointerMove = this.onPointerMove.bind(this);
        this.onPointerUp = this.onPointerUp.bind(this);
        this.onKeyDown = this.onKeyDown.bind(this);
    }

    clamp(v) {
        return Math.min(this.max, Math.max(this.min, Number(v)));
    }

    get threshold() {
        return this._threshold;
    }

    set threshold(v) {
        this._threshold = this.clamp(v);
        this.labelShown = true;
        this.drawMarker();
    }

    get value() {
        return this._value;
    }

    set value(v) {
        this._value = this.clamp(v);
        this.drawFill();
        if (Number.isFinite(Number(v))) {
            this.dispatchEvent(new CustomEvent("reading", { detail: Number(v) }));
        }
    }

    connectedCallback() {
        this.container = this.querySelector(".slider-container");
        this.marker = this.querySelector(".marker");
        this.label = this.querySelector(".label");
        this.marker.addEventListener("pointerdown", this.onPointerDown);
        this.setAttribute("role", "slider");
        this.setAttribute("aria-orientation", "vertical");
        this.setAttribute("aria-valuemin", String(this.min));
        this.setAttribute("aria-valuemax", String(this.max));
        if (!this.hasAttribute("tabindex")) {
            this.tabIndex = 0;
        }
        this.addEventListener("keydown", this.onKeyDown);
        this.drawFill();
        this.drawMarker();
        this.resizeObserver = new ResizeObserver(() => this.drawMarker());
        this.resizeObserver.observe(this.container);
    }

    disconnectedCallback() {
        if (this.resizeObserver) {
            this.resizeObserver.disconnect();
            this.resizeObserver = null;
        }
        if (this.marker) {
            this.marker.removeEventListener("pointerdown", this.onPointerDown);
        }
        this.removeEventListener("keydown", this.onKeyDown);
        this.onPointerUp();
    }

    drawFill() {
        if (!this.container) {
            return;
        }
        const percent = ((this._value - this.min) / (this.max - this.min)) * 100;
        this.container.style.background =
            `linear-gradient(to top, orange ${Math.max(0.01, percent)}%, transparent ${percent}%)`;
    }

    drawMarker() {
        if (!this.container) {
            return;
        }
        const ratio = 1 - (this._threshold - this.min) / (this.max - this.min);
        const travel = this.container.clientHeight - this.marker.offsetHeight;
        this.marker.style.top = `${ratio * travel}px`;
        const shown = this.integer ? Math.round(this._threshold) : Number(this._threshold.toFixed(2));
        this.setAttribute("aria-valuenow", String(shown));
        if (this.labelShown) {
            this.label.textContent = String(shown);
        }
    }

    onKeyDown(event) {
        const steps = { ArrowUp: 1, ArrowRight: 1, ArrowDown: -1, ArrowLeft: -1, PageUp: 10, PageDown: -10 };
        let target;
        if (event.key in steps) {
            // Rounded to the step's decimals, so that repeated steps of 0.05 stay on their grid.
            const decimals = (String(this.step).split(".")[1] || "").length;
            target = Number((this._threshold + steps[event.key] * this.step).toFixed(decimals));
        } else if (event.key === "Home" || event.key === "End") {
            target = event.key === "Home" ? this.min : this.max;
        } else {
            return;
        }
        event.preventDefault();
        const before = this._threshold;
        this.threshold = target;
        if (this._threshold !== before) {
            this.dispatchChange();
        }
    }

    onPointerDown(event) {
        // Prevented, the press would not focus the slider by itself: the keys move the knob
        // just pressed, as they do on a native slider.
        event.preventDefault();
        this.focus({ preventScroll: true });
        this.dragging = true;
        window.addEventListener("pointermove", this.onPointerMove);
        window.addEventListener("pointerup", this.onPointerUp);
    }

    onPointerMove(event) {
        if (!this.dragging) {
            return;
        }
        const rect = this.container.getBoundingClientRect();
        const offset = Math.min(rect.height, Math.max(0, event.clientY - rect.top));
        const ratio = 1 - offset / rect.height;
        const before = this._threshold;
        this.threshold = this.min + ratio * (this.max - this.min);
        if (this._threshold !== before) {
            this.dispatchChange();
        }
    }

    onPointerUp() {
        this.dragging = false;
        window.removeEventListener("pointermove", this.onPointerMove);
        window.removeEventListener("pointerup", this.onPointerUp);
    }
}

customElements.define("range-slider", RangeSlider);
