// A stand-in for the application's HTTP server: it serves web_resources/ and fakes the JSON API,
// recording every request, so that the page tests are deterministic and need no module. The
// third-party files that the build copies from npm are served straight from node_modules.
"use strict";

const http = require("node:http");
const fs = require("node:fs");
const path = require("node:path");

const repoRoot = path.resolve(__dirname, "..", "..");
const resourceRoot = path.join(repoRoot, "web_resources");
const nodeModules = process.env.KORVALINE_NODE_MODULES || path.join(repoRoot, "node_modules");
const thirdParty = {
    "/assets/css/pico.blue.min.css": "@picocss/pico/css/pico.blue.min.css",
    "/assets/js/konva.min.js": "konva/konva.min.js",
    "/assets/fonts/SourceSansPro.ttf": "source-sans-pro/TTF/SourceSansPro-Regular.ttf",
};
const contentTypes = {
    ".html": "text/html",
    ".css": "text/css",
    ".js": "text/javascript",
    ".json": "application/json",
    ".png": "image/png",
    ".ttf": "font/ttf",
};

// Settings as the module reports them: two pads with distinct values, the hi-hat controller
// and its trigger.
function sampleSettings() {
    return {
        kick: { scan: 3000, mask: 20000, decay: 130000, threshold: 10, note: 36, gain: 65536,
                curve: { p: [[0, 0], [192, 192], [128, 64], [256, 256]] } },
        snare: { scan: 2500, mask: 30000, decay: 90000, threshold: 42, note: 38, gain: 49152,
                 curve: { p: [[0, 10], [100, 20], [150, 200], [255, 250]] } },
        hihat: { scan: 4000, mask: 15000, decay: 60000, threshold: 55, note: 42, gain: 32768,
                 curve: "0,255,255,0,0,0,255,255" },
        hhc: { timeout: 9000, threshold: 30, offset: 105 },
        hhc_trig: { threshold: 400, scan: 15000, vel_thresh: 800 },
    };
}

const json = (res, text) => {
    res.writeHead(200, { "Content-Type": "application/json", "Content-Length": Buffer.byteLength(text) });
    res.end(text);
};

class MockServer {
    constructor(port) {
        this.port = port;
        this.requests = [];
        this.settings = sampleSettings();
        this.getAllBody = null; // a text that replaces the settings, e.g. "{}" or "not json"
        this.firmwareHandler = null; // (req, res, body) => void, to fake refusals and failures
        this.streams = new Set();
        this.pending = [];
        this.gates = [];
        this.server = http.createServer((req, res) => this.handle(req, res));
        this.sockets = new Set();
        this.server.on("connection", (socket) => {
            this.sockets.add(socket);
            socket.on("close", () => this.sockets.delete(socket));
        });
    }

    get origin() {
        return `http://127.0.0.1:${this.port}`;
    }

    start() {
        return new Promise((resolve, reject) => {
            this.server.once("error", reject);
            this.server.listen(this.port, "127.0.0.1", resolve);
        });
    }

    stop() {
        for (const stream of this.streams) {
            stream.end();
        }
        for (const socket of this.sockets) {
            socket.destroy();
        }
        return new Promise((resolve) => this.server.close(resolve));
    }

    reset() {
        this.requests = [];
        this.settings = sampleSettings();
        this.getAllBody = null;
        this.firmwareHandler = null;
        this.pending = [];
        this.releaseAll();
    }

    // Holds back the answers to requests whose path matches until the returned function is called.
    hold(pattern) {
        let release;
        const promise = new Promise((resolve) => (release = resolve));
        const gate = { pattern, promise, release };
        this.gates.push(gate);
        return () => {
            this.gates = this.gates.filter((g) => g !== gate);
            release();
        };
    }

    releaseAll() {
        const gates = this.gates;
        this.gates = [];
        gates.forEach((g) => g.release && g.release());
    }

    // Publishes one event text, framed as the application frames it. As in the application, a
    // text published while no page listens waits for the next stream.
    publish(text) {
        const frame = `data: ${text}\n\n`;
        if (this.streams.size === 0) {
            this.pending.push(frame);
            return;
        }
        for (const stream of this.streams) {
            stream.write(frame);
        }
    }

    // The API requests in arrival order (files and the event stream left out).
    apiRequests() {
        return this.requests.filter((r) => r.api);
    }

    async waitFor(predicate, timeoutMs = 10000) {
        const end = Date.now() + timeoutMs;
        for (;;) {
            const found = this.requests.filter((r) => r.api && predicate(r));
            if (found.length > 0) {
                return found;
            }
            if (Date.now() > end) {
                throw new Error("no matching request within " + timeoutMs + " ms");
            }
            await new Promise((r) => setTimeout(r, 25));
        }
    }

    async handle(req, res) {
        const url = new URL(req.url, this.origin);
        const pathname = decodeURIComponent(url.pathname);
        const chunks = [];
        for await (const chunk of req) {
            chunks.push(chunk);
        }
        const body = Buffer.concat(chunks);
        const record = {
            method: req.method,
            path: pathname,
            contentType: req.headers["content-type"] || "",
            body,
            time: Date.now(),
            api: false,
        };
        this.requests.push(record);

        if (pathname === "/event") {
            res.writeHead(200, { "Content-Type": "text/event-stream", "Cache-Control": "no-cache" });
            res.flushHeaders();
            this.streams.add(res);
            req.on("close", () => this.streams.delete(res));
            for (const frame of this.pending.splice(0)) {
                res.write(frame);
            }
            return;
        }

        const api = /^\/(select|set|curve|get_all|save_params_all|start_noise_logger|stop_noise_logger|firmware)(\/|$)/;
        if (api.test(pathname)) {
            record.api = true;
            for (const gate of this.gates) {
                if (gate.pattern.test(pathname)) {
                    await gate.promise;
                }
            }
            return this.answerApi(pathname, req, res, body);
        }
        this.serveFile(pathname, res);
    }

    answerApi(pathname, req, res, body) {
        if (pathname.startsWith("/select/")) {
            return /^\/select\/\d+$/.test(pathname)
                ? json(res, '{"type": "message", "message": "selected"}')
                : json(res, '{"type": "error", "error": "wrong argument"}');
        }
        if (pathname.startsWith("/set/")) {
            const [, , sensor, param, value] = pathname.split("/");
            const pad = sensor === "fsrc" ? "hhc" : sensor === "fsrt" ? "hhc_trig" : sensor;
            if (this.settings[pad]) {
                this.settings[pad][param] = Number(value);
            }
            return json(res, '{"type": "message", "message": "success"}');
        }
        if (pathname === "/curve") {
            return json(res, '{"type": "message", "message": "Successfully set curve."}');
        }
        if (pathname === "/get_all") {
            return json(res, this.getAllBody !== null ? this.getAllBody : JSON.stringify(this.settings));
        }
        if (pathname === "/firmware") {
            if (this.firmwareHandler) {
                return this.firmwareHandler(req, res, body);
            }
            return json(res, '{"status": "done"}');
        }
        return json(res, '{"type": "message", "message": "success"}');
    }

    serveFile(pathname, res) {
        const relative = pathname === "/" ? "/index.html" : pathname;
        let file = path.join(resourceRoot, path.normalize(relative));
        if (!file.startsWith(resourceRoot + path.sep) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
            if (!thirdParty[relative]) {
                res.writeHead(404, { "Content-Type": "text/plain" });
                res.end("Not found");
                return;
            }
            file = path.join(nodeModules, thirdParty[relative]);
        }
        const bytes = fs.readFileSync(file);
        res.writeHead(200, {
            "Content-Type": contentTypes[path.extname(file)] || "application/octet-stream",
            "Content-Length": bytes.length,
        });
        res.end(bytes);
    }
}

// Splits a multipart/form-data body into its parts: name, file name, content type and content.
function parseMultipart(contentType, body) {
    const boundary = /boundary=(?:"([^"]+)"|([^;]+))/.exec(contentType);
    if (!boundary) {
        return [];
    }
    const delimiter = "--" + (boundary[1] || boundary[2]);
    const text = body.toString("latin1");
    const parts = [];
    for (const raw of text.split(delimiter).slice(1)) {
        if (raw.startsWith("--")) {
            break;
        }
        const headerEnd = raw.indexOf("\r\n\r\n");
        const headers = raw.slice(2, headerEnd);
        const content = raw.slice(headerEnd + 4, raw.length - 2);
        const disposition = /content-disposition:([^\r\n]*)/i.exec(headers)?.[1] || "";
        parts.push({
            name: /\bname="([^"]*)"/.exec(disposition)?.[1],
            filename: /filename="([^"]*)"/.exec(disposition)?.[1],
            contentType: /content-type:\s*([^\r\n]*)/i.exec(headers)?.[1],
            content: Buffer.from(content, "latin1"),
        });
    }
    return parts;
}

module.exports = { MockServer, parseMultipart, sampleSettings };

// Run by hand to try the pages in a browser: node tests/browser/mock-server.js [port]
if (require.main === module) {
    const server = new MockServer(Number(process.argv[2]) || 5799);
    server.start().then(() => console.log("mock server on " + server.origin));
}
