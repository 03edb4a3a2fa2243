// What the program knows about the module beside its settings, shared by the main page and the
// settings page: whether the settings differ from those the module has saved (the main page marks
// its save button and its title), and why a module that is plugged in cannot be opened (one more
// line in the "Cannot detect board" dialog, which then also opens at load). Both come from
// "/state" at load; afterwards the "unsaved" events keep the marker current, and every
// "disconnect" asks "/state" for the reason.

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
// (a link, a button, the reload after a reconnect) never asks: the browser announces each such
// move to the page first (the Navigation API's "navigate"), and a window that closes makes none.
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
    window.navigation?.addEventListener("navigate", (event) => {
        const destination = new URL(event.destination.url);
        if (destination.origin === location.origin && !event.destination.sameDocument && !event.downloadRequest) {
            leavingForOwnPage = true;
        }
    });
    window.addEventListener("beforeunload", (event) => {
        // The browser asks a page before a move even starts, whatever the move then brings (a
        // page, a download): the announcement covers exactly the one unload that follows it.
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
}

// The read under way, which a second caller shares: the first event stream of a program carries
// its start-up "disconnect", which would otherwise ask again while the page's own read is out.
let stateRequest = null;

function loadState() {
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
            return;
        }
        const state = await response.json();
        showProblem(state.problem);
        // A module that is plugged in but cannot be opened is announced with "connect" like one
        // that works, and that event reloads the page: the dialog opens here, or it would never
        // say why the module does not answer.
        if (state.problem && !state.connected && !fw_upload) {
            setOpen("disconnected", true);
        }
        if (!unsavedFromEvent) {
            showUnsaved(state.unsaved === true);
        }
    } catch (error) {
        console.log("state error: " + error);
    }
}

loadState();
