// What the program knows about the module beside its settings, shared by the main page and the
// settings page: whether the settings differ from those the module has saved (the main page marks
// its save button and its title, and says so in words when the module already held them as it
// connected), whether the module answers late, and why a module that is plugged in cannot be
// opened (one more line in the "Cannot detect board" dialog, which then also opens at load). All
// come from "/state", read once at load; afterwards the "unsaved" events keep the marker current,
// and a "disconnect" or a failed read of the settings asks "/state" again.

const problemTexts = {
    permission: "This user may not open the module. Installing the Korvaline package (or its udev rules, see the README) fixes this.",
    busy: "Another program holds the module's port. Close that program to use the module here.",
};

const plainTitle = document.title;

// Set by the first "unsaved" event: an event is never older than a "/state" answer that arrives
// after it, so that answer must not overwrite the marker.
let unsavedFromEvent = false;
let moduleUnsaved = false;

// The app window that the program opens in Edge on Windows cannot ask before it closes as the
// Linux window does, so its pages ask, through the browser's own question, while the module holds
// unsaved changes. Only there: the Linux window asks itself, and a browser tab is no window of
// the program. The program opens the app window at "/?window=app"; the window's tab keeps the mark
// (sessionStorage) as the user moves between the pages. Moving between the program's own pages
// (a link, a button, the reload after a reconnect, a step back) never asks: the page learns of
// each such move before the browser asks it, and a window that closes makes none.
const inAppWindow = (() => {
    try {
        if (new URLSearchParams(location.search).get("window") === "app") {
            sessionStorage.setItem("korvaline-window", "app");
        }
        return sessionStorage.getItem("korvaline-window") === "app";
    } catch (error) {
        return false;
    }
})();
let leavingForOwnPage = false;

if (inAppWindow) {
    // A link, an address set or a reload is announced to the page first (the Navigation API's
    // "navigate"). A step through the history is announced only after the browser has asked, so
    // the pages' own steps (the settings page's "Back") are marked as they are taken; a step the
    // user takes with the browser's keys asks, as the browser does for any page.
    window.navigation?.addEventListener("navigate", (event) => {
        const destination = new URL(event.destination.url);
        if (destination.origin === location.origin && event.navigationType !== "traverse" &&
            !event.destination.sameDocument && !event.downloadRequest) {
            leavingForOwnPage = true;
        }
    });
    for (const step of ["back", "forward", "go"]) {
        const original = history[step].bind(history);
        history[step] = (...args) => {
            leavingForOwnPage = true;
            original(...args);
        };
    }
    window.addEventListener("beforeunload", (event) => {
        // The browser asks a page before a move even starts, whatever the move then brings (a
        // page, a download): the mark covers exactly the one unload that follows it.
        if (leavingForOwnPage) {
            leavingForOwnPage = false;
        } else if (moduleUnsaved) {
            event.preventDefault();
            event.returnValue = "";
        }
    });
}

function showUnsaved(unsaved) {
    moduleUnsaved = unsaved;
    const button = document.getElementById("save-button");
    if (!button) {
        return;
    }
    button.dataset.tooltip = unsaved ? "Unsaved changes" : "Save config";
    // The longer tooltip would run past the window's right edge below the button.
    button.dataset.placement = unsaved ? "left" : "bottom";
    button.setAttribute("aria-label", unsaved ? "Save config (unsaved changes)" : "Save config");
    button.querySelector(".unsaved-dot").hidden = !unsaved;
    document.title = unsaved ? "• " + plainTitle : plainTitle;
}

// The lines under the header of the main page: changes the module held as it connected (the dot
// alone would not tell that they are older than this visit), and a module that answers late.
function showLine(id, text) {
    const line = document.getElementById(id);
    if (line) {
        line.textContent = text;
        line.hidden = text === "";
    }
}

function showHeld(held) {
    showLine("held-line", held ? "The module holds changes that are not saved." : "");
}

function showSlow(ms) {
    const about = Math.round(ms / 10) * 10;
    showLine("slow-line", typeof ms === "number" ? `The module answers slowly (about ${about} ms).` : "");
}

function showProblem(problem) {
    const line = document.getElementById("disconnected-problem");
    if (line) {
        line.textContent = problemTexts[problem] || "";
        line.hidden = line.textContent === "";
    }
}

function handleUnsavedEvent(message) {
    unsavedFromEvent = true;
    showUnsaved(message.value === true);
    showHeld(message.value === true && message.held === true);
}

// Whether this load has asked "/state", and the read under way, which a second caller shares: the
// first event stream of a program carries its start-up "disconnect", which would otherwise ask
// again while the page's own read is out. A read gives the answer, or null when there is none.
let stateAsked = false;
let stateRequest = null;

function loadState() {
    stateAsked = true;
    if (!stateRequest) {
        stateRequest = readState().finally(() => {
            stateRequest = null;
        });
    }
    return stateRequest;
}

async function readState() {
    try {
        const response = await fetch("/state");
        if (!response.ok) {
            return null;
        }
        const state = await response.json();
        showProblem(state.problem);
        showSlow(state.slow_ms);
        // A module that is plugged in but cannot be opened is announced with "connect" like one
        // that works, and that event reloads the page: the dialog opens here, or it would never
        // say why the module does not answer.
        if (state.problem && !state.connected && !fw_upload) {
            setOpen("disconnected", true);
        }
        if (!unsavedFromEvent) {
            showUnsaved(state.unsaved === true);
            showHeld(state.unsaved === true && state.held === true);
        }
        return state;
    } catch (error) {
        console.log("state error: " + error);
        return null;
    }
}

// A "disconnect" asks why the module went. Before this load's own read it need not: the main page
// asks once its first read of the settings is over, whether that read fails for want of a module
// or finds it back (after the start-up "disconnect", which is long over).
function loadStateAfterDisconnect() {
    if (stateAsked) {
        loadState();
    }
}

// The main page reads the state once its first read of the settings is over: that read teaches the
// program how late the module answers. The other pages read it at once.
if (typeof getConfig !== "function") {
    loadState();
}
