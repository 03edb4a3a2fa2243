// The automatic threshold: the user keeps the pad quiet for a few seconds, the page measures its
// noise from the readings it receives, and proposes the highest reading times a margin, rounded
// up. "Apply" moves the threshold slider there and sends it as a drag would; "Cancel" sends
// nothing. Too few readings (no module, or the noise logger stopped) give no proposal.
class AutoThreshold {
    static duration = 5000;
    static fewest = 10;

    constructor() {
        const $ = (id) => document.getElementById(id);
        this.dialog = $("auto-threshold-modal");
        this.progress = $("auto-threshold-progress");
        this.result = $("auto-threshold-result");
        this.tooFew = $("auto-threshold-too-few");
        this.margin = $("auto-threshold-margin");
        this.marginShown = $("auto-threshold-margin-value");
        this.apply = $("auto-threshold-apply");
        this.opener = $("auto-threshold");
        this.samples = [];
        this.measuring = false;
        this.highest = null;
        this.proposal = null;
        this.timer = null;
        this.opener.addEventListener("click", () => this.start());
        $("auto-threshold-cancel").addEventListener("click", () => this.close());
        this.apply.addEventListener("click", () => this.applyProposal());
        this.margin.addEventListener("input", () => this.propose());
        onNoiseReading((reading) => this.measuring && this.samples.push(reading));
    }

    start() {
        this.samples = [];
        this.highest = null;
        this.proposal = null;
        this.result.hidden = true;
        this.tooFew.hidden = true;
        this.progress.value = 0;
        this.apply.setAttribute("aria-disabled", "true");
        this.propose();
        this.dialog.setAttribute("open", "");
        document.getElementById("auto-threshold-cancel").focus();
        const begun = performance.now();
        this.measuring = true;
        this.timer = setInterval(() => {
            const elapsed = performance.now() - begun;
            this.progress.value = Math.min(100, (elapsed / AutoThreshold.duration) * 100);
            if (elapsed >= AutoThreshold.duration) {
                this.finish();
            }
        }, 100);
    }

    finish() {
        clearInterval(this.timer);
        this.measuring = false;
        const n = this.samples.length;
        if (n < AutoThreshold.fewest) {
            this.tooFew.textContent = `Only ${n} noise readings arrived in 5 seconds, too few to propose a threshold. ` +
                "Is the module connected?";
            this.tooFew.hidden = false;
            return;
        }
        const sorted = [...this.samples].sort((a, b) => a - b);
        this.highest = sorted[n - 1];
        document.getElementById("auto-threshold-highest").textContent = String(this.highest);
        // The 95th percentile by nearest rank: the smallest reading that 95 % of them do not exceed.
        document.getElementById("auto-threshold-typical").textContent = String(sorted[Math.ceil(0.95 * n) - 1]);
        this.result.hidden = false;
        this.propose();
    }

    // The margin is taken in hundredths, so that 10 x 1.2 is 12 and not a hair above it.
    propose() {
        const hundredths = Math.round(Number(this.margin.value) * 100);
        this.marginShown.textContent = `×${(hundredths / 100).toFixed(1)}`;
        if (this.highest === null) {
            return;
        }
        const slider = triggerThreshold;
        this.proposal = Math.min(slider.max, Math.max(slider.min, Math.ceil((this.highest * hundredths) / 100)));
        document.getElementById("auto-threshold-proposal").textContent = String(this.proposal);
        this.apply.removeAttribute("aria-disabled");
    }

    applyProposal() {
        if (this.proposal === null || this.measuring) {
            return;
        }
        triggerThreshold.threshold = this.proposal;
        triggerThreshold.dispatchChange();
        this.close();
    }

    close() {
        clearInterval(this.timer);
        this.measuring = false;
        this.dialog.removeAttribute("open");
        this.opener.focus();
    }
}

const autoThreshold = new AutoThreshold();
