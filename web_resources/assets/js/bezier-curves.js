// The velocity-curve editor: a cubic Bezier curve from P0 to P3 whose four anchors can be
// dragged. Points are [x, y] in 0..255 with y counted upward; the SVG counts y downward, so every
// drawn y is 255 - y. The page supplies the SVG markup; this class only finds and moves its parts.
// Each anchor also takes the keyboard focus: the arrows move it by 1, by 10 with Shift, under the
// same rules as a drag.
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
            anchor.setAttribute("tabindex", "0");
            anchor.setAttribute("role", "slider");
            anchor.setAttribute("aria-label", `Curve point P${index}`);
            anchor.setAttribute("aria-valuemin", "0");
            anchor.setAttribute("aria-valuemax", "255");
            anchor.addEventListener("keydown", (event) => this.onAnchorKey(index, event));
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
            this.anchors[i].setAttribute("aria-valuenow", p[1]);
            this.anchors[i].setAttribute("aria-valuetext", `x ${Math.round(p[0])}, y ${Math.round(p[1])}`);
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
        this.moveAnchor(this.dragIndex, mapped.x, 255 - mapped.y);
    }

    // P1 and P2 go anywhere; the end points P0 and P3 keep to their edges and take only a height.
    moveAnchor(index, x, y) {
        const target = this.points[index];
        if (index === 1 || index === 2) {
            target[0] = BezierCurve.clamp(x);
        }
        target[1] = BezierCurve.clamp(y);
        this.draw();
        this.dispatchCurve();
    }

    onAnchorKey(index, event) {
        const by = event.shiftKey ? 10 : 1;
        const moves = { ArrowUp: [0, by], ArrowDown: [0, -by], ArrowRight: [by, 0], ArrowLeft: [-by, 0] };
        const move = moves[event.key];
        if (!move) {
            return;
        }
        event.preventDefault();
        const [x, y] = this.points[index];
        const moved = [BezierCurve.clamp(x + move[0]), BezierCurve.clamp(y + move[1])];
        // A key that cannot move the anchor (sideways on an end point, or past an edge) sends nothing.
        if ((moved[0] !== x && (index === 1 || index === 2)) || moved[1] !== y) {
            this.moveAnchor(index, moved[0], moved[1]);
        }
    }

    onMouseUp() {
        this.dragIndex = null;
        window.removeEventListener("mousemove", this.onMouseMove);
        window.removeEventListener("mouseup", this.onMouseUp);
    }
}

customElements.define("bezier-curve", BezierCurve);
