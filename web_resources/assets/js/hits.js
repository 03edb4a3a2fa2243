// The hits panel, shared by the main page (a band under the editor) and /hits.html (the same view
// at full size, for a second screen): every note the module plays arrives as a "hit" event, with
// its pad, velocity and time on the program's clock. The panel draws the hits of the last 10
// seconds in a lane, and sums up the selected pad's hits since it was chosen: the last velocity,
// their count, the highest, how many reached 127, and a histogram of the velocities.

// The pads in the order of the editor's chooser; their colours are CSS variables (--pad-<name>).
const hitPads = [
    ["kick", "Kick"],
    ["snare", "Snare"],
    ["ride", "Ride"],
    ["crash1", "Crash 1"],
    ["crash2", "Crash 2"],
    ["tom1", "Tom 1"],
    ["tom2", "Tom 2"],
    ["tom3", "Tom 3"],
    ["hihat", "Hi-hat"],
];
const hitPadNames = new Map(hitPads);

// A note that no pad plays is named by its number.
function hitName(hit) {
    return hit.pad === null ? `Note ${hit.note}` : hitPadNames.get(hit.pad) || String(hit.pad);
}

// The lane: one mark per hit, as high as its velocity, in its pad's colour; the selected pad's
// marks are drawn last, wider and opaque. The right edge is the newest hit's time on the
// program's clock, not the page's, so every page that shows the panel draws the same picture,
// and nothing is drawn while no hit arrives. A hit only asks for a drawing in the next animation
// frame, so a burst of them costs one.
class HitLane extends CanvasChart {
    static span = 10000;
    static described = 5;

    constructor(canvas, description) {
        super(canvas);
        this.description = description;
        this.hits = []; // the events, oldest first, none older than the span before the newest
        this.selected = null;
    }

    add(hit) {
        // An earlier time than the newest means the program started again with a new clock.
        if (this.hits.length && hit.t < this.hits[this.hits.length - 1].t) {
            this.hits = [];
        }
        this.hits.push(hit);
        while (this.hits[0].t < hit.t - HitLane.span) {
            this.hits.shift();
        }
        this.describe();
        this.redraw();
    }

    select(pad) {
        this.selected = pad;
        this.redraw();
    }

    // The text alternative: how many hits the lane holds, and the newest of them, newest first,
    // each with its distance to the newest.
    describe() {
        const newest = this.hits[this.hits.length - 1];
        const count = document.createElement("p");
        const hits = this.hits.length === 1 ? "hit" : "hits";
        count.textContent = `${this.hits.length} ${hits} in the 10 seconds up to the newest.`;
        const list = document.createElement("ol");
        const items = this.hits.slice(-HitLane.described).reverse().map((hit) => {
            const item = document.createElement("li");
            const before = ((newest.t - hit.t) / 1000).toFixed(2);
            const when = hit === newest ? "newest" : `${before} s earlier`;
            item.textContent = `${hitName(hit)}, velocity ${hit.velocity}, ${when}`;
            return item;
        });
        list.replaceChildren(...items);
        this.description.replaceChildren(count, list);
    }

    draw() {
        const { hits } = this;
        const { g, width, height, colour } = this.begin();

        // The newest mark stands a little inside the right edge; velocity 127 reaches the top line.
        const right = width - 6;
        const x = (t) => right - ((newestT - t) / HitLane.span) * (right - 2);
        const y = (velocity) => height - 1 - (velocity / 127) * (height - 8);
        const newestT = hits.length ? hits[hits.length - 1].t : 0;

        g.strokeStyle = colour("--pico-muted-border-color");
        g.lineWidth = 1;
        g.setLineDash([4, 3]);
        g.beginPath();
        g.moveTo(0, y(127));
        g.lineTo(width, y(127));
        g.stroke();
        g.setLineDash([]);
        // One tick a second along the bottom, counted back from the newest hit.
        g.beginPath();
        for (let s = 0; s <= HitLane.span / 1000; s++) {
            const at = Math.round(x(newestT - s * 1000)) + 0.5;
            g.moveTo(at, height);
            g.lineTo(at, height - (s % 5 === 0 ? 8 : 4));
        }
        g.stroke();

        const mark = (hit, lineWidth) => {
            g.strokeStyle = colour(`--pad-${hitPadNames.has(hit.pad) ? hit.pad : "other"}`);
            g.lineWidth = lineWidth;
            g.beginPath();
            g.moveTo(x(hit.t), height);
            g.lineTo(x(hit.t), y(hit.velocity));
            g.stroke();
        };
        g.globalAlpha = 0.45;
        hits.filter((hit) => hit.pad !== this.selected).forEach((hit) => mark(hit, 2));
        g.globalAlpha = 1;
        for (const hit of hits.filter((h) => h.pad === this.selected)) {
            mark(hit, 4);
            g.fillStyle = g.strokeStyle;
            g.beginPath();
            g.arc(x(hit.t), y(hit.velocity), 3.5, 0, 2 * Math.PI);
            g.fill();
        }
    }
}

// The selected pad's figures since it was chosen or cleared. The last velocity is shown at once
// and announced politely, at most once a second: a stroke that comes sooner is announced when the
// second is over, and only the latest of those.
class HitStats {
    static bins = 16;
    static announceEvery = 1000;

    constructor(root) {
        const $ = (name) => root.querySelector(`[data-hits="${name}"]`);
        this.fields = { pad: $("pad"), last: $("last"), count: $("count"), highest: $("highest"), full: $("full") };
        this.announcer = $("announce");
        this.histogram = $("histogram");
        this.bars = Array.from({ length: HitStats.bins }, () => document.createElement("span"));
        this.histogram.replaceChildren(...this.bars);
        this.announced = -Infinity;
        this.pending = null;
        this.select(null);
    }

    select(pad) {
        this.pad = pad;
        this.fields.pad.textContent = hitPadNames.get(pad) || "";
        this.clear();
    }

    clear() {
        this.last = null;
        this.count = 0;
        this.highest = null;
        this.full = 0;
        this.counts = new Array(HitStats.bins).fill(0);
        clearTimeout(this.pending);
        this.pending = null;
        this.show();
    }

    add(hit) {
        if (hit.pad !== this.pad) {
            return;
        }
        this.last = hit.velocity;
        this.count++;
        this.highest = Math.max(this.highest ?? 0, hit.velocity);
        this.full += hit.velocity >= 127 ? 1 : 0;
        this.counts[Math.min(HitStats.bins - 1, Math.floor((hit.velocity * HitStats.bins) / 128))]++;
        this.show();
        this.announce();
    }

    announce() {
        const wait = this.announced + HitStats.announceEvery - performance.now();
        if (wait <= 0) {
            this.announced = performance.now();
            this.announcer.textContent = `${hitPadNames.get(this.pad)}, velocity ${this.last}`;
        } else if (this.pending === null) {
            this.pending = setTimeout(() => {
                this.pending = null;
                this.announce();
            }, wait);
        }
    }

    show() {
        const { fields } = this;
        fields.last.textContent = this.last === null ? "–" : String(this.last);
        fields.count.textContent = String(this.count);
        fields.highest.textContent = this.highest === null ? "–" : String(this.highest);
        fields.full.textContent = String(this.full);
        const most = Math.max(1, ...this.counts);
        this.bars.forEach((bar, i) => {
            bar.dataset.count = String(this.counts[i]);
            bar.style.height = `${(this.counts[i] / most) * 100}%`;
        });
        const name = hitPadNames.get(this.pad) || "the pad";
        this.histogram.setAttribute("aria-label", `Velocities of ${name}: ${this.count} hits in 16 steps of 8, ` +
            this.counts.map((n, i) => `${i * 8}-${i * 8 + 7}: ${n}`).join(", "));
    }
}

// The line that says why no hit can arrive. Without an answer from "/midi/state" (an older
// program) the panel says nothing rather than something alarming.
function showMidiState(line, state) {
    if (!state || state.connected) {
        line.hidden = true;
        return;
    }
    if (state.port === null || state.port === undefined) {
        const settings = document.createElement("a");
        settings.href = "/settings.html#midi-card";
        settings.textContent = "Settings";
        // One child: the line is a flex box, which would trim the space before the link.
        const text = document.createElement("span");
        text.append("No MIDI input. Choose one in ", settings, ".");
        line.replaceChildren(text);
    } else {
        line.replaceChildren(`MIDI input '${state.port}' is not connected.`);
    }
    line.hidden = false;
}

// Builds the panel in `root` and follows the pad chooser: the editor's on the main page, where
// the hi-hat controller's hits are the hi-hat's, or the full view's own.
function startHitsPanel(root, chooser, stream) {
    const lane = new HitLane(root.querySelector("canvas"), root.querySelector('[data-hits="lane-text"]'));
    const stats = new HitStats(root);
    const missing = root.querySelector('[data-hits="missing"]');
    const fullView = document.getElementById("hits-full-view");

    const legend = [...hitPads, ["other", "Other notes"]];
    root.querySelector('[data-hits="legend"]').replaceChildren(...legend.map(([pad, label]) => {
        const item = document.createElement("li");
        item.style.setProperty("--pad", `var(--pad-${pad})`);
        item.textContent = label;
        return item;
    }));

    const select = () => {
        const pad = chooser.value === "hhc" ? "hihat" : chooser.value;
        lane.select(pad);
        stats.select(pad);
        // The full view opens on the same pad; in a browser it also serves a second screen.
        if (fullView) {
            fullView.setAttribute("href", `/hits.html?pad=${encodeURIComponent(pad)}`);
            fullView.dataset.tooltip = `For a second screen: ${location.origin}/hits.html in a browser`;
        }
    };
    chooser.addEventListener("change", select);
    select();
    root.querySelector('[data-hits="clear"]').addEventListener("click", () => stats.clear());

    // The MIDI input's state as last heard, for the kit check too. An event is never older than
    // an answer of "/midi/state" that arrives after it.
    const panel = { lane, stats, midi: null };
    const showState = (state) => {
        panel.midi = state;
        showMidiState(missing, state);
    };
    let stateFromEvent = false;
    stream.addEventListener("message", (e) => {
        let message;
        try {
            message = JSON.parse(e.data);
        } catch {
            return;
        }
        if (message.event === "hit") {
            lane.add(message);
            stats.add(message);
        } else if (message.event === "midi") {
            stateFromEvent = true;
            showState(message);
        }
    });
    fetch("/midi/state")
        .then((response) => (response.ok ? response.json() : null))
        .catch(() => null)
        .then((state) => stateFromEvent || showState(state));
    return panel;
}

// The panel's body, the same on the main page and on /hits.html; each page writes its own head.
const hitsPanelBody = `
    <div class="hits-lane">
        <canvas role="img" aria-label="Hits of the last 10 seconds" aria-describedby="hits-lane-text"></canvas>
        <div id="hits-lane-text" class="visually-hidden" data-hits="lane-text"></div>
        <p class="hits-missing" data-hits="missing" hidden></p>
    </div>
    <ul class="hits-legend" data-hits="legend" aria-label="Pads"></ul>
    <div class="hits-last">
        <small><span data-hits="pad"></span>, last velocity</small>
        <strong data-hits="last">–</strong>
        <span class="visually-hidden" data-hits="announce" aria-live="polite"></span>
    </div>
    <dl class="hits-stats">
        <dt>Hits</dt><dd data-hits="count">0</dd>
        <dt>Highest</dt><dd data-hits="highest">–</dd>
        <dt>At 127</dt><dd data-hits="full">0</dd>
    </dl>
    <div class="hits-histogram">
        <div role="img" data-hits="histogram"></div>
        <button class="secondary outline" data-hits="clear">Clear</button>
    </div>
`;

// The main page has the editor's stream (events.js) and its pad chooser; /hits.html opens its own
// stream and has a chooser of its own, preset from the address ("?pad=snare").
const hitsPanel = (() => {
    const root = document.getElementById("hits-panel");
    if (!root) {
        return null;
    }
    root.insertAdjacentHTML("beforeend", hitsPanelBody);
    let chooser = document.getElementById("sensors-select");
    if (!chooser) {
        chooser = document.getElementById("hits-pad");
        const asked = new URLSearchParams(location.search).get("pad");
        if (hitPadNames.has(asked)) {
            chooser.value = asked;
        }
    }
    return startHitsPanel(root, chooser, typeof ev !== "undefined" ? ev : new EventSource("event"));
})();
