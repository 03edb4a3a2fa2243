// The velocity-curve editor: a cubic Bezier curve from P0 to P3 whose four anchors can be
// dragged. Points are [x, y] in 0..255 with y counted upward; the SVG counts y downward, so every
// drawn y is 255 - y. The page supplies the SVG markup; this class only finds and moves its parts.
class BezierCurve extends HTMLElement {
    constructor() {
        super();
        this.points = [
            [0, 128],
            [64, 64],
            [192, 192],
            [255, 128],
        ];
        this.dragIndex = null;
        this.dispatchCurve = debounce(() => {
            this.dispatchEvent(
                new CustomEvent("curve", {
                    detail: { curve: this.points },
                    bubbles: true,
                    composed: true,
                })
            );
        });
        this.onMouseMove = this.onMouseMove.bind(this);
        this.onMouseUp = this.onMouseUp.bind(this);

        this.svg = this.querySelector("svg");
        this.path = this.querySelector("#bezier-curve-path");
        this.anchors = ["p0", "p1", "p2", "p3"].map((id) => this.querySelector("#" + id));
        this.line01 = this.querySelector("#line-p0-p1");
        this.line23 = this.querySelector("#line-p2-p3");
        this.anchors.forEach((anchor, index) => {
            anchor.addEventListener("mousedown", (event) => {
                event.preventDefault();
                this.dragIndex = index;
                window.addEventListener("mousemove", this.onMouseMove);
                window.addEventListener("mouseup", this.onMouseUp);
            });
        });
        this.draw();
    }

    static clamp(v) {
        return Math.min(255, Math.max(0, Number(v)));
    }

    get values() {
        return this.points.map((p) => [p[0], p[1]]);
    }

    // The end points stay on the left and right edges; only their height is taken. Fewer than
    // four points throw at the first missing one, leaving the drawing as it was.
    set values(points) {
        if (points === undefined || points === null) {
            return;
        }
        const clamp = BezierCurve.clamp;
        this.points[0] = [0, clamp(points[0][1])];
        this.points[1] = [clamp(points[1][0]), clamp(points[1][1])];
        this.points[2] = [clamp(points[2][0]), clamp(points[2][1])];
        this.points[3] = [255, clamp(points[3][1])];
        this.draw();
    }

    draw() {
        const svgY = (p) => 255 - p[1];
        const [p0, p1, p2, p3] = this.points;
        this.path.setAttribute(
            "d",
            `M ${p0[0]},${svgY(p0)} C ${p1[0]},${svgY(p1)} ${p2[0]},${svgY(p2)} ${p3[0]},${svgY(p3)}`
        );
        this.points.forEach((p, i) => {
            this.anchors[i].setAttribute("cx", p[0]);
            this.anchors[i].setAttribute("cy", svgY(p));
        });
        const join = (line, a, b) => {
            line.setAttribute("x1", a[0]);
            line.setAttribute("y1", svgY(a));
            line.setAttribute("x2", b[0]);
            line.setAttribute("y2", svgY(b));
        };
        join(this.line01, p0, p1);
        join(this.line23, p2, p3);
    }

    onMouseMove(event) {
        if (this.dragIndex === null) {
            return;
        }
        const point = this.svg.createSVGPoint();
        point.x = event.clientX;
        point.y = event.clientY;
        const mapped = point.matrixTransform(this.svg.getScreenCTM().inverse());
        const x = BezierCurve.clamp(mapped.x);
        const y = BezierCurve.clamp(255 - mapped.y);
        const target = this.points[this.dragIndex];
        if (this.dragIndex === 1 || this.dragIndex === 2) {
            target[0] = x;
        }
        target[1] = y;
        this.draw();
        this.dispatchCurve();
    }

    onMouseUp() {
        this.dragIndex = null;
        window.removeEventListener("mousemove", this.onMouseMove);
        window.removeEventListener("mouseup", this.onMouseUp);
    }
}

customElements.define("bezier-curve", BezierCurve);
